// The storage behind the data files: tables of records ordered on encoded keys, each record at a
// position that never changes. This is the whole contract a backend keeps; store_sqlite.cpp is
// the SQLite one, store_postgres.cpp the PostgreSQL one, store.cpp picks. Nothing here knows about handles, selections or current records.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "host/datafile/keys.h"

namespace host::datafile {

struct Table; // one table of one database, opened with its record size and keys

// changed: a conditional update found the record no longer as the caller read it.
enum class Status { ok, not_found, duplicate, failed, changed };

// Look-ups on one key. The order is (encoded key, position): duplicates lie in position order.
// Equal, Greater, GreaterEqual and Less compare the key only (Equal and GreaterEqual find the
// first of a run of duplicates, Less the last record below); Next and Previous step from the
// pair (key, position) given, which need not be a record any more.
enum class Seek { equal, greater, greater_equal, less, next, previous };

// Where a record read or found lives and what its key is.
struct Found {
    int64_t position = 0;
    std::string key;
};

// A record copied out: at most capacity bytes into buffer; length is the number copied.
struct RecordOut {
    void *buffer = nullptr;
    int capacity = 0;
    int length = 0;
};

// Where the data files live: "" for SQLite files under the directory store_open is given, or a
// PostgreSQL address (postgresql://...) whose database holds them all, a schema per database
// file. Set before the first store_open; store_close_all keeps it.
void store_configure(const std::string &url);
const std::string &store_url();
// Creates the database of a PostgreSQL address when the server lets the user; true for SQLite.
bool store_create_database(std::string *why);

// Opens table in database (a file under directory), creating what is missing. When the table
// exists with other key definitions its keys are rebuilt from the stored records. nullptr with
// the reason in *why.
Table *store_open(const std::string &directory, const std::string &database,
                  const std::string &table, int record_size, const std::vector<Key> &keys,
                  std::string *why);
// Closes every table and database; every Table pointer becomes invalid.
void store_close_all();

const std::vector<Key> &table_keys(const Table &table);
int table_record_size(const Table &table);

// Finds a record on key keynum; record, when given, receives its bytes.
Status table_seek(Table &table, int keynum, Seek op, const std::string &key, int64_t position,
                  Found *found, RecordOut *record);
// Reads the record at position; found (when given) receives its key on keynum.
Status table_read(Table &table, int64_t position, int keynum, Found *found, RecordOut *record);
// Adds a record of length bytes; *position receives where it went.
Status table_insert(Table &table, const void *record, int length, int64_t *position);
// Replaces the record at position, keeping its stored length: that many bytes of record are
// written (at most the record size) and *length receives the count.
Status table_update(Table &table, int64_t position, const void *record, int *length);
Status table_delete(Table &table, int64_t position);
// Replaces the record at position only while it still holds exactly the expected_length bytes
// of expected, in one step no other writer can come between: a read, a change and this write
// back lose nobody else's write. length bytes of record are written (expected_length, at most
// the record size). Status::changed when the record holds something else or is gone: read it
// again and decide again.
Status table_update_if(Table &table, int64_t position, const void *expected, int expected_length,
                       const void *record, int *length);

// An explicit transaction on the table's database: writes inside it are made durable together
// by the commit. false when one is already open or the database is busy.
bool table_begin(Table &table);
bool table_commit(Table &table);
void table_rollback(Table &table);

// Commits that do not wait for the disk: for a server that makes them durable off its request
// loop. After store_defer_sync (before the first store_open), a commit of a SQLite file returns
// once it is in the file's write-ahead log, and store_take_unsynced names the logs written
// since the last call (and forgets them): an fdatasync of each makes those commits durable.
// PostgreSQL commits are durable when they return either way.
void store_defer_sync();
std::vector<std::string> store_take_unsynced();

// A read snapshot: between store_snapshot_begin and store_snapshot_end the look-ups on a
// database all see it as it was at the first of them, and take its locks once instead of once
// per look-up. A write (insert, update, delete, an explicit transaction, creating a table) first
// ends the snapshot of its database, so it is never refused because of an old snapshot, and the
// look-ups after it start a new one that sees it. store_snapshot_end lets go of every snapshot,
// so a change made elsewhere meanwhile shows in the next one. Not nested.
void store_snapshot_begin();
void store_snapshot_end();
// On PostgreSQL the read transaction of a snapshot stays open after store_snapshot_end, so
// that the next snapshot begins in the same message that ends it; while open it holds its
// tables' locks. This ends it once it has been unused for idle; true while one is still open
// (call again later). A server calls it from a timer. Nothing to do on SQLite.
bool store_release_idle(std::chrono::milliseconds idle);

// How the store carries out a look-up (SQLite: the EXPLAIN QUERY PLAN lines), for diagnostics.
std::string table_explain(Table &table, int keynum, Seek op);

}  // namespace host::datafile
