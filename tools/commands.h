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
int cmd_orders(const std::string &root, const Args &args);
int cmd_order(const std::string &root, const Args &args);
int cmd_import(const std::string &root, const Args &args);
int cmd_export(const std::string &root, const Args &args);
int cmd_remove(const std::string &root, const Args &args);

// Imports a catalogue's JSON text into the open root, all or nothing; name is how messages
// call the file. The exit status: 0, or 1 after the problems on stderr.
int import_catalogue(const std::string &name, const std::string &text);
// A whole file; false with the reason in *error.
bool read_text_file(const std::string &path, std::string *text, std::string *error);

// Where the shipped installation (site/) is.
std::string site_directory();

}  // namespace mallctl
