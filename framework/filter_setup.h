// The setup records with which a filter describes itself to the filter mapper, and the
// routines that hand them to the first- and second-generation mappers.
#pragma once

#include "platform/platform.h"

// Static, read-only descriptions of a filter, its pins and their media types. The pin and
// media-type records are the platform's own REGFILTERPINS and REGPINTYPES, so an array of
// them goes to the filter mapper as it is.
typedef REGPINTYPES AMOVIESETUP_MEDIATYPE;
typedef REGFILTERPINS AMOVIESETUP_PIN;

struct AMOVIESETUP_FILTER {
    const CLSID* clsID;
    const WCHAR* strName;
    DWORD dwMerit;
    UINT nPins;
    const AMOVIESETUP_PIN* lpPin;
};

typedef AMOVIESETUP_MEDIATYPE* PAMOVIESETUP_MEDIATYPE;
typedef AMOVIESETUP_PIN* PAMOVIESETUP_PIN;
typedef AMOVIESETUP_FILTER* PAMOVIESETUP_FILTER;

// What either mapper answers when asked to remove a filter it does not know.
inline const HRESULT kFilterNotRegistered = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

// Removes the filter described by `setup` from the first-generation mapper and, when
// `bRegister` is true, enters it again with its pins and their media types, in record order;
// the first failing mapper call ends the work. S_FALSE without a record, E_POINTER without a
// mapper. The mapper's "not registered" answer (0x80070002) counts as success.
HRESULT AMovieSetupRegisterFilter(const AMOVIESETUP_FILTER* setup, IFilterMapper* mapper, BOOL bRegister);

// Removes the filter described by `setup` from the mapper and, when registering, enters it
// again with its pins and media types as a REGFILTER2 of version 1 in the default category.
// S_FALSE without a record; the mapper's "not registered" (0x80070002) counts as success.
HRESULT AMovieSetupRegisterFilter2(const AMOVIESETUP_FILTER* setup, IFilterMapper2* mapper, BOOL bRegister);
