// The host's user accounts: one file (accounts.db) of HostAccount records keyed by user id.
#pragma once

#include <string>
#include <vector>

#include "shell/host.h"

namespace host {

// Opens (creating when absent) the account file and sets _accbb. false after a line on stderr.
bool accounts_open();

// Reads an account by user id (letter case ignored). false when there is none.
bool account_find(const std::string &userid, HostAccount *out);

// Adds an account; false with a reason in *error (a duplicate id, or a text too long for its
// field: user id 29 characters, password 9, alias 29, all keys together 233).
bool account_add(const std::string &userid, const std::string &password, const std::string &alias,
                 const std::vector<std::string> &keys, std::string *error);

// A syntactically valid internet mail address (local@domain.tld).
bool valid_mail_address(const std::string &address);

}  // namespace host
