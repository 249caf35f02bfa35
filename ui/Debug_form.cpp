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

void TDB_Form::Label1Click() { OpenMakerWebAddress(); }
