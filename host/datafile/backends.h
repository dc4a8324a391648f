// The two stores behind store.h: SQLite files under the data directory (store_sqlite.cpp) and a
// PostgreSQL server shared by several hosts (store_postgres.cpp). store.cpp chooses one by the
// configured address and passes every call on; each declares the same set of functions in its
// own namespace.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "host/datafile/store.h"

#define HOST_DATAFILE_BACKEND_FUNCTIONS                                                            \
    struct Table;                                                                                  \
    Table *store_open(const std::string &directory, const std::string &database,                  \
                      const std::string &table, int record_size, const std::vector<Key> &keys,    \
                      std::string *why);                                                           \
    void store_close_all();                                                                        \
    Status table_seek(Table &table, int keynum, Seek op, const std::string &key,                  \
                      int64_t position, Found *found, RecordOut *record);                          \
    Status table_read(Table &table, int64_t position, int keynum, Found *found,                   \
                      RecordOut *record);                                                          \
    Status table_insert(Table &table, const void *record, int length, int64_t *position);         \
    Status table_update(Table &table, int64_t position, const void *record, int *length);         \
    Status table_delete(Table &table, int64_t position);                                           \
    Status table_update_if(Table &table, int64_t position, const void *expected,                  \
                           int expected_length, const void *record, int *length);                 \
    bool table_begin(Table &table);                                                                \
    bool table_commit(Table &table);                                                               \
    void table_rollback(Table &table);                                                             \
    void store_snapshot_begin();                                                                   \
    void store_snapshot_end();                                                                     \
    std::string table_explain(Table &table, int keynum, Seek op);

namespace host::datafile::sqlite {
HOST_DATAFILE_BACKEND_FUNCTIONS
void defer_sync();
std::vector<std::string> take_unsynced();
}

namespace host::datafile::postgres {
HOST_DATAFILE_BACKEND_FUNCTIONS
// Creates the database the address names when it does not exist yet (connecting to the
// server's "postgres" database for it). false with the reason in *why.
bool create_database(const std::string &url, std::string *why);
bool store_release_idle(std::chrono::milliseconds idle);
}
