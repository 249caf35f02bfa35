// The module's registration data: the factory templates of its two classes and the setup
// record through which the decoder filter enters the filter database. Each new decoder filter
// takes the user's stored settings before it is handed out.
#include "filter/registration.h"

#include "com/factory.h"
#include "filter/Maincom.h"
#include "filter/MaincomProp.h"
#include "filter/identifiers.h"
#include "filter/user_settings.h"

namespace {

const AMOVIESETUP_MEDIATYPE sudMediaTypes[] = {
    {&MEDIATYPE_Audio, &KSDATAFORMAT_SUBTYPE_BFORMAT_PCM},
    {&MEDIATYPE_Audio, &KSDATAFORMAT_SUBTYPE_BFORMAT_IEEE_FLOAT},
    {&MEDIATYPE_Audio, &KSDATAFORMAT_SUBTYPE_PCM},
    {&MEDIATYPE_Audio, &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT},
};

// The pin record's name field is not const in the platform's layout; nothing writes it.
WCHAR szInputPin[] = WIDE("Input");
WCHAR szOutputPin[] = WIDE("Output");

const AMOVIESETUP_PIN sudPins[] = {
    {szInputPin, FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 2, &sudMediaTypes[0]},
    {szOutputPin, FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 2, &sudMediaTypes[2]},
};

CUnknown* WINAPI CreateDecoder(LPUNKNOWN pUnkOuter, HRESULT* phr) { return CVEvava::CreateInstance(pUnkOuter, phr); }

CUnknown* WINAPI CreatePropertyPage(LPUNKNOWN pUnkOuter, HRESULT* phr)
{
    return CVEvavaProp::CreateInstance(pUnkOuter, phr);
}

}  // namespace

const AMOVIESETUP_FILTER sudBFormatDecoder = {
    &CLSID_BFormatDecoder, WIDE("ZAvovoz Evir Adivizu"), MERIT_NORMAL, 2, sudPins};

const CFactoryTemplate g_Templates[] = {
    {WIDE("ZAvovoz Evir Adivizu"), &CLSID_BFormatDecoder, CreateDecoder, nullptr, &sudBFormatDecoder,
     durazodo::ApplyUserSettings},
    {WIDE("ZAvovoz Evir Adivizu Properties"), &CLSID_BFormatDecoderProperties, CreatePropertyPage, nullptr, nullptr},
};

const int g_cTemplates = sizeof g_Templates / sizeof g_Templates[0];
