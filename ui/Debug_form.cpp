#include "ui/Debug_form.h"

#include <new>

#include "com/unknown.h"
#include "ui/VEvavaForm.h"
#include "ui/resource_ids.h"

TDB_Form::TDB_Form(HINSTANCE instance) : forms::Form(instance, IDR_DEBUG_FORM)
{
    Bind("Label1Click", [this] { Label1Click(); });
    Loaded();
}

TDB_Form* TDB_Form::Create() { return new (std::nothrow) TDB_Form(ModuleInstance); }

void TDB_Form::Label1Click()
{
    HINSTANCE result = ShellExecuteW(nullptr, WIDE("open"), kMakerWebAddress, nullptr, nullptr, SW_SHOWDEFAULT);
    if (reinterpret_cast<INT_PTR>(result) <= 32)
        MessageBoxW(nullptr, WIDE("Unable to connect to Internet"), nullptr, MB_OK);
}
