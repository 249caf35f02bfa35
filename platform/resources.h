// Internal to the native platform: the module resources that windows, dialogs and drawing
// look up by handle, name and type.
#pragma once

#include "platform/platform.h"

namespace platform {

// The bytes of resource `name` of `type` in `module` (the executable's for null) and their
// count; null, with the thread's last error set, when there is no such resource.
const void* FindModuleResource(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD& size);

}  // namespace platform
