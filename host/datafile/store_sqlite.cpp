// The SQLite store of the data files. One connection per database file, shared by its tables;
// WAL with synchronous=FULL, so a write is durable when it returns (or, after defer_sync, with
// synchronous=NORMAL: durable once its log is synced, see store.h); a busy timeout for writers.
// Every statement is reset as soon as its row is copied. Outside a snapshot no read transaction
// outlives a call, so a write by another process (the operator's tool) shows in the next look-up;
// inside one (store_snapshot_begin) the look-ups on a database share one read transaction, opened
// by the first of them and closed by the first write or by store_snapshot_end.
//
// Inside snapshots the answers of look-ups are also kept per database from one snapshot to the
// next, for as long as the database provably has not changed (see "Answers kept" below): a page
// that asks what the page before it asked is answered from memory, without a read transaction,
// a lock or a system call.
//
// A table is (pos INTEGER PRIMARY KEY AUTOINCREMENT, rec BLOB, k0 BLOB, ... kN BLOB): the record
// with its length, and one column per key holding its encoded key, indexed so that the index order
// is (key, position). AUTOINCREMENT keeps a deleted record's position from being handed out again.
// dfa_files remembers each table's record size and key definitions.
//
// Single-threaded: the host calls the data files from its one thread, and so does the tool.
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <unordered_map>

#include "host/datafile/backends.h"

namespace host::datafile::sqlite {

namespace {

constexpr int kBusyTimeoutMs = 5000;
// A catalogue of a million products is a few hundred megabytes; map it rather than copy it
// through the page cache. The cache holds what the map cannot serve (pages written, pages in
// the write-ahead log); 4 MB per data file bounds what the files cost hostd's heap, however
// many orders come in.
constexpr const char *kTuning = "PRAGMA synchronous=FULL; PRAGMA cache_size=-4096;"
                                " PRAGMA mmap_size=1073741824; PRAGMA temp_store=MEMORY;";

// The statements of a look-up on one key, with and without the record.
enum Kind { equal, greater, greater_equal, less, next, previous, kinds };

// What the answers of one database may take; past it they start again from none.
constexpr size_t kAnswersMaxBytes = 8u << 20;

// The WAL-index header as a writer last published it: the first of the two copies at the start
// of the -shm file (version, change counter, last frame, page count, salts, checksums).
constexpr size_t kWalHeaderBytes = 48;
using WalHeader = std::array<uint32_t, kWalHeaderBytes / 4>;

// One answer of a look-up or a read by position, as SQLite gave it: the record whole, so that a
// caller with a smaller buffer gets it cut as a read would cut it.
struct Answer {
    Status status = Status::not_found;
    int64_t position = 0;
    std::string key;
    std::string record;
};

}  // namespace

struct Database {
    std::string path;
    sqlite3 *db = nullptr;
    // The read transaction of the current snapshot is open on this connection.
    bool reading = false;
    sqlite3_stmt *begin_read = nullptr;
    sqlite3_stmt *end_read = nullptr;
    // Committed since store_take_unsynced last named it (only when commits do not wait).
    bool unsynced = false;

    // Answers kept across snapshots, all read while the WAL-index header was label.
    std::unordered_map<std::string, Answer> answers;
    size_t answer_bytes = 0;
    WalHeader label{};
    bool labelled = false; // answers (even none) belong to label
    bool checked = false;  // this snapshot compared the header with label
    bool serving = false;  // this snapshot sees the database as it was at label
    std::string answer_key; // scratch
    sqlite3_file *file = nullptr; // the database file, whose xShmMap maps the -shm
};

struct Table {
    Database *database = nullptr;
    std::string name;   // lower case; SQLite's names ignore case anyway
    std::string quoted; // "name", ready for SQL text
    int record_size = 0;
    std::vector<Key> keys;
    std::string definition;
    // seeks[key][kind][with record], prepared on first use
    std::vector<std::array<std::array<sqlite3_stmt *, 2>, kinds>> seeks;
    sqlite3_stmt *read_at = nullptr;
    sqlite3_stmt *length_at = nullptr;
    sqlite3_stmt *insert = nullptr;
    sqlite3_stmt *update = nullptr;
    sqlite3_stmt *update_if = nullptr; // the update on condition of the stored bytes
    sqlite3_stmt *erase = nullptr;
    std::vector<std::string> write_keys; // encoded keys of the record being written
    uint32_t id = 0; // tells its answers from other tables' in the database's answers
};

namespace {

std::vector<std::unique_ptr<Database>> g_databases;
std::vector<std::unique_ptr<Table>> g_tables;
bool g_snapshot = false;
bool g_deferred_sync = false;

void report(const Database &d, const std::string &what) {
    std::fprintf(stderr, "datafile: %s: %s: %s\n", d.path.c_str(), what.c_str(),
                 sqlite3_errmsg(d.db));
}

void report(const Table &t, const char *what) {
    report(*t.database, "table " + t.name + ": " + what);
}

bool exec(Database &d, const std::string &sql, const std::string &what) {
    char *message = nullptr;
    int rc = sqlite3_exec(d.db, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, "datafile: %s: %s: %s\n", d.path.c_str(), what.c_str(),
                     message ? message : sqlite3_errstr(rc));
        sqlite3_free(message);
        return false;
    }
    return true;
}

sqlite3_stmt *prepare(Database &d, const std::string &sql, bool keep) {
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v3(d.db, sql.c_str(), static_cast<int>(sql.size()),
                                keep ? SQLITE_PREPARE_PERSISTENT : 0, &stmt, nullptr);
    if (rc != SQLITE_OK) {
        report(d, "preparing " + sql);
        return nullptr;
    }
    return stmt;
}

// Resets a statement when the call that ran it returns, whatever the path out.
struct ResetOnExit {
    sqlite3_stmt *stmt;
    ~ResetOnExit() { sqlite3_reset(stmt); }
};

std::string column(int k) { return "k" + std::to_string(k); }

std::string quote(const std::string &name) { return "\"" + name + "\""; }

std::string index_name(const std::string &table, int k) {
    return quote(table + "__k" + std::to_string(k));
}

bool is_constraint(int rc) { return (rc & 0xff) == SQLITE_CONSTRAINT; }

void copy_blob(sqlite3_stmt *stmt, int col, std::string *out) {
    const void *data = sqlite3_column_blob(stmt, col);
    int n = sqlite3_column_bytes(stmt, col);
    if (n > 0 && data != nullptr)
        out->assign(static_cast<const char *>(data), static_cast<size_t>(n));
    else
        out->clear();
}

void copy_record(sqlite3_stmt *stmt, int col, RecordOut *out) {
    const void *data = sqlite3_column_blob(stmt, col);
    int n = sqlite3_column_bytes(stmt, col);
    // A record stored before the record size shrank is cut to what the buffer holds.
    n = std::min(n, out->capacity);
    if (n > 0 && data != nullptr) std::memcpy(out->buffer, data, static_cast<size_t>(n));
    out->length = std::max(n, 0);
}

// ---- snapshots

// Before a look-up: inside a snapshot, the first look-up on a database opens its read
// transaction (BEGIN is deferred: the look-up itself takes the snapshot). Not inside a
// transaction of the caller's own.
void enter_read(Database &d) {
    if (!g_snapshot || d.reading || sqlite3_get_autocommit(d.db) == 0) return;
    if (d.begin_read == nullptr) d.begin_read = prepare(d, "BEGIN", true);
    if (d.begin_read == nullptr) return;
    d.reading = sqlite3_step(d.begin_read) == SQLITE_DONE;
    sqlite3_reset(d.begin_read);
}

// Before a write, and at the end of a snapshot: the read transaction ends, so the write starts
// from the newest state of the file and what is read next sees it.
void leave_read(Database &d) {
    if (!d.reading) return;
    d.reading = false;
    if (d.end_read == nullptr) d.end_read = prepare(d, "COMMIT", true);
    if (d.end_read != nullptr && sqlite3_step(d.end_read) == SQLITE_DONE) {
        sqlite3_reset(d.end_read);
        return;
    }
    if (d.end_read != nullptr) sqlite3_reset(d.end_read);
    exec(d, "ROLLBACK", "ending a read snapshot");
}

// ---- answers kept across snapshots
//
// SQLite publishes every commit to a WAL database in the WAL-index header at the start of the
// -shm file, which every connection to the database maps: a commit counts one more change and
// moves the log's last frame, and a log that starts again from its beginning takes new salts.
// Two reads of the header that find the same bytes therefore have no commit between them, by
// this process, another hostd or mallctl; SQLite keeps its own page cache from one read
// transaction to the next on the same condition. So:
// - a snapshot's first look-up on a database reads the header; when it is the label of the
//   answers kept, the snapshot sees the database they were read in and is answered from them;
// - an answer not kept is read from SQLite, and kept only when its read transaction provably
//   sees the database at the label: the header is the label before the transaction's first
//   step and still after it;
// - another header drops the answers, and the snapshot's answers are read and kept afresh;
// - every write of this process drops them (its commit moves the header anyway);
// - a snapshot answered from them that then asks something not kept, after another process
//   committed, reads that look-up and the rest of the snapshot from the newest state (without
//   keeping them): it cannot go back to the state of its first look-up any more.
// The header is read through SQLite's own mapping of the -shm (the file's xShmMap), so it is
// the one SQLite's next read transaction consults, whatever happened to the file by its name.
// While a writer is publishing (the two copies differ) nothing is kept.

sqlite3_file *main_file(Database &d) {
    if (d.file == nullptr &&
        sqlite3_file_control(d.db, "main", SQLITE_FCNTL_FILE_POINTER, &d.file) != SQLITE_OK)
        d.file = nullptr;
    return d.file;
}

bool read_header(Database &d, WalHeader *out) {
    sqlite3_file *file = main_file(d);
    if (file == nullptr || file->pMethods == nullptr || file->pMethods->iVersion < 2 ||
        file->pMethods->xShmMap == nullptr)
        return false;
    volatile void *region = nullptr;
    if (file->pMethods->xShmMap(file, 0, 32768, 0, &region) != SQLITE_OK || region == nullptr)
        return false;
    // A writer stores the second copy, then the first; reading the first, then the second, and
    // finding them equal means neither was half written.
    const volatile uint32_t *words = static_cast<const volatile uint32_t *>(region);
    WalHeader second;
    for (size_t i = 0; i < out->size(); ++i) (*out)[i] = words[i];
    std::atomic_thread_fence(std::memory_order_seq_cst);
    for (size_t i = 0; i < second.size(); ++i) second[i] = words[out->size() + i];
    const unsigned char is_init = reinterpret_cast<const unsigned char *>(out->data())[12];
    return *out == second && is_init == 1;
}

bool header_is_label(Database &d) {
    WalHeader now;
    return d.labelled && read_header(d, &now) && now == d.label;
}

void drop_answers(Database &d) {
    d.answers.clear();
    d.answer_bytes = 0;
    d.labelled = false;
    d.serving = false;
}

// Whether a look-up on d may be answered from or kept in d's answers: inside a snapshot, not
// inside a transaction of the caller's own. The snapshot's first look-up compares the header.
bool keeping(Database &d) {
    if (!g_snapshot || (!d.reading && sqlite3_get_autocommit(d.db) == 0)) return false;
    if (!d.checked) {
        d.checked = true;
        WalHeader now;
        if (!read_header(d, &now)) {
            drop_answers(d);
        } else if (!d.labelled || now != d.label) {
            drop_answers(d);
            d.label = now;
            d.labelled = true;
            d.serving = true;
        } else {
            d.serving = true;
        }
    }
    return d.serving;
}

// The key of an answer: the table, the statement (a kind, or kinds for a read by position),
// the key number, whether the record was read, the position and the key given.
const std::string &answer_key(Database &d, const Table &t, int statement, int keynum,
                              bool with_record, int64_t position, const std::string &key) {
    std::string &k = d.answer_key;
    k.assign(reinterpret_cast<const char *>(&t.id), sizeof t.id);
    k.push_back(static_cast<char>(statement));
    k.push_back(static_cast<char>(keynum));
    k.push_back(with_record ? '\1' : '\0');
    k.append(reinterpret_cast<const char *>(&position), sizeof position);
    k.append(key);
    return k;
}

// Answers as the statement's row would: the key, the record cut to the caller's buffer.
Status give(const Answer &a, Found *found, RecordOut *record) {
    if (a.status != Status::ok) return a.status;
    if (found != nullptr) {
        found->position = a.position;
        found->key = a.key;
    }
    if (record != nullptr) {
        int n = std::min(static_cast<int>(a.record.size()), record->capacity);
        if (n > 0) std::memcpy(record->buffer, a.record.data(), static_cast<size_t>(n));
        record->length = std::max(n, 0);
    }
    return Status::ok;
}

void keep_answer(Database &d, Answer answer) {
    // What the heap gives it: the bytes, the map's node and bucket, and malloc's own overhead.
    size_t size = d.answer_key.size() + answer.key.size() + answer.record.size() + 200;
    if (d.answer_bytes + size > kAnswersMaxBytes) {
        d.answers.clear();
        d.answer_bytes = 0;
    }
    d.answer_bytes += size;
    d.answers.insert_or_assign(d.answer_key, std::move(answer));
}

// Before a statement of a look-up runs on SQLite for the answers: a read transaction not yet
// begun must begin at the label. true when its answer may be kept, to be confirmed by
// kept_after once the statement stepped.
bool kept_before(Database &d, bool keep, bool *confirm) {
    *confirm = false;
    if (!keep) return false;
    if (d.reading) return true;
    if (!header_is_label(d)) {
        drop_answers(d);
        return false;
    }
    *confirm = true;
    return true;
}

bool kept_after(Database &d, bool keep, bool confirm) {
    if (!keep) return false;
    if (confirm && !header_is_label(d)) {
        drop_answers(d);
        return false;
    }
    return d.serving;
}

// Before a write of this process: the read transaction ends and the answers go.
void before_write(Database &d) {
    leave_read(d);
    drop_answers(d);
    d.checked = false;
}

// ---- the transaction of a change to the schema

// IMMEDIATE takes the write lock up front, so a second process opening the same file waits out
// the busy timeout instead of failing halfway through; whatever is left open is rolled back.
struct SchemaChange {
    Database &d;
    bool open = false;

    explicit SchemaChange(Database &db) : d(db) {}
    ~SchemaChange() {
        if (open) exec(d, "ROLLBACK", "undoing a change to the tables");
    }
    bool begin() { return open = exec(d, "BEGIN IMMEDIATE", "changing the tables"); }
    bool commit() {
        if (!exec(d, "COMMIT", "committing a change to the tables")) return false;
        open = false;
        return true;
    }
};

// ---- opening

Database *open_database(const std::string &path, std::string *why) {
    for (auto &d : g_databases)
        if (d->path == path) return d.get();
    auto d = std::make_unique<Database>();
    d->path = path;
    int rc = sqlite3_open_v2(path.c_str(), &d->db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        *why = std::string("cannot open: ") + (d->db ? sqlite3_errmsg(d->db) : sqlite3_errstr(rc));
        sqlite3_close(d->db);
        return nullptr;
    }
    sqlite3_extended_result_codes(d->db, 1);
    sqlite3_busy_timeout(d->db, kBusyTimeoutMs);

    // journal_mode answers with the mode in force; anything but wal means readers could wait.
    sqlite3_stmt *mode = prepare(*d, "PRAGMA journal_mode=WAL", false);
    bool wal = false;
    if (mode != nullptr) {
        if (sqlite3_step(mode) == SQLITE_ROW) {
            const unsigned char *text = sqlite3_column_text(mode, 0);
            wal = text != nullptr && std::strcmp(reinterpret_cast<const char *>(text), "wal") == 0;
        }
        sqlite3_finalize(mode);
    }
    if (!wal || !exec(*d, kTuning, "setting up the connection") ||
        (g_deferred_sync && !exec(*d, "PRAGMA synchronous=NORMAL", "setting up the connection"))) {
        *why = wal ? "cannot set up the connection" : "cannot switch to WAL mode";
        sqlite3_close(d->db);
        return nullptr;
    }
    if (g_deferred_sync) {
        // Every commit, whatever statement made it, leaves its log to be synced.
        sqlite3_commit_hook(
            d->db,
            [](void *database) {
                static_cast<Database *>(database)->unsynced = true;
                return 0;
            },
            d.get());
    }
    g_databases.push_back(std::move(d));
    return g_databases.back().get();
}

// What dfa_files says of the table: 1 the same definition, 0 absent, 2 another definition,
// 3 only the record size differs, -1 an error.
int stored_definition(Database &d, const std::string &table, int record_size,
                      const std::string &definition) {
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(d.db, "SELECT record_size, keys FROM dfa_files WHERE name = ?1", -1,
                           &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return -1; // no dfa_files yet: the caller takes the slow path and creates it
    }
    sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_STATIC);
    int rc = sqlite3_step(stmt);
    int answer = -1;
    if (rc == SQLITE_DONE) {
        answer = 0;
    } else if (rc == SQLITE_ROW) {
        const unsigned char *keys = sqlite3_column_text(stmt, 1);
        bool same_keys = keys != nullptr && definition == reinterpret_cast<const char *>(keys);
        bool same_size = sqlite3_column_int(stmt, 0) == record_size;
        answer = !same_keys ? 2 : same_size ? 1 : 3;
    }
    sqlite3_finalize(stmt);
    return answer;
}

bool table_exists(Database &d, const std::string &table, std::vector<std::string> *columns) {
    columns->clear();
    sqlite3_stmt *stmt = nullptr;
    std::string sql = "PRAGMA table_info(" + quote(table) + ")";
    if (sqlite3_prepare_v2(d.db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return false;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const unsigned char *name = sqlite3_column_text(stmt, 1);
        if (name != nullptr) columns->emplace_back(reinterpret_cast<const char *>(name));
    }
    sqlite3_finalize(stmt);
    return !columns->empty();
}

bool create_indexes(Database &d, const std::string &table, const std::vector<Key> &keys,
                    std::string *why) {
    for (size_t k = 0; k < keys.size(); ++k) {
        int kk = static_cast<int>(k);
        // A unique index on the key alone still orders its entries by rowid within a key, so
        // both kinds are ordered on (key, position).
        std::string sql = keys[k].unique
                              ? "CREATE UNIQUE INDEX " + index_name(table, kk) + " ON " +
                                    quote(table) + "(" + column(kk) + ")"
                              : "CREATE INDEX " + index_name(table, kk) + " ON " + quote(table) +
                                    "(" + column(kk) + ", pos)";
        char *message = nullptr;
        int rc = sqlite3_exec(d.db, sql.c_str(), nullptr, nullptr, &message);
        sqlite3_free(message);
        if (rc != SQLITE_OK) {
            *why = is_constraint(rc) ? "key " + std::to_string(k) +
                                           " is unique but stored records share a value of it"
                                     : std::string("cannot index key ") + std::to_string(k) +
                                           ": " + sqlite3_errmsg(d.db);
            return false;
        }
    }
    return true;
}

struct Rekey {
    const std::vector<Key> *keys;
    std::string scratch;
};

void rekey_function(sqlite3_context *ctx, int, sqlite3_value **argv) {
    auto *r = static_cast<Rekey *>(sqlite3_user_data(ctx));
    const void *rec = sqlite3_value_blob(argv[0]);
    int length = sqlite3_value_bytes(argv[0]);
    int k = sqlite3_value_int(argv[1]);
    static const unsigned char nothing = 0;
    encode_record_key((*r->keys)[static_cast<size_t>(k)],
                      rec ? static_cast<const unsigned char *>(rec) : &nothing, rec ? length : 0,
                      &r->scratch);
    sqlite3_result_blob(ctx, r->scratch.data(), static_cast<int>(r->scratch.size()),
                        SQLITE_TRANSIENT);
}

// The table exists with other key definitions: recompute every key column from the stored
// records and index them again. The records and their positions are untouched.
bool rebuild_keys(Database &d, const std::string &table, const std::vector<Key> &keys,
                  const std::vector<std::string> &columns, std::string *why) {
    auto has = [&](const std::string &c) {
        return std::find(columns.begin(), columns.end(), c) != columns.end();
    };
    if (!has("pos") || !has("rec")) {
        *why = "the table exists but is not a data file (no pos and rec columns)";
        return false;
    }
    const std::string t = quote(table);
    for (int k = 0; k < HOST_KEY_MAX_FILE_KEYS; ++k)
        if (!exec(d, "DROP INDEX IF EXISTS " + index_name(table, k), "dropping an old index"))
            return false;
    std::string assign;
    for (int k = 0; k < HOST_KEY_MAX_FILE_KEYS; ++k) {
        bool wanted = k < static_cast<int>(keys.size());
        if (wanted && !has(column(k)) &&
            !exec(d, "ALTER TABLE " + t + " ADD COLUMN " + column(k) + " BLOB", "adding a key"))
            return false;
        if (wanted || has(column(k))) {
            if (!assign.empty()) assign += ", ";
            assign += column(k) + (wanted ? " = dfa_rekey(rec, " + std::to_string(k) + ")"
                                          : " = NULL");
        }
    }
    Rekey rekey{&keys, {}};
    if (sqlite3_create_function_v2(d.db, "dfa_rekey", 2, SQLITE_UTF8, &rekey, rekey_function,
                                   nullptr, nullptr, nullptr) != SQLITE_OK) {
        *why = std::string("cannot rebuild the keys: ") + sqlite3_errmsg(d.db);
        return false;
    }
    bool ok = exec(d, "UPDATE " + t + " SET " + assign, "rebuilding the keys");
    sqlite3_create_function_v2(d.db, "dfa_rekey", 2, SQLITE_UTF8, nullptr, nullptr, nullptr,
                               nullptr, nullptr);
    if (!ok) {
        *why = "cannot rebuild the keys";
        return false;
    }
    long long records = sqlite3_changes64(d.db);
    if (!create_indexes(d, table, keys, why)) return false;
    std::fprintf(stderr, "datafile: %s: table %s: key definitions changed; keys rebuilt from "
                         "%lld stored records\n",
                 d.path.c_str(), table.c_str(), records);
    return true;
}

bool record_definition(Database &d, const std::string &table, int record_size,
                       const std::string &definition) {
    sqlite3_stmt *stmt = prepare(
        d, "INSERT OR REPLACE INTO dfa_files(name, record_size, keys) VALUES(?1, ?2, ?3)", false);
    if (stmt == nullptr) return false;
    sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int(stmt, 2, record_size);
    sqlite3_bind_text(stmt, 3, definition.c_str(), -1, SQLITE_STATIC);
    bool ok = sqlite3_step(stmt) == SQLITE_DONE;
    if (!ok) report(d, "recording table " + table);
    sqlite3_finalize(stmt);
    return ok;
}

// Makes the stored table agree with the definition the caller opens it with.
bool settle_table(Database &d, const std::string &table, int record_size,
                  const std::vector<Key> &keys, const std::string &definition, std::string *why) {
    // The usual case, a file opened as it was created, takes no write lock, so opening never
    // waits for the operator's import.
    if (stored_definition(d, table, record_size, definition) == 1) return true;
    before_write(d);

    // A table created inside the operator's transaction would vanish with its rollback while
    // its statements stay prepared here: files are opened before a transaction starts.
    if (sqlite3_get_autocommit(d.db) == 0) {
        *why = "a table cannot be created or changed inside an open transaction";
        return false;
    }
    SchemaChange scope(d);
    if (!scope.begin()) {
        *why = "the database is busy or cannot be written";
        return false;
    }
    if (!exec(d,
              "CREATE TABLE IF NOT EXISTS dfa_files(name TEXT PRIMARY KEY, "
              "record_size INTEGER NOT NULL, keys TEXT NOT NULL)",
              "creating dfa_files")) {
        *why = "cannot create the table of files";
        return false;
    }
    int stored = stored_definition(d, table, record_size, definition); // again, under the lock
    if (stored < 0) {
        *why = std::string("cannot read the table of files: ") + sqlite3_errmsg(d.db);
        return false;
    }
    if (stored == 1) return scope.commit();

    std::vector<std::string> columns;
    if (stored == 3) {
        // Only the record size moved: the keys stand as they are.
    } else if (!table_exists(d, table, &columns)) {
        std::string sql = "CREATE TABLE " + quote(table) +
                          "(pos INTEGER PRIMARY KEY AUTOINCREMENT, rec BLOB NOT NULL";
        for (size_t k = 0; k < keys.size(); ++k) sql += ", " + column(static_cast<int>(k)) + " BLOB";
        sql += ")";
        if (!exec(d, sql, "creating table " + table) || !create_indexes(d, table, keys, why)) {
            if (why->empty()) *why = "cannot create the table";
            return false;
        }
    } else if (!rebuild_keys(d, table, keys, columns, why)) {
        return false;
    }
    if (!record_definition(d, table, record_size, definition)) {
        *why = "cannot record the table's definition";
        return false;
    }
    if (!scope.commit()) {
        *why = "cannot commit the table's creation";
        return false;
    }
    return true;
}

// The statement of a look-up: "SELECT pos, k[, rec] FROM t " and one of these, %k the key column.
const char *kind_sql(Kind kind) {
    switch (kind) {
    case equal: return "WHERE %k = ?1 ORDER BY pos LIMIT 1";
    case greater: return "WHERE %k > ?1 ORDER BY %k, pos LIMIT 1";
    case greater_equal: return "WHERE %k >= ?1 ORDER BY %k, pos LIMIT 1";
    case less: return "WHERE %k < ?1 ORDER BY %k DESC, pos DESC LIMIT 1";
    default: return "";
    }
}

sqlite3_stmt *seek_statement(Table &t, int keynum, Kind kind, bool with_record) {
    sqlite3_stmt *&stmt = t.seeks[static_cast<size_t>(keynum)][kind][with_record ? 1 : 0];
    if (stmt != nullptr) return stmt;
    const std::string k = column(keynum);
    const std::string select = "SELECT pos, " + k + (with_record ? ", rec" : "") + " FROM " +
                               t.quoted + " ";
    auto expand = [&](const char *text) {
        std::string sql;
        for (const char *p = text; *p != '\0'; ++p) {
            if (p[0] == '%' && p[1] == 'k') {
                sql += k;
                ++p;
            } else {
                sql += *p;
            }
        }
        return sql;
    };
    std::string sql;
    if (kind == next || kind == previous) {
        // The rest of the run of duplicates, else the first record of the following key: two
        // seeks in one statement, so one snapshot and one read lock. SQLite 3.40 would seek a
        // row value (k, pos) > (?, ?) on k alone and filter, walking a long run of duplicates
        // from its start at every step.
        const char *run = kind == next ? "WHERE %k = ?1 AND pos > ?2 ORDER BY pos LIMIT 1"
                                       : "WHERE %k = ?1 AND pos < ?2 ORDER BY pos DESC LIMIT 1";
        sql = "SELECT * FROM (" + select + expand(run) + ") UNION ALL SELECT * FROM (" + select +
              expand(kind_sql(kind == next ? greater : less)) + ") LIMIT 1";
    } else {
        sql = select + expand(kind_sql(kind));
    }
    stmt = prepare(*t.database, sql, true);
    return stmt;
}

Kind kind_of(Seek op) {
    switch (op) {
    case Seek::equal: return equal;
    case Seek::greater: return greater;
    case Seek::greater_equal: return greater_equal;
    case Seek::less: return less;
    case Seek::next: return next;
    case Seek::previous: return previous;
    }
    return equal;
}

Status run_seek(Table &t, int keynum, Kind kind, const std::string &key, int64_t position,
                Found *found, RecordOut *record) {
    Database &d = *t.database;
    const bool step = kind == next || kind == previous;
    bool keep = keeping(d);
    if (keep) {
        auto at = d.answers.find(
            answer_key(d, t, kind, keynum, record != nullptr, step ? position : 0, key));
        if (at != d.answers.end()) return give(at->second, found, record);
    }
    sqlite3_stmt *stmt = seek_statement(t, keynum, kind, record != nullptr);
    if (stmt == nullptr) return Status::failed;
    bool confirm = false;
    keep = kept_before(d, keep, &confirm);
    enter_read(d);
    ResetOnExit reset{stmt};
    sqlite3_bind_blob(stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    if (step) sqlite3_bind_int64(stmt, 2, position);
    int rc = sqlite3_step(stmt);
    keep = kept_after(d, keep, confirm);
    if (rc == SQLITE_DONE) {
        if (keep) keep_answer(d, Answer{});
        return Status::not_found;
    }
    if (rc != SQLITE_ROW) {
        report(t, "looking up a key");
        return Status::failed;
    }
    if (keep) {
        Answer a;
        a.status = Status::ok;
        a.position = sqlite3_column_int64(stmt, 0);
        copy_blob(stmt, 1, &a.key);
        if (record != nullptr) copy_blob(stmt, 2, &a.record);
        keep_answer(d, a);
        return give(d.answers.find(d.answer_key)->second, found, record);
    }
    if (found != nullptr) {
        found->position = sqlite3_column_int64(stmt, 0);
        copy_blob(stmt, 1, &found->key);
    }
    if (record != nullptr) copy_record(stmt, 2, record);
    return Status::ok;
}

void bind_keys(Table &t, sqlite3_stmt *stmt, const void *record, int length, int first) {
    const auto *bytes = static_cast<const unsigned char *>(record);
    for (size_t k = 0; k < t.keys.size(); ++k) {
        encode_record_key(t.keys[k], bytes, length, &t.write_keys[k]);
        sqlite3_bind_blob(stmt, first + static_cast<int>(k), t.write_keys[k].data(),
                          static_cast<int>(t.write_keys[k].size()), SQLITE_STATIC);
    }
}

}  // namespace

// ---- the interface of store.h

Table *store_open(const std::string &directory, const std::string &database,
                  const std::string &table, int record_size, const std::vector<Key> &keys,
                  std::string *why) {
    std::string name = table;
    for (char &c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);

    std::error_code ec;
    std::filesystem::create_directories(directory.empty() ? "." : directory, ec);
    if (ec) {
        *why = "cannot create directory " + directory + ": " + ec.message();
        return nullptr;
    }
    std::string path =
        (std::filesystem::path(directory.empty() ? "." : directory) / database).lexically_normal();
    Database *d = open_database(path, why);
    if (d == nullptr) return nullptr;

    std::string definition = describe_keys(keys);
    for (auto &t : g_tables) {
        if (t->database != d || t->name != name) continue;
        if (t->definition == definition && t->record_size == record_size) return t.get();
        *why = "the table is already open with another definition";
        return nullptr;
    }
    if (!settle_table(*d, name, record_size, keys, definition, why)) return nullptr;

    auto t = std::make_unique<Table>();
    t->id = static_cast<uint32_t>(g_tables.size());
    t->database = d;
    t->name = name;
    t->quoted = quote(name);
    t->record_size = record_size;
    t->keys = keys;
    t->definition = definition;
    t->seeks.resize(keys.size());
    for (auto &per_key : t->seeks)
        for (auto &pair : per_key) pair = {nullptr, nullptr};
    t->write_keys.resize(keys.size());

    std::string list, values, assign;
    for (size_t k = 0; k < keys.size(); ++k) {
        list += ", " + column(static_cast<int>(k));
        values += ", ?" + std::to_string(k + 2);
        assign += ", " + column(static_cast<int>(k)) + " = ?" + std::to_string(k + 2);
    }
    t->read_at = prepare(*d, "SELECT rec" + list + " FROM " + t->quoted + " WHERE pos = ?1", true);
    t->length_at = prepare(*d, "SELECT length(rec) FROM " + t->quoted + " WHERE pos = ?1", true);
    t->insert = prepare(
        *d, "INSERT INTO " + t->quoted + "(rec" + list + ") VALUES(?1" + values + ")", true);
    t->update = prepare(*d,
                        "UPDATE " + t->quoted + " SET rec = ?1" + assign + " WHERE pos = ?" +
                            std::to_string(keys.size() + 2),
                        true);
    t->update_if = prepare(*d,
                           "UPDATE " + t->quoted + " SET rec = ?1" + assign + " WHERE pos = ?" +
                               std::to_string(keys.size() + 2) + " AND rec = ?" +
                               std::to_string(keys.size() + 3),
                           true);
    t->erase = prepare(*d, "DELETE FROM " + t->quoted + " WHERE pos = ?1", true);
    if (!t->read_at || !t->length_at || !t->insert || !t->update || !t->update_if || !t->erase) {
        for (sqlite3_stmt *s : {t->read_at, t->length_at, t->insert, t->update, t->update_if, t->erase})
            sqlite3_finalize(s);
        *why = "cannot prepare the table's statements";
        return nullptr;
    }
    g_tables.push_back(std::move(t));
    return g_tables.back().get();
}

void store_close_all() {
    store_snapshot_end();
    for (auto &t : g_tables) {
        for (auto &per_key : t->seeks)
            for (auto &pair : per_key)
                for (sqlite3_stmt *s : pair) sqlite3_finalize(s);
        for (sqlite3_stmt *s : {t->read_at, t->length_at, t->insert, t->update, t->update_if, t->erase})
            sqlite3_finalize(s);
    }
    g_tables.clear();
    // An explicit transaction still open is rolled back by the close.
    for (auto &d : g_databases) {
        sqlite3_finalize(d->begin_read);
        sqlite3_finalize(d->end_read);
        sqlite3_close_v2(d->db);
    }
    g_databases.clear();
}

Status table_seek(Table &t, int keynum, Seek op, const std::string &key, int64_t position,
                  Found *found, RecordOut *record) {
    return run_seek(t, keynum, kind_of(op), key, position, found, record);
}

Status table_read(Table &t, int64_t position, int keynum, Found *found, RecordOut *record) {
    Database &d = *t.database;
    bool keep = keeping(d);
    if (keep) {
        auto at = d.answers.find(answer_key(d, t, kinds, keynum, record != nullptr, position, ""));
        if (at != d.answers.end()) return give(at->second, found, record);
    }
    bool confirm = false;
    keep = kept_before(d, keep, &confirm);
    enter_read(d);
    sqlite3_stmt *stmt = t.read_at;
    ResetOnExit reset{stmt};
    sqlite3_bind_int64(stmt, 1, position);
    int rc = sqlite3_step(stmt);
    keep = kept_after(d, keep, confirm);
    if (rc == SQLITE_DONE) {
        if (keep) keep_answer(d, Answer{});
        return Status::not_found;
    }
    if (rc != SQLITE_ROW) {
        report(t, "reading by position");
        return Status::failed;
    }
    if (keep) {
        Answer a;
        a.status = Status::ok;
        a.position = position;
        copy_blob(stmt, 1 + keynum, &a.key);
        if (record != nullptr) copy_blob(stmt, 0, &a.record);
        keep_answer(d, a);
        return give(d.answers.find(d.answer_key)->second, found, record);
    }
    if (found != nullptr) {
        found->position = position;
        copy_blob(stmt, 1 + keynum, &found->key);
    }
    if (record != nullptr) copy_record(stmt, 0, record);
    return Status::ok;
}

Status table_insert(Table &t, const void *record, int length, int64_t *position) {
    before_write(*t.database);
    sqlite3_stmt *stmt = t.insert;
    ResetOnExit reset{stmt};
    sqlite3_bind_blob(stmt, 1, record, length, SQLITE_STATIC);
    bind_keys(t, stmt, record, length, 2);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
        *position = sqlite3_last_insert_rowid(t.database->db);
        return Status::ok;
    }
    if (is_constraint(rc)) return Status::duplicate;
    report(t, "inserting a record");
    return Status::failed;
}

Status table_update(Table &t, int64_t position, const void *record, int *length) {
    before_write(*t.database);
    {
        sqlite3_stmt *stmt = t.length_at;
        ResetOnExit reset{stmt};
        sqlite3_bind_int64(stmt, 1, position);
        int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) return Status::not_found;
        if (rc != SQLITE_ROW) {
            report(t, "reading a record's length");
            return Status::failed;
        }
        *length = std::min(sqlite3_column_int(stmt, 0), t.record_size);
    }
    sqlite3_stmt *stmt = t.update;
    ResetOnExit reset{stmt};
    sqlite3_bind_blob(stmt, 1, record, *length, SQLITE_STATIC);
    bind_keys(t, stmt, record, *length, 2);
    sqlite3_bind_int64(stmt, static_cast<int>(t.keys.size()) + 2, position);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE)
        return sqlite3_changes(t.database->db) > 0 ? Status::ok : Status::not_found;
    if (is_constraint(rc)) return Status::duplicate;
    report(t, "updating a record");
    return Status::failed;
}

Status table_update_if(Table &t, int64_t position, const void *expected, int expected_length,
                       const void *record, int *length) {
    before_write(*t.database);
    // One statement: the comparison and the write happen under the same write lock.
    *length = std::min(expected_length, t.record_size);
    sqlite3_stmt *stmt = t.update_if;
    ResetOnExit reset{stmt};
    sqlite3_bind_blob(stmt, 1, record, *length, SQLITE_STATIC);
    bind_keys(t, stmt, record, *length, 2);
    const int next = static_cast<int>(t.keys.size()) + 2;
    sqlite3_bind_int64(stmt, next, position);
    sqlite3_bind_blob(stmt, next + 1, expected, expected_length, SQLITE_STATIC);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE)
        return sqlite3_changes(t.database->db) > 0 ? Status::ok : Status::changed;
    if (is_constraint(rc)) return Status::duplicate;
    report(t, "updating a record on condition");
    return Status::failed;
}

Status table_delete(Table &t, int64_t position) {
    before_write(*t.database);
    sqlite3_stmt *stmt = t.erase;
    ResetOnExit reset{stmt};
    sqlite3_bind_int64(stmt, 1, position);
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE)
        return sqlite3_changes(t.database->db) > 0 ? Status::ok : Status::not_found;
    report(t, "deleting a record");
    return Status::failed;
}

bool table_begin(Table &t) {
    before_write(*t.database);
    if (sqlite3_get_autocommit(t.database->db) == 0) {
        std::fprintf(stderr, "datafile: %s: a transaction is already open\n",
                     t.database->path.c_str());
        return false;
    }
    return exec(*t.database, "BEGIN IMMEDIATE", "starting a transaction");
}

bool table_commit(Table &t) {
    if (sqlite3_get_autocommit(t.database->db) != 0 || t.database->reading) return false;
    before_write(*t.database);
    if (!exec(*t.database, "COMMIT", "committing")) {
        exec(*t.database, "ROLLBACK", "rolling back a failed commit");
        return false;
    }
    // A large transaction leaves its pages in the WAL, where every later read of them looks
    // them up in the WAL index and copies them with pread instead of mapping the database.
    // Move them into the database now. The commit stands even when a long reader elsewhere
    // keeps the checkpoint from finishing; the automatic checkpoints finish the job later.
    sqlite3_wal_checkpoint_v2(t.database->db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                              nullptr);
    return true;
}

void table_rollback(Table &t) {
    if (sqlite3_get_autocommit(t.database->db) == 0 && !t.database->reading) {
        before_write(*t.database);
        exec(*t.database, "ROLLBACK", "rolling back");
    }
}

void defer_sync() { g_deferred_sync = true; }

std::vector<std::string> take_unsynced() {
    std::vector<std::string> logs;
    for (auto &d : g_databases) {
        if (!d->unsynced) continue;
        d->unsynced = false;
        logs.push_back(d->path + "-wal");
    }
    return logs;
}

void store_snapshot_begin() { g_snapshot = true; }

void store_snapshot_end() {
    g_snapshot = false;
    for (auto &d : g_databases) {
        leave_read(*d);
        d->checked = false;
        d->serving = false;
    }
}

std::string table_explain(Table &t, int keynum, Seek op) {
    std::string plan;
    for (bool with_record : {false, true}) {
        sqlite3_stmt *stmt = seek_statement(t, keynum, kind_of(op), with_record);
        if (stmt == nullptr) return "";
        sqlite3_stmt *explain =
            prepare(*t.database, std::string("EXPLAIN QUERY PLAN ") + sqlite3_sql(stmt), false);
        if (explain == nullptr) return "";
        while (sqlite3_step(explain) == SQLITE_ROW) {
            const unsigned char *detail = sqlite3_column_text(explain, 3);
            plan += detail ? reinterpret_cast<const char *>(detail) : "";
            plan += '\n';
        }
        sqlite3_finalize(explain);
    }
    return plan;
}

}  // namespace host::datafile::sqlite
