// IIPEffect, the decoder filter's own parameter interface, reached through QueryInterface
// with IID_IIPEffect. Its property page asks for it; the decoder has no parameter that it
// changes.
#pragma once

#include "filter/identifiers.h"
#include "platform/platform.h"

struct IIPEffect : public IUnknown {
    // Writes nothing through `value`; S_OK.
    STDMETHOD(GetParameter)(LONG* value) PURE;
    // Changes nothing; S_OK.
    STDMETHOD(SetParameter)(LONG value) PURE;
    // Does nothing.
    STDMETHOD_(void, NotifyParameter)(LONG value) PURE;
};
