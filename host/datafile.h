// The data-file service behind the _dfa* calls of shell/host.h. Files are tables of SQLite
// databases under the root's data/ directory, or of a PostgreSQL database; this header is what the rest of the host needs.
//
// Each _dfaOpen gives a new handle with its own current record, even for a table already open;
// the handles of one table share its connection and statements. Handles count from 1. The calls
// are made from one thread.
#pragma once

#include <string>

#include "shell/host.h"

namespace host {

// Where databases live (default "data", relative to the working directory, i.e. the root).
void datafile_set_directory(const std::string &dir);
// Where the data files are kept: "" for SQLite databases in the directory above, or the
// address of a PostgreSQL database (postgresql://...) that holds them all. Set before the first
// file is opened; datafile_close_all keeps it.
void datafile_set_url(const std::string &url);
const std::string &datafile_url();
// Reads a root's data.cfg ("url: ADDRESS"; lines starting with # are comments) into *url; a
// missing file is "" (SQLite). false with the reason (file and line) in *why.
bool datafile_read_config(const std::string &path, std::string *url, std::string *why);
// Creates the PostgreSQL database of the address set when it is missing and the server lets
// the user create it; true on SQLite. false with the reason in *why.
bool datafile_create_database(std::string *why);
// Checks every database (*.db) in dir: each must be a database of data files, empty or laid
// out as this host lays them out. false with "PATH: what is wrong" in *error.
bool datafile_check_directory(const std::string &dir, std::string *error);
// Connects once to the PostgreSQL server of url, so that a server that is down, a database that
// does not exist or a refused login stops the start at once. false with what the server or
// libpq said, on one line, in *error.
bool datafile_check_server(const std::string &url, std::string *error);
// Empties the stack of selected files (at the start of every call into a module).
void datafile_reset_selection();
// Closes every open file (at shutdown). Handles given out before become invalid (and may be
// given out again); an explicit transaction still open is rolled back.
void datafile_close_all();

// One read snapshot of the data files per call into a module (a request hook, a status call, a
// timer routine): look-ups between begin and end see each file as it was at the first look-up
// on it, and a write ends the snapshot of its file first (store.h). Calls nest: only the
// outermost begin and end count.
void datafile_snapshot_begin();
void datafile_snapshot_end();

// An explicit transaction on the database that holds file (with every other table of that
// database), so that a whole import lands or none of it: the writes inside it are made durable
// together by the commit instead of one by one. begin is false when the handle is bad, a
// transaction is already open on the database, or the database stays busy past the timeout;
// commit is false when none is open or the commit failed (everything is then rolled back).
// A write refused inside the transaction (a duplicate) undoes only itself.
bool datafile_begin(HostFile file);
bool datafile_commit(HostFile file);
void datafile_rollback(HostFile file);

// How a look-up with op (HOST_GET_* or HOST_QUERY_*) on key keynum of file is carried out, one
// line per step (SQLite's EXPLAIN QUERY PLAN); "" for a bad handle, key or op. For diagnostics.
std::string datafile_explain(HostFile file, int keynum, int op);

}  // namespace host
