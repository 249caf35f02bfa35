#include "framework/filter_setup.h"

HRESULT AMovieSetupRegisterFilter(const AMOVIESETUP_FILTER* setup, IFilterMapper* mapper, BOOL bRegister)
{
    if (!setup) return S_FALSE;
    if (!mapper || !setup->clsID) return E_POINTER;

    const CLSID filter = *setup->clsID;
    HRESULT hr = mapper->UnregisterFilter(filter);
    if (bRegister) {
        hr = mapper->RegisterFilter(filter, setup->strName, setup->dwMerit);
        for (UINT p = 0; SUCCEEDED(hr) && p < setup->nPins && setup->lpPin; ++p) {
            const AMOVIESETUP_PIN& pin = setup->lpPin[p];
            const CLSID connectsTo = pin.clsConnectsToFilter ? *pin.clsConnectsToFilter : GUID_NULL;
            hr = mapper->RegisterPin(filter, pin.strName, pin.bRendered, pin.bOutput, pin.bZero, pin.bMany,
                                     connectsTo, pin.strConnectsToPin);
            for (UINT t = 0; SUCCEEDED(hr) && t < pin.nMediaTypes && pin.lpMediaType; ++t) {
                const AMOVIESETUP_MEDIATYPE& type = pin.lpMediaType[t];
                hr = mapper->RegisterPinType(filter, pin.strName, type.clsMajorType ? *type.clsMajorType : GUID_NULL,
                                             type.clsMinorType ? *type.clsMinorType : GUID_NULL);
            }
        }
    }
    return hr == kFilterNotRegistered ? S_OK : hr;
}

HRESULT AMovieSetupRegisterFilter2(const AMOVIESETUP_FILTER* setup, IFilterMapper2* mapper, BOOL bRegister)
{
    if (!setup) return S_FALSE;
    if (!mapper) return E_POINTER;
    // Pins are kept inside the filter's entry and go with it.
    HRESULT hr = mapper->UnregisterFilter(nullptr, nullptr, *setup->clsID);
    if (bRegister) {
        REGFILTER2 rf2;
        rf2.dwVersion = 1;
        rf2.dwMerit = setup->dwMerit;
        rf2.cPins = setup->nPins;
        rf2.rgPins = setup->lpPin;
        hr = mapper->RegisterFilter(*setup->clsID, setup->strName, nullptr, nullptr, nullptr, &rf2);
    }
    return hr == kFilterNotRegistered ? S_OK : hr;
}
