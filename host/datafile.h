// The data-file service behind the _dfa* calls of shell/host.h. Files are tables of SQLite
// databases under the root's data/ directory; this header is what the rest of the host needs.
#pragma once

#include <string>

namespace host {

// Where databases live (default "data", relative to the working directory, i.e. the root).
void datafile_set_directory(const std::string &dir);
// Empties the stack of selected files (at the start of every call into a module).
void datafile_reset_selection();
// Closes every open file (at shutdown).
void datafile_close_all();

}  // namespace host
