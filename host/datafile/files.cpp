// The data files as a module sees them: handles, the stack of selected files and each file's
// current record, over the store of store.h. Every call checks its handle and arguments and
// answers 0 rather than touch anything it was not given.
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <string>
#include <utility>
#include <vector>

#include "host/datafile.h"
#include "host/datafile/keys.h"
#include "host/datafile/store.h"

namespace host {

namespace {

using datafile::Found;
using datafile::RecordOut;
using datafile::Seek;
using datafile::Status;
using datafile::Table;

struct File {
    Table *table = nullptr; // nullptr: no such handle
    // The current record: key number, encoded key and position of the last look-up or read by
    // position. It survives the record's deletion, so a walk can delete as it goes.
    bool has_current = false;
    int keynum = 0;
    Found current;
    Found scratch;       // what a look-up found, until it is known that it found something
    std::string search;  // the encoded key of a look-up
    int record_length = 0; // of the record read last
};

std::string g_directory = "data";
std::vector<File> g_files(1); // handle 0 is never given out: a zeroed handle is no file
std::vector<HostFile> g_selection;

File *file_of(HostFile handle) {
    if (handle < 1 || static_cast<size_t>(handle) >= g_files.size()) return nullptr;
    File *f = &g_files[static_cast<size_t>(handle)];
    return f->table != nullptr ? f : nullptr;
}

File *selected() { return g_selection.empty() ? nullptr : file_of(g_selection.back()); }

bool valid_keynum(const File &f, int keynum) {
    return keynum >= 0 && static_cast<size_t>(keynum) < datafile::table_keys(*f.table).size();
}

// The look-up an operation code asks for; the key-only codes (55...) mean the same as the
// reading ones (5...), the caller decides whether a record is read.
bool seek_of(int op, Seek *out) {
    switch (op) {
    case HOST_GET_EQUAL: case HOST_QUERY_EQUAL: *out = Seek::equal; return true;
    case HOST_GET_GREATER: case HOST_QUERY_GREATER: *out = Seek::greater; return true;
    case HOST_GET_GREATER_EQUAL: case HOST_QUERY_GREATER_EQUAL:
        *out = Seek::greater_equal;
        return true;
    case HOST_GET_LESS: case HOST_QUERY_LESS: *out = Seek::less; return true;
    case HOST_QUERY_NEXT: *out = Seek::next; return true;
    case HOST_QUERY_PREVIOUS: *out = Seek::previous; return true;
    default: return false;
    }
}

bool is_step(Seek s) { return s == Seek::next || s == Seek::previous; }

// Runs a look-up; on success the record found becomes the current one (and is read into buffer
// when one is given). On failure nothing changes.
HostBool look_up(File &f, int keynum, Seek op, const std::string &key, int64_t position,
                 void *buffer) {
    RecordOut out{buffer, datafile::table_record_size(*f.table), 0};
    Status s = datafile::table_seek(*f.table, keynum, op, key, position, &f.scratch,
                                    buffer != nullptr ? &out : nullptr);
    if (s != Status::ok) return 0;
    std::swap(f.current, f.scratch);
    f.has_current = true;
    f.keynum = keynum;
    if (buffer != nullptr) f.record_length = out.length;
    return 1;
}

// Next and previous go on from the current (key, position) along the key of the last look-up.
HostBool step(File &f, Seek op, void *buffer) {
    if (!f.has_current) return 0;
    return look_up(f, f.keynum, op, f.current.key, f.current.position, buffer);
}

HostBool search(File &f, const void *key, int keynum, Seek op, void *buffer) {
    if (key == nullptr || !valid_keynum(f, keynum)) return 0;
    datafile::encode_search_key(datafile::table_keys(*f.table)[static_cast<size_t>(keynum)],
                                static_cast<const unsigned char *>(key), &f.search);
    return look_up(f, keynum, op, f.search, 0, buffer);
}

HostBool insert(const void *buffer, int length) {
    File *f = selected();
    if (f == nullptr || buffer == nullptr) return 0;
    if (length < 1 || length > datafile::table_record_size(*f->table)) {
        std::fprintf(stderr, "datafile: insert of %d bytes refused: records hold 1 to %d\n",
                     length, datafile::table_record_size(*f->table));
        return 0;
    }
    int64_t position = 0;
    if (datafile::table_insert(*f->table, buffer, length, &position) != Status::ok) return 0;
    // The new record is current on the key in use (key 0 on a file not yet looked into).
    if (!f->has_current) f->keynum = 0;
    datafile::encode_record_key(datafile::table_keys(*f->table)[static_cast<size_t>(f->keynum)],
                                static_cast<const unsigned char *>(buffer), length,
                                &f->current.key);
    f->current.position = position;
    f->has_current = true;
    return 1;
}

bool valid_table_name(const char *name) {
    size_t n = std::strlen(name);
    if (n == 0 || n > 64) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = name[i];
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    // sqlite_ names belong to SQLite, dfa_ names to the store itself.
    auto starts = [&](const char *prefix) { return strncasecmp(name, prefix, strlen(prefix)) == 0; };
    return !starts("sqlite_") && !starts("dfa_");
}

bool valid_database_name(const char *name) {
    size_t n = std::strlen(name);
    return n > 0 && n < 256 && std::strchr(name, '/') == nullptr &&
           std::strchr(name, '\\') == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

}  // namespace

void datafile_set_directory(const std::string &dir) { g_directory = dir; }

void datafile_reset_selection() { g_selection.clear(); }

namespace {
int g_snapshot_depth = 0;
}

void datafile_snapshot_begin() {
    if (g_snapshot_depth++ == 0) datafile::store_snapshot_begin();
}

void datafile_snapshot_end() {
    if (g_snapshot_depth > 0 && --g_snapshot_depth == 0) datafile::store_snapshot_end();
}

void datafile_close_all() {
    datafile::store_close_all();
    g_snapshot_depth = 0;
    g_files.assign(1, File{});
    g_selection.clear();
}

bool datafile_begin(HostFile file) {
    File *f = file_of(file);
    return f != nullptr && datafile::table_begin(*f->table);
}

bool datafile_commit(HostFile file) {
    File *f = file_of(file);
    return f != nullptr && datafile::table_commit(*f->table);
}

void datafile_rollback(HostFile file) {
    if (File *f = file_of(file)) datafile::table_rollback(*f->table);
}

std::string datafile_explain(HostFile file, int keynum, int op) {
    File *f = file_of(file);
    Seek s;
    if (f == nullptr || !valid_keynum(*f, keynum) || !seek_of(op, &s)) return "";
    return datafile::table_explain(*f->table, keynum, s);
}

}  // namespace host

using host::File;
namespace df = host::datafile;
using df::RecordOut;
using df::Seek;
using df::Status;
using df::table_keys;
using df::table_record_size;

extern "C" HostFile _dfaOpen(const char *database, const char *table, int record_size,
                             int key_count, const struct HostKeyDef *keys) {
    const char *db = database ? database : "";
    const char *tb = table ? table : "";
    std::string why;
    std::vector<df::Key> parsed;
    if (!host::valid_database_name(db))
        why = "not a database file name";
    else if (!host::valid_table_name(tb))
        why = "not a table name (letters, digits and _, not sqlite_ or dfa_)";
    else if (record_size < 1 || record_size > (1 << 20))
        why = "record size " + std::to_string(record_size) + " out of range";
    else if (df::parse_keys(record_size, key_count, keys, &parsed, &why)) {
        df::Table *t = df::store_open(host::g_directory, db, tb, record_size, parsed, &why);
        if (t != nullptr) {
            File f;
            f.table = t;
            host::g_files.push_back(std::move(f));
            return static_cast<HostFile>(host::g_files.size() - 1);
        }
    }
    std::fprintf(stderr, "datafile: cannot open %s table %s: %s\n", db, tb, why.c_str());
    return -1;
}

extern "C" void _dfaSetBlk(HostFile file) { host::g_selection.push_back(file); }

extern "C" void _dfaRstBlk(void) {
    if (!host::g_selection.empty()) host::g_selection.pop_back();
}

extern "C" HostBool _dfaAcqLock(void *buffer, const void *key, int keynum, int op, int lock) {
    File *f = host::selected();
    Seek s;
    if (f == nullptr || buffer == nullptr || !host::seek_of(op, &s)) return 0;
    if (host::is_step(s)) return host::step(*f, s, buffer);
    return host::search(*f, key, keynum, s, buffer);
}

extern "C" HostBool _dfaQuery(const void *key, int keynum, int op) {
    File *f = host::selected();
    Seek s;
    if (f == nullptr || !host::seek_of(op, &s)) return 0;
    if (host::is_step(s)) return host::step(*f, s, nullptr);
    return host::search(*f, key, keynum, s, nullptr);
}

extern "C" HostBool _dfaQueryNP(int op) {
    File *f = host::selected();
    Seek s;
    if (f == nullptr || !host::seek_of(op, &s) || !f->has_current) return 0;
    if (host::is_step(s)) return host::step(*f, s, nullptr);
    // A look-up with the current record's own key as the search key.
    return host::look_up(*f, f->keynum, s, f->current.key, 0, nullptr);
}

extern "C" long _dfaAbs(void) {
    File *f = host::selected();
    return f != nullptr && f->has_current ? static_cast<long>(f->current.position) : 0;
}

extern "C" HostBool _dfaGetAbsLock(void *buffer, long position, int keynum, int lock) {
    File *f = host::selected();
    if (f == nullptr || buffer == nullptr) return 0;
    RecordOut out{buffer, table_record_size(*f->table), 0};
    if (df::table_read(*f->table, position, 0, nullptr, &out) != Status::ok)
        return 0;
    f->record_length = out.length;
    return 1;
}

extern "C" HostBool _dfaAcqAbsLock(void *buffer, long position, int keynum, int lock) {
    File *f = host::selected();
    if (f == nullptr || buffer == nullptr || !host::valid_keynum(*f, keynum)) return 0;
    RecordOut out{buffer, table_record_size(*f->table), 0};
    if (df::table_read(*f->table, position, keynum, &f->scratch, &out) != Status::ok)
        return 0;
    std::swap(f->current, f->scratch);
    f->has_current = true;
    f->keynum = keynum;
    f->record_length = out.length;
    return 1;
}

extern "C" HostBool _dfaInsert(const void *buffer) {
    File *f = host::selected();
    return f != nullptr ? host::insert(buffer, table_record_size(*f->table)) : 0;
}

extern "C" HostBool _dfaInsertV(const void *buffer, int length) {
    return host::insert(buffer, length);
}

extern "C" HostBool _dfaUpdate(const void *buffer) {
    File *f = host::selected();
    if (f == nullptr || buffer == nullptr || !f->has_current) return 0;
    // The record keeps the length it was stored with: an order of three items stays three
    // items long, whatever the rest of the caller's buffer holds.
    int length = 0;
    if (df::table_update(*f->table, f->current.position, buffer, &length) != Status::ok)
        return 0;
    df::encode_record_key(table_keys(*f->table)[static_cast<size_t>(f->keynum)],
        static_cast<const unsigned char *>(buffer), length, &f->current.key);
    return 1;
}

extern "C" HostBool _dfaUpdateIf(const void *before, int length, const void *buffer) {
    File *f = host::selected();
    if (f == nullptr || before == nullptr || buffer == nullptr || !f->has_current) return 0;
    if (length < 1 || length > table_record_size(*f->table)) return 0;
    int written = 0;
    if (df::table_update_if(*f->table, f->current.position, before, length, buffer, &written) !=
        Status::ok)
        return 0;
    df::encode_record_key(table_keys(*f->table)[static_cast<size_t>(f->keynum)],
        static_cast<const unsigned char *>(buffer), written, &f->current.key);
    return 1;
}

extern "C" HostBool _dfaDelete(void) {
    File *f = host::selected();
    if (f == nullptr || !f->has_current) return 0;
    return df::table_delete(*f->table, f->current.position) == Status::ok ? 1 : 0;
}

extern "C" int _dfaRecLen(void) {
    File *f = host::selected();
    return f != nullptr ? f->record_length : 0;
}
