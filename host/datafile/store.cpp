// Chooses the store of the data files, SQLite or PostgreSQL, and passes every call on to it.
#include <memory>

#include "host/datafile/backends.h"

namespace host::datafile {

struct Table {
    sqlite::Table *lite = nullptr;
    postgres::Table *remote = nullptr;
    int record_size = 0;
    std::vector<Key> keys;
};

namespace {

std::string g_url;
std::vector<std::unique_ptr<Table>> g_tables;

bool remote() { return !g_url.empty(); }

}  // namespace

void store_configure(const std::string &url) { g_url = url; }

const std::string &store_url() { return g_url; }

bool store_create_database(std::string *why) {
    return !remote() || postgres::create_database(g_url, why);
}

Table *store_open(const std::string &directory, const std::string &database,
                  const std::string &table, int record_size, const std::vector<Key> &keys,
                  std::string *why) {
    sqlite::Table *lite = nullptr;
    postgres::Table *pg = nullptr;
    if (remote())
        pg = postgres::store_open(g_url, database, table, record_size, keys, why);
    else
        lite = sqlite::store_open(directory, database, table, record_size, keys, why);
    if (lite == nullptr && pg == nullptr) return nullptr;
    // A table opened again is the same table.
    for (auto &t : g_tables)
        if (t->lite == lite && t->remote == pg) return t.get();
    auto t = std::make_unique<Table>();
    t->lite = lite;
    t->remote = pg;
    t->record_size = record_size;
    t->keys = keys;
    g_tables.push_back(std::move(t));
    return g_tables.back().get();
}

void store_close_all() {
    g_tables.clear();
    sqlite::store_close_all();
    postgres::store_close_all();
}

const std::vector<Key> &table_keys(const Table &table) { return table.keys; }

int table_record_size(const Table &table) { return table.record_size; }

Status table_seek(Table &t, int keynum, Seek op, const std::string &key, int64_t position,
                  Found *found, RecordOut *record) {
    if (t.remote != nullptr)
        return postgres::table_seek(*t.remote, keynum, op, key, position, found, record);
    return sqlite::table_seek(*t.lite, keynum, op, key, position, found, record);
}

Status table_read(Table &t, int64_t position, int keynum, Found *found, RecordOut *record) {
    if (t.remote != nullptr) return postgres::table_read(*t.remote, position, keynum, found, record);
    return sqlite::table_read(*t.lite, position, keynum, found, record);
}

Status table_insert(Table &t, const void *record, int length, int64_t *position) {
    if (t.remote != nullptr) return postgres::table_insert(*t.remote, record, length, position);
    return sqlite::table_insert(*t.lite, record, length, position);
}

Status table_update(Table &t, int64_t position, const void *record, int *length) {
    if (t.remote != nullptr) return postgres::table_update(*t.remote, position, record, length);
    return sqlite::table_update(*t.lite, position, record, length);
}

Status table_update_if(Table &t, int64_t position, const void *expected, int expected_length,
                       const void *record, int *length) {
    if (t.remote != nullptr)
        return postgres::table_update_if(*t.remote, position, expected, expected_length, record, length);
    return sqlite::table_update_if(*t.lite, position, expected, expected_length, record, length);
}

Status table_delete(Table &t, int64_t position) {
    if (t.remote != nullptr) return postgres::table_delete(*t.remote, position);
    return sqlite::table_delete(*t.lite, position);
}

bool table_begin(Table &t) {
    return t.remote != nullptr ? postgres::table_begin(*t.remote) : sqlite::table_begin(*t.lite);
}

bool table_commit(Table &t) {
    return t.remote != nullptr ? postgres::table_commit(*t.remote) : sqlite::table_commit(*t.lite);
}

void table_rollback(Table &t) {
    if (t.remote != nullptr) postgres::table_rollback(*t.remote);
    else sqlite::table_rollback(*t.lite);
}

void store_defer_sync() { sqlite::defer_sync(); }

std::vector<std::string> store_take_unsynced() { return sqlite::take_unsynced(); }

void store_snapshot_begin() {
    if (remote()) postgres::store_snapshot_begin();
    else sqlite::store_snapshot_begin();
}

void store_snapshot_end() {
    sqlite::store_snapshot_end();
    postgres::store_snapshot_end();
}

bool store_release_idle(std::chrono::milliseconds idle) {
    return remote() && postgres::store_release_idle(idle);
}

std::string table_explain(Table &t, int keynum, Seek op) {
    if (t.remote != nullptr) return postgres::table_explain(*t.remote, keynum, op);
    return sqlite::table_explain(*t.lite, keynum, op);
}

}  // namespace host::datafile
