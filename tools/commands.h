// The commands of mallctl, one function each; each returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace mallctl {

using Args = std::vector<std::string>;

// Opens the root's data files (after chdir into the root). false after a message on stderr.
bool open_root(const std::string &root);

int cmd_init(const std::string &root, const Args &args);
int cmd_user(const std::string &root, const Args &args);

// Where the shipped installation (site/) is.
std::string site_directory();

}  // namespace mallctl
