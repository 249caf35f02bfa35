// TDB_Form, the debug window: a framed, sizeable window with the product title, six rows of
// debug text, the decode type and the product picture. Its description ships with the
// module; nothing in the module creates it.
#pragma once

#include "platform/platform.h"
#include "ui/forms/form.h"

class TDB_Form : public forms::Form {
public:
    // A top-level debug window (not shown). Release it with Free().
    static TDB_Form* Create();

    void Label1Click();

private:
    explicit TDB_Form(HINSTANCE instance);
    ~TDB_Form() override = default;
};
