// Where the command-line tools find the decoder module, and which versions they report: the
// project's (compiled into the tool) and the module's file version (the VERSIONINFO resource
// compiled into the module, which the native platform makes known when the module loads).
// Native builds only. Any thread may call these.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace durazodo {

// The module file's name on this system.
extern const char* const kModuleFileName;

// The project version the tool was built as, "major.minor.patch".
const char* ProjectVersion();

// The folder of the running program, with a trailing '/'; empty when unknown.
std::string ProgramFolder();

// Where a tool looks for the module when none is named, in order: beside the program (the
// build tree links it there) and the installed module folder, taken relative to the program
// so that an installed tree can be moved or staged under any prefix.
std::vector<std::string> ModuleCandidates();

// The first of ModuleCandidates() that exists; empty when none does.
std::string FindModuleFile();

// The module file registered for `clsid` in the registry store; empty when the class is not
// registered.
std::string RegisteredModuleFile(const CLSID& clsid);

// Loads the module at `path` (running its load-time initialisation, as any use of it would),
// reads its version resource and unloads it. `version` becomes "a.b.c.d"; false with a
// one-line `error` when the file cannot be loaded or carries no version resource.
bool ReadModuleFileVersion(const std::string& path, std::string& version, std::string& error);

// The fixed-size part of a version resource: the file version's four parts. False when the
// bytes are not a version resource.
bool ParseFileVersion(const unsigned char* data, size_t size, unsigned parts[4]);

}  // namespace durazodo
