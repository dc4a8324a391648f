// Loading modules from the root's .mdf files, their registration records, and the library
// layer (LoadLibraryA and friends) over dlopen.
#pragma once

#include <string>

#include "shell/host.h"

namespace host {

void set_library_directory(const std::string &dir);
const std::string &library_directory();

// Loads the module of every *.mdf file of the working directory and calls its initialiser.
// A problem is fatal (one line on standard error, exit 1).
void load_modules();

// The registration record of module number n, or nullptr.
HostModule *module_by_number(int n);

// Calls every module's shutdown routine, in order of registration.
void shutdown_modules();

}  // namespace host
