// The PostgreSQL store of the data files, for a mall whose hosts share one database server.
//
// The database of the address holds every data file: a database file of the SQLite store
// ("catalogue.db") is a schema here ("catalogue"), all of them on one connection. An explicit
// transaction (mallctl's import, export and remove) is one at a time, and takes in every write
// made while it is open. A table is
// (pos bigint identity, rec bytea, k0 bytea, ... kN bytea): the record with its length, and one
// column per key holding its encoded key. bytea compares bytewise, so an index on (k, pos) orders
// a key's records exactly as the encoded keys and positions order them; a unique key has a unique
// index on k besides. Identity values are never handed out twice, so a position is stable for
// the record's life. dfa_files in each schema remembers each table's record size and keys.
//
// Every statement is prepared once per connection and runs as one round trip, parameters and
// results in binary. Outside an explicit transaction each statement commits on its own
// (synchronous_commit on), so a write is durable when the call returns and every other host sees
// it at its next look-up.
//
// A read snapshot (store_snapshot_begin, one per call into a module) is a read-only REPEATABLE
// READ transaction over every schema, begun by its first look-up. When the snapshot ends the
// transaction stays open: its COMMIT goes out in the same message as the next statement (the
// next snapshot's COMMIT AND CHAIN, the server's snapshot and the first look-up, or a write), so
// a call wakes the server once. While nothing is written anywhere the server's snapshot stays
// the same, and the look-ups are answered from those kept from earlier calls; the first one
// then stays out of the message as well. store_release_idle commits a transaction left unused,
// so that an idle host holds no locks. A write first ends the snapshot. Within a snapshot a
// walk along a key costs few round trips: a forward look-up that the rows already fetched cannot
// answer fetches the rows that follow in key order, 1 the first time, 8 the second, 32 from then
// on, and the next look-ups and reads by position on them are answered from those rows, which
// the snapshot keeps valid. A write and the end of the snapshot drop them.
//
// Single-threaded, like the SQLite store.
#include <libpq-fe.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "host/datafile/backends.h"

namespace host::datafile::postgres {

namespace {

constexpr Oid kBytea = 17;
constexpr Oid kInt8 = 20;
constexpr const char *kDuplicate = "23505";

// One connection's settings: durable commits whatever the server's default, a write that finds
// its table locked by another session waits a few seconds and then fails cleanly (the SQLite
// store's busy timeout), plans made once per statement, and no notices ("schema already
// exists") on standard error.
constexpr const char *kSetup = "SET synchronous_commit = on; SET lock_timeout = '5s'; "
                               "SET plan_cache_mode = force_generic_plan; "
                               "SET client_min_messages = warning";

enum Kind { equal, greater, greater_equal, less, next, previous, kinds };

// A statement prepared on a connection under a name of its own.
struct Statement {
    std::string name;
    std::string sql;
    std::vector<Oid> types;
    unsigned prepared_in = 0; // the connection generation it was prepared in; 0 never
    bool look_up = false;     // reads only: its answers may be kept for later snapshots
};

void ignore_notice(void *, const char *) {}

}  // namespace

// The one connection of the process to the server. Every schema is read and written through it,
// so a call that reads from several database files reads them all in one snapshot, begun by
// one message.
struct Connection {
    PGconn *conn = nullptr;
    unsigned generation = 1; // counts connections, so statements are prepared again after one
    int statements = 0;      // for statement names
    bool reading = false;    // a snapshot's read transaction is open
    bool begin_due = false;  // its BEGIN not sent yet: it goes out with the first look-up
    // A snapshot ended but its read transaction is still open: the COMMIT goes out in front of
    // the next statement, in the same message, or from store_release_idle.
    bool commit_due = false;
    std::chrono::steady_clock::time_point idle_since; // when commit_due was set
    bool pending = false; // a COMMIT sent on its own; its answer not read yet
};

struct Database {
    std::string name;   // the database file's name, as the caller gives it
    std::string schema; // quoted, ready for SQL text
    std::string schema_name;
};

// Rows of one key fetched in a snapshot: every row after (key, position) in key order up to the
// last of rows, and, when complete, none after that.
struct Window {
    bool valid = false;
    std::string key;
    int64_t position = 0;
    struct Row {
        int64_t position;
        std::string key;
        std::string record;
    };
    std::vector<Row> rows;
    bool complete = false;
    int fetches = 0; // in this snapshot: sets how many rows the next fetch asks for
};

constexpr int kWindowSizes[] = {1, 8, 32};

struct Table {
    Database *database = nullptr;
    std::string name;
    std::string qualified; // "schema"."name"
    int record_size = 0;
    std::vector<Key> keys;
    std::string definition;
    // seeks[key][kind][with record], made on first use
    std::vector<std::array<std::array<std::unique_ptr<Statement>, 2>, kinds>> seeks;
    Statement read_at, length_at, insert, update, update_if, erase;
    std::vector<std::string> write_keys; // encoded keys of the record being written
    std::vector<Window> windows;         // per key, in a snapshot
    // window_seeks[key][size]: the rows after (key, position), made on first use
    std::vector<std::array<std::unique_ptr<Statement>, 3>> window_seeks;
};

namespace {

Connection g_conn;
std::vector<std::unique_ptr<Database>> g_databases;
std::vector<std::unique_ptr<Table>> g_tables;
bool g_snapshot = false;

// The snapshot ends (a write, the end of a call): the rows fetched in it are out of date.
void drop_windows() {
    for (auto &t : g_tables)
        for (auto &w : t->windows) w.valid = false;
}

// A result, cleared when its last copy goes (the answers kept for later snapshots are copies).
struct Result {
    std::shared_ptr<PGresult> held;
    PGresult *r = nullptr;
    Result() = default;
    explicit Result(PGresult *res) : held(res, PQclear), r(res) {}
    ExecStatusType status() const { return r ? PQresultStatus(r) : PGRES_FATAL_ERROR; }
    bool ok() const { return status() == PGRES_COMMAND_OK || status() == PGRES_TUPLES_OK; }
    int rows() const { return r ? PQntuples(r) : 0; }
    std::string state() const {
        const char *s = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        return s ? s : "";
    }
};

std::string error_text(const Database &, const Result &r) {
    std::string text = r.r ? PQresultErrorMessage(r.r) : "";
    if (text.empty() && g_conn.conn) text = PQerrorMessage(g_conn.conn);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// Answers of look-ups, kept across snapshots. Two snapshots of the server with the same
// (xmin, xmax, running transactions) see exactly the same committed data, so an answer read in
// one is the answer in the other: a snapshot that finds the server's snapshot unchanged since
// the last one answers its look-ups from here without a round trip. Any write anywhere on the
// server (this host's, another host's, mallctl's) changes the server's snapshot, and the next
// snapshot starts with none kept.
struct Answers {
    std::string snapshot; // the server's snapshot the answers were read in; "" none
    // The last snapshot found the server's snapshot as the one before it: nothing was written
    // in between, and most likely nothing is before the next.
    bool steady = false;
    std::unordered_map<std::string, Result> kept;
    size_t bytes = 0;
    std::string key; // scratch: the statement's name and parameters
};
constexpr size_t kAnswersMaxBytes = 16u << 20; // past it they start again

Answers g_answers;

// The key of a statement's answer: its name and each parameter with its length.
const std::string &answer_key(Answers &a, const Statement &s, int count, const char *const *values,
                              const int *lengths) {
    a.key.assign(s.name);
    for (int i = 0; i < count; ++i) {
        const int n = lengths[i];
        a.key.push_back('\0');
        a.key.append(reinterpret_cast<const char *>(&n), sizeof n);
        a.key.append(values[i], static_cast<size_t>(n));
    }
    return a.key;
}

void keep_answer(Answers &a, const Result &r) {
    if (a.snapshot.empty() || !r.ok()) return;
    size_t size = a.key.size() + 64;
    for (int row = 0; row < r.rows(); ++row)
        for (int col = 0; col < PQnfields(r.r); ++col) size += static_cast<size_t>(PQgetlength(r.r, row, col)) + 16;
    if (a.bytes + size > kAnswersMaxBytes) {
        a.kept.clear();
        a.bytes = 0;
    }
    a.bytes += size;
    a.kept[a.key] = r;
}

void report(const Database &d, const std::string &what, const Result &r) {
    std::fprintf(stderr, "datafile: postgresql %s: %s: %s\n", d.schema_name.c_str(), what.c_str(),
                 error_text(d, r).c_str());
}

std::string quote(const std::string &name) { return "\"" + name + "\""; }

std::string column(int k) { return "k" + std::to_string(k); }

// Reads the answer of a COMMIT sent on its own, so that the connection takes the next statement.
void read_pending() {
    if (!g_conn.pending) return;
    g_conn.pending = false;
    while (PGresult *r = PQgetResult(g_conn.conn)) PQclear(r);
}

// Before a statement that does not carry the COMMIT of an ended snapshot itself: that COMMIT
// goes first, on its own.
void settle() {
    read_pending();
    if (!g_conn.commit_due) return;
    g_conn.commit_due = false;
    Result r(PQexec(g_conn.conn, "COMMIT"));
}

// An explicit transaction is open (not a snapshot's read transaction).
bool in_transaction() {
    read_pending();
    return !g_conn.reading && !g_conn.commit_due && PQtransactionStatus(g_conn.conn) != PQTRANS_IDLE;
}

// A plain command without parameters; false after a report.
bool command(Database &d, const std::string &sql, const std::string &what) {
    settle();
    Result r(PQexec(g_conn.conn, sql.c_str()));
    if (r.ok()) return true;
    report(d, what, r);
    return false;
}


// The first look-up in a snapshot begins its read transaction: the BEGIN goes out in the same
// round trip as that look-up (see run), behind the COMMIT of the last snapshot when that is
// still open. Inside an explicit transaction the look-ups read in it instead.
void enter_read() {
    if (!g_snapshot || g_conn.reading || in_transaction()) return;
    g_conn.reading = true;
    g_conn.begin_due = true;
}

// Before a write or a change of the tables: the snapshot ends, and what it fetched goes. Its
// COMMIT goes out with the write. A snapshot that has not reached the server yet costs nothing
// to end.
void leave_read() {
    drop_windows();
    read_pending();
    if (!g_conn.reading) return;
    g_conn.reading = false;
    if (g_conn.begin_due) {
        g_conn.begin_due = false;
        return;
    }
    g_conn.commit_due = true;
    g_conn.idle_since = std::chrono::steady_clock::now();
}

// Before a write: the snapshot ends, and the server's snapshot is about to move.
void leave_read_to_write() {
    leave_read();
    g_answers.steady = false;
}

constexpr const char *kCommit = "dfa_commit", *kBegin = "dfa_begin", *kSnapshot = "dfa_snapshot",
                     *kChain = "dfa_chain";

// A new connection: its settings, and the statements every snapshot sends prepared, so that the
// server neither parses nor plans them again for each call. false with the reason in *why.
bool set_up(PGconn *conn, std::string *why) {
    Result r(PQexec(conn, kSetup));
    const char *fixed[][2] = {{kCommit, "COMMIT"},
                              {kBegin, "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY"},
                              // the last snapshot's COMMIT and the next one's BEGIN in one
                              // statement: the new transaction is read-only repeatable read too
                              {kChain, "COMMIT AND CHAIN"},
                              // in a repeatable-read transaction: the snapshot it reads in
                              {kSnapshot, "SELECT pg_current_snapshot()::text"}};
    for (const auto &f : fixed)
        if (r.ok()) r = Result(PQprepare(conn, f[0], f[1], 0, nullptr));
    if (r.ok()) return true;
    if (why != nullptr) {
        *why = r.r ? PQresultErrorMessage(r.r) : PQerrorMessage(conn);
        while (!why->empty() && why->back() == '\n') why->pop_back();
    }
    return false;
}

// The connection is gone (the server restarted, a network cut): connect again, unless a
// transaction was open, whose work is lost and must be reported, not hidden.
bool reconnect() {
    PQreset(g_conn.conn);
    g_conn.pending = false;
    g_conn.reading = false;
    g_conn.begin_due = false;
    g_conn.commit_due = false;
    if (PQstatus(g_conn.conn) != CONNECTION_OK) return false;
    ++g_conn.generation;
    return set_up(g_conn.conn, nullptr);
}

const int kBinary[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

// After a snapshot began: the answers kept stand when the server's snapshot is the one they
// were read in, and go when it is not (or is not known).
Answers &note_snapshot(const std::string &snapshot) {
    Answers &a = g_answers;
    a.steady = g_conn.reading && !snapshot.empty() && snapshot == a.snapshot;
    if (!a.steady) {
        a.kept.clear();
        a.bytes = 0;
        a.snapshot = g_conn.reading ? snapshot : "";
    }
    return a;
}

// Waiting for the server. A look-up's answer comes back within a few tens of microseconds when
// the server has a processor to run on; a host that sleeps in poll() until then pays more than
// the wait itself (its processor idles, and on a virtual machine waking it again goes through
// the hypervisor), and that wake-up had been the larger part of what a page costs on PostgreSQL
// more than on SQLite. So for a read the host watches the socket a short while before it
// sleeps on it. Watching pays only while the server answers within it: when the machine is
// busy, the server may be waiting for the very processor the host watches on, so after two
// watches in a row that ended without the answer the host sleeps on the next kWatchRest
// answers, then tries again. Writes, whose commit waits for the server's disk, and a machine
// with one processor go straight to sleep.
constexpr std::chrono::microseconds kWatch{100};
constexpr int kWatchRest = 16;

struct Watching {
    int missed = 0; // watches in a row that ended before the answer came
    int resting = 0; // answers still to sleep on before watching again
};
Watching g_watching;

bool several_processors() {
    static const bool several = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
    }();
    return several;
}

using Deadline = std::chrono::steady_clock::time_point; // the epoch: sleep at once

// How long to watch for the answer of a message: a read's, unless resting.
Deadline watch_until(bool read) {
    if (!read || !several_processors()) return {};
    if (g_watching.resting > 0) {
        --g_watching.resting;
        return {};
    }
    return std::chrono::steady_clock::now() + kWatch;
}

// Watches until the next result can be taken without waiting, the connection fails, or until;
// a watch that runs out ends the watching for the rest of the message.
void watch(PGconn *conn, Deadline &until) {
    if (until == Deadline{}) return;
    while (PQisBusy(conn) == 1 && PQconsumeInput(conn) == 1) {
        if (std::chrono::steady_clock::now() < until) continue;
        until = Deadline{};
        if (++g_watching.missed >= 2) g_watching.resting = kWatchRest;
        return;
    }
    g_watching.missed = 0;
}

// Reads a pipeline's answers up to its sync. Each answer ends with a null result; take(step, r)
// gets every result with the place of its answer in the order sent, and keeps it (true) or
// leaves it to be cleared. A broken connection ends the answers early.
template <typename Take>
void read_pipeline(PGconn *conn, int answers, Deadline until, Take take) {
    int step = 0;
    for (;;) {
        watch(conn, until);
        PGresult *r = PQgetResult(conn);
        if (r == nullptr) {
            if (PQstatus(conn) != CONNECTION_OK || ++step > answers) break;
            continue;
        }
        if (PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
            PQclear(r);
            break;
        }
        if (!take(step, r)) PQclear(r);
    }
}

// A statement (s, when given) in one message with what has to go before it: the COMMIT of the
// last snapshot when it is still open, the BEGIN of a snapshot and the server's snapshot when
// this is the snapshot's first look-up (a COMMIT and a BEGIN together are one COMMIT AND CHAIN),
// its PREPARE when this connection has not seen it. One round trip for all of them. The result
// is the statement's; when a BEGIN did not go through, the transaction is not open and the
// snapshot has ended.
Result run_piped(Statement *s, int count, const char *const *values, const int *lengths) {
    Connection &c = g_conn;
    // (A COMMIT outside a transaction would do nothing, and COMMIT AND CHAIN fail.)
    const bool commit = c.commit_due && PQtransactionStatus(c.conn) != PQTRANS_IDLE, begin = c.begin_due;
    const bool prepare = s != nullptr && s->prepared_in != c.generation;
    c.commit_due = false;
    c.begin_due = false;
    Result out;
    if (PQenterPipelineMode(c.conn) != 1) {
        c.reading = false;
        return out;
    }
    auto send = [&](const char *name) {
        return PQsendQueryPrepared(c.conn, name, 0, nullptr, nullptr, nullptr, 0) == 1;
    };
    // The place of each answer in the order sent; -1 not sent.
    int steps = 0;
    const int commit_step = commit && !begin ? steps++ : -1;
    const int begin_step = begin ? steps++ : -1;
    const int snapshot_step = begin ? steps++ : -1;
    const int prepare_step = prepare ? steps++ : -1;
    const int statement_step = s != nullptr ? steps++ : -1;
    bool sent = (commit_step < 0 || send(kCommit)) && (begin_step < 0 || send(commit ? kChain : kBegin)) &&
                (snapshot_step < 0 || send(kSnapshot)) &&
                (!prepare || PQsendPrepare(c.conn, s->name.c_str(), s->sql.c_str(),
                                           static_cast<int>(s->types.size()), s->types.data()) == 1) &&
                (s == nullptr ||
                 PQsendQueryPrepared(c.conn, s->name.c_str(), count, values, lengths, kBinary, 1) == 1) &&
                PQpipelineSync(c.conn) == 1;
    bool begun = false, prepared = false;
    std::string snapshot;
    if (sent)
        // The answers, each closed by a null, then the sync.
        read_pipeline(c.conn, steps + 1, watch_until(s == nullptr || s->look_up), [&](int step, PGresult *r) {
            const ExecStatusType status = PQresultStatus(r);
            if (step == begin_step) begun = status == PGRES_COMMAND_OK;
            if (step == snapshot_step && status == PGRES_TUPLES_OK && PQntuples(r) == 1)
                snapshot = PQgetvalue(r, 0, 0);
            if (step == prepare_step) prepared = status == PGRES_COMMAND_OK;
            // A write outside a transaction commits at the sync; a failure there is the write's.
            if (s != nullptr && step > statement_step && status == PGRES_FATAL_ERROR) {
                out = Result(r);
                return true;
            }
            if (s == nullptr || step != statement_step) return false;
            out = Result(r);
            return true;
        });
    PQexitPipelineMode(c.conn);
    if (prepared) s->prepared_in = c.generation;
    if (!out.r && s != nullptr && PQstatus(c.conn) != CONNECTION_OK)
        out = Result(PQmakeEmptyPGresult(c.conn, PGRES_FATAL_ERROR));
    if (begin) {
        c.reading = begun && PQtransactionStatus(c.conn) != PQTRANS_IDLE;
        Answers &a = note_snapshot(snapshot);
        if (s != nullptr && s->look_up) {
            answer_key(a, *s, count, values, lengths);
            keep_answer(a, out);
        }
    }
    return out;
}

// PQexecPrepared, watching for the answer of a read before sleeping on it.
Result exec_prepared(Statement &s, int count, const char *const *values, const int *lengths) {
    PGconn *conn = g_conn.conn;
    Deadline until = watch_until(s.look_up);
    if (until == Deadline{})
        return Result(PQexecPrepared(conn, s.name.c_str(), count, values, lengths, kBinary, 1));
    if (PQsendQueryPrepared(conn, s.name.c_str(), count, values, lengths, kBinary, 1) != 1) return Result();
    Result out;
    for (;;) {
        watch(conn, until);
        PGresult *r = PQgetResult(conn);
        if (r == nullptr) break;
        if (out.r == nullptr || PQresultStatus(r) == PGRES_FATAL_ERROR) out = Result(r);
        else PQclear(r);
    }
    return out;
}

// One statement on its own round trip (after its PREPARE's, the first time on a connection).
Result run_plain(Statement &s, int count, const char *const *values, const int *lengths, bool retry) {
    Connection &c = g_conn;
    for (int attempt = 0;; ++attempt) {
        Result r;
        if (s.prepared_in != c.generation) {
            r = Result(PQprepare(c.conn, s.name.c_str(), s.sql.c_str(),
                                 static_cast<int>(s.types.size()), s.types.data()));
            if (r.ok()) s.prepared_in = c.generation;
        }
        if (s.prepared_in == c.generation) r = exec_prepared(s, count, values, lengths);
        if (r.ok() || PQstatus(c.conn) == CONNECTION_OK || !retry || attempt > 0 || c.reading) return r;
        if (!reconnect()) return r;
    }
}

// Runs a prepared statement (preparing it first on this connection); results in binary. A read
// that finds the connection broken outside a transaction connects again and runs once more.
Result run(Database &, Statement &s, int count, const char *const *values, const int *lengths,
           bool retry) {
    Connection &c = g_conn;
    Answers &a = g_answers;
    read_pending();
    if (c.begin_due && s.look_up && a.steady && !a.snapshot.empty() &&
        a.kept.count(answer_key(a, s, count, values, lengths)) != 0) {
        // The snapshot's first look-up was answered before, and the last snapshot found nothing
        // written since the one before it: most likely the answer still stands, and the message
        // that opens the snapshot goes without it. The look-up is answered below, from the
        // answers kept when the server's snapshot is unchanged, else on a round trip of its own.
        run_piped(nullptr, 0, nullptr, nullptr);
        if (!c.reading && PQstatus(c.conn) != CONNECTION_OK && retry && reconnect()) {
            c.reading = true;
            c.begin_due = true;
        }
    }
    if (c.reading && !c.begin_due && s.look_up && PQtransactionStatus(c.conn) == PQTRANS_INTRANS) {
        // Inside a snapshot: a look-up answered before in the same server snapshot.
        if (!a.snapshot.empty()) {
            auto at = a.kept.find(answer_key(a, s, count, values, lengths));
            if (at != a.kept.end()) return at->second;
            Result r = run_plain(s, count, values, lengths, retry);
            answer_key(a, s, count, values, lengths);
            keep_answer(a, r);
            return r;
        }
    }
    if (c.begin_due || c.commit_due) {
        const bool begin = c.begin_due;
        Result r = run_piped(&s, count, values, lengths);
        if (r.ok() || PQstatus(c.conn) == CONNECTION_OK || !retry) return r;
        // Nothing of the snapshot was read yet: on a new connection it starts afresh.
        if (!reconnect()) return r;
        if (!begin) return run_plain(s, count, values, lengths, retry);
        c.reading = true;
        c.begin_due = true;
        return run_piped(&s, count, values, lengths);
    }
    return run_plain(s, count, values, lengths, retry);
}

// A bigint parameter in network byte order.
struct Int8 {
    char bytes[8];
    explicit Int8(int64_t v) {
        auto u = static_cast<uint64_t>(v);
        for (int i = 7; i >= 0; --i, u >>= 8) bytes[i] = static_cast<char>(u & 0xff);
    }
};

int64_t int8_at(const Result &r, int row, int col) {
    const auto *p = reinterpret_cast<const unsigned char *>(PQgetvalue(r.r, row, col));
    if (PQgetlength(r.r, row, col) != 8) return 0;
    uint64_t u = 0;
    for (int i = 0; i < 8; ++i) u = (u << 8) | p[i];
    return static_cast<int64_t>(u);
}

void copy_bytes(const Result &r, int col, std::string *out) {
    out->assign(PQgetvalue(r.r, 0, col), static_cast<size_t>(PQgetlength(r.r, 0, col)));
}

void copy_record(const Result &r, int col, RecordOut *out) {
    // A record stored before the record size shrank is cut to what the buffer holds.
    int n = std::min(PQgetlength(r.r, 0, col), out->capacity);
    if (n > 0) std::memcpy(out->buffer, PQgetvalue(r.r, 0, col), static_cast<size_t>(n));
    out->length = std::max(n, 0);
}

void define(Database &d, Statement *s, const std::string &sql, std::vector<Oid> types) {
    s->name = "dfa" + std::to_string(++g_conn.statements);
    s->sql = sql;
    s->types = std::move(types);
    s->prepared_in = 0;
}

std::string schema_of(const std::string &database) {
    size_t dot = database.rfind('.');
    std::string name = dot == std::string::npos || dot == 0 ? database : database.substr(0, dot);
    std::string out;
    for (char c : name) {
        if (c >= 'A' && c <= 'Z') out += static_cast<char>(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') out += c;
        else out += '_';
    }
    // pg_ names belong to the server.
    if (out.empty() || (out[0] >= '0' && out[0] <= '9') || out.rfind("pg_", 0) == 0) out = "d_" + out;
    return out.substr(0, 63);
}

// ---- opening

Database *open_database(const std::string &url, const std::string &name, std::string *why) {
    for (auto &d : g_databases)
        if (d->name == name) return d.get();
    if (g_conn.conn == nullptr) {
        PGconn *conn = PQconnectdb(url.c_str());
        if (PQstatus(conn) != CONNECTION_OK) {
            std::string text = PQerrorMessage(conn);
            while (!text.empty() && text.back() == '\n') text.pop_back();
            *why = "cannot connect to the database server: " + text;
            PQfinish(conn);
            return nullptr;
        }
        PQsetNoticeProcessor(conn, ignore_notice, nullptr);
        std::string text;
        if (!set_up(conn, &text)) {
            *why = "cannot set up the connection: " + text;
            PQfinish(conn);
            return nullptr;
        }
        g_conn = Connection{};
        g_conn.conn = conn;
    }
    auto d = std::make_unique<Database>();
    d->name = name;
    d->schema_name = schema_of(name);
    d->schema = quote(d->schema_name);
    g_databases.push_back(std::move(d));
    return g_databases.back().get();
}

// What dfa_files says of the table: 1 the same definition, 0 absent, 2 another definition,
// 3 only the record size differs, -1 not readable (no schema or dfa_files yet, or an error).
int stored_definition(Database &d, const std::string &table, int record_size,
                      const std::string &definition) {
    std::string sql = "SELECT record_size, keys FROM " + d.schema + ".dfa_files WHERE name = $1";
    const char *values[] = {table.c_str()};
    settle();
    Result r(PQexecParams(g_conn.conn, sql.c_str(), 1, nullptr, values, nullptr, nullptr, 0));
    if (!r.ok()) return -1;
    if (r.rows() == 0) return 0;
    bool same_keys = definition == PQgetvalue(r.r, 0, 1);
    bool same_size = std::atoi(PQgetvalue(r.r, 0, 0)) == record_size;
    return !same_keys ? 2 : same_size ? 1 : 3;
}

bool table_exists(Database &d, const std::string &table, std::vector<std::string> *columns) {
    columns->clear();
    const char *values[] = {d.schema_name.c_str(), table.c_str()};
    Result r(PQexecParams(g_conn.conn,
                          "SELECT column_name FROM information_schema.columns "
                          "WHERE table_schema = $1 AND table_name = $2",
                          2, nullptr, values, nullptr, nullptr, 0));
    for (int i = 0; i < r.rows(); ++i) columns->emplace_back(PQgetvalue(r.r, i, 0));
    return !columns->empty();
}

std::string index_name(const std::string &table, int k, bool unique) {
    return quote(table + "__k" + std::to_string(k) + (unique ? "u" : ""));
}

bool create_indexes(Database &d, const std::string &table, const std::vector<Key> &keys,
                    std::string *why) {
    const std::string t = d.schema + "." + quote(table);
    for (size_t k = 0; k < keys.size(); ++k) {
        int kk = static_cast<int>(k);
        std::string sql = "CREATE INDEX " + index_name(table, kk, false) + " ON " + t + " (" +
                          column(kk) + ", pos)";
        Result r(PQexec(g_conn.conn, sql.c_str()));
        if (r.ok() && keys[k].unique)
            r = Result(PQexec(g_conn.conn, ("CREATE UNIQUE INDEX " + index_name(table, kk, true) + " ON " +
                                       t + " (" + column(kk) + ")")
                                          .c_str()));
        if (!r.ok()) {
            *why = r.state() == kDuplicate
                       ? "key " + std::to_string(k) + " is unique but stored records share a value of it"
                       : "cannot index key " + std::to_string(k) + ": " + error_text(d, r);
            return false;
        }
    }
    return true;
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
    const std::string t = d.schema + "." + quote(table);
    for (int k = 0; k < HOST_KEY_MAX_FILE_KEYS; ++k)
        for (bool unique : {false, true})
            if (!command(d, "DROP INDEX IF EXISTS " + d.schema + "." + index_name(table, k, unique),
                         "dropping an old index"))
                return false;
    for (size_t k = 0; k < keys.size(); ++k)
        if (!has(column(static_cast<int>(k))) &&
            !command(d, "ALTER TABLE " + t + " ADD COLUMN " + column(static_cast<int>(k)) + " bytea",
                     "adding a key"))
            return false;
    std::string clear;
    for (int k = static_cast<int>(keys.size()); k < HOST_KEY_MAX_FILE_KEYS; ++k)
        if (has(column(k))) clear += (clear.empty() ? "" : ", ") + column(k) + " = NULL";
    if (!clear.empty() && !command(d, "UPDATE " + t + " SET " + clear, "clearing old keys"))
        return false;

    Result all(PQexecParams(g_conn.conn, ("SELECT pos, rec FROM " + t).c_str(), 0, nullptr, nullptr,
                            nullptr, nullptr, 1));
    if (!all.ok()) {
        *why = "cannot read the records: " + error_text(d, all);
        return false;
    }
    std::string assign;
    std::vector<Oid> types;
    for (size_t k = 0; k < keys.size(); ++k) {
        assign += (k ? ", " : "") + column(static_cast<int>(k)) + " = $" + std::to_string(k + 2);
        types.push_back(kBytea);
    }
    Statement rekey;
    define(d, &rekey, "UPDATE " + t + " SET " + assign + " WHERE pos = $1", {});
    rekey.types.push_back(kInt8);
    rekey.types.insert(rekey.types.end(), types.begin(), types.end());
    std::vector<std::string> encoded(keys.size());
    std::vector<const char *> values(keys.size() + 1);
    std::vector<int> lengths(keys.size() + 1);
    for (int row = 0; row < all.rows(); ++row) {
        Int8 pos(int8_at(all, row, 0));
        static const unsigned char nothing = 0;
        const auto *rec = reinterpret_cast<const unsigned char *>(PQgetvalue(all.r, row, 1));
        int length = PQgetlength(all.r, row, 1);
        values[0] = pos.bytes;
        lengths[0] = 8;
        for (size_t k = 0; k < keys.size(); ++k) {
            encode_record_key(keys[k], length > 0 ? rec : &nothing, length, &encoded[k]);
            values[k + 1] = encoded[k].data();
            lengths[k + 1] = static_cast<int>(encoded[k].size());
        }
        Result r = run(d, rekey, static_cast<int>(values.size()), values.data(), lengths.data(), false);
        if (!r.ok()) {
            *why = "cannot rebuild the keys: " + error_text(d, r);
            return false;
        }
    }
    command(d, "DEALLOCATE " + rekey.name, "letting go of a statement");
    if (!create_indexes(d, table, keys, why)) return false;
    std::fprintf(stderr, "datafile: postgresql %s: table %s: key definitions changed; keys rebuilt "
                         "from %d stored records\n",
                 d.schema_name.c_str(), table.c_str(), all.rows());
    return true;
}

// Makes the stored table agree with the definition the caller opens it with.
bool settle_table(Database &d, const std::string &table, int record_size,
                  const std::vector<Key> &keys, const std::string &definition, std::string *why) {
    leave_read();
    if (in_transaction()) {
        *why = "a table cannot be opened inside an open transaction";
        return false;
    }
    // The usual case, a file opened as it was created, changes nothing and locks nothing.
    if (stored_definition(d, table, record_size, definition) == 1) return true;

    struct Scope {
        Database &d;
        bool open = false;
        ~Scope() {
            if (open) command(d, "ROLLBACK", "undoing a change to the tables");
        }
    } scope{d};
    if (!command(d, "BEGIN", "changing the tables")) {
        *why = "cannot start a transaction";
        return false;
    }
    scope.open = true;
    // Hosts starting together create the tables one after the other.
    const char *values[] = {d.schema_name.c_str()};
    Result lock(PQexecParams(g_conn.conn, "SELECT pg_advisory_xact_lock(hashtext($1))", 1, nullptr,
                             values, nullptr, nullptr, 0));
    if (!lock.ok() ||
        !command(d, "CREATE SCHEMA IF NOT EXISTS " + d.schema, "creating the schema") ||
        !command(d,
                 "CREATE TABLE IF NOT EXISTS " + d.schema +
                     ".dfa_files(name text PRIMARY KEY, record_size integer NOT NULL, "
                     "keys text NOT NULL)",
                 "creating dfa_files")) {
        *why = "cannot create the schema " + d.schema_name + " and its table of files";
        return false;
    }
    int stored = stored_definition(d, table, record_size, definition); // again, under the lock
    if (stored < 0) {
        *why = "cannot read the table of files";
        return false;
    }
    if (stored == 1) {
        scope.open = false;
        return command(d, "COMMIT", "committing");
    }
    std::vector<std::string> columns;
    if (stored == 3) {
        // Only the record size moved: the keys stand as they are.
    } else if (!table_exists(d, table, &columns)) {
        std::string sql = "CREATE TABLE " + d.schema + "." + quote(table) +
                          "(pos bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, rec bytea NOT NULL";
        for (size_t k = 0; k < keys.size(); ++k) sql += ", " + column(static_cast<int>(k)) + " bytea";
        sql += ")";
        if (!command(d, sql, "creating table " + table)) {
            *why = "cannot create the table";
            return false;
        }
        if (!create_indexes(d, table, keys, why)) return false;
    } else if (!rebuild_keys(d, table, keys, columns, why)) {
        return false;
    }
    std::string size = std::to_string(record_size);
    const char *record[] = {table.c_str(), size.c_str(), definition.c_str()};
    Result r(PQexecParams(g_conn.conn,
                          ("INSERT INTO " + d.schema +
                           ".dfa_files(name, record_size, keys) VALUES($1, $2, $3) ON CONFLICT (name) "
                           "DO UPDATE SET record_size = excluded.record_size, keys = excluded.keys")
                              .c_str(),
                          3, nullptr, record, nullptr, nullptr, 0));
    if (!r.ok()) {
        *why = "cannot record the table's definition: " + error_text(d, r);
        return false;
    }
    scope.open = false;
    if (!command(d, "COMMIT", "committing a change to the tables")) {
        *why = "cannot commit the table's creation";
        return false;
    }
    return true;
}

// The look-up statements: "SELECT pos, k[, rec] FROM t " and one of these, %k the key column.
const char *kind_sql(Kind kind) {
    switch (kind) {
    case equal: return "WHERE %k = $1 ORDER BY %k, pos LIMIT 1";
    case greater: return "WHERE %k > $1 ORDER BY %k, pos LIMIT 1";
    case greater_equal: return "WHERE %k >= $1 ORDER BY %k, pos LIMIT 1";
    case less: return "WHERE %k < $1 ORDER BY %k DESC, pos DESC LIMIT 1";
    // A row comparison is one seek in the (key, pos) index, however long the run of duplicates.
    case next: return "WHERE (%k, pos) > ($1, $2) ORDER BY %k, pos LIMIT 1";
    case previous: return "WHERE (%k, pos) < ($1, $2) ORDER BY %k DESC, pos DESC LIMIT 1";
    default: return "";
    }
}

Statement &seek_statement(Table &t, int keynum, Kind kind, bool with_record) {
    auto &slot = t.seeks[static_cast<size_t>(keynum)][kind][with_record ? 1 : 0];
    if (slot) return *slot;
    const std::string k = column(keynum);
    std::string sql = "SELECT pos, " + k + (with_record ? ", rec" : "") + " FROM " + t.qualified + " ";
    for (const char *p = kind_sql(kind); *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 'k') {
            sql += k;
            ++p;
        } else {
            sql += *p;
        }
    }
    slot = std::make_unique<Statement>();
    std::vector<Oid> types = {kBytea};
    if (kind == next || kind == previous) types.push_back(kInt8);
    define(*t.database, slot.get(), sql, types);
    slot->look_up = true;
    return *slot;
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

// The values of a write: the record, then its encoded keys, then (for an update) the position.
struct WriteValues {
    std::vector<const char *> values;
    std::vector<int> lengths;
};

void record_values(Table &t, const void *record, int length, WriteValues *w) {
    const auto *bytes = static_cast<const unsigned char *>(record);
    w->values.assign(1, static_cast<const char *>(record));
    w->lengths.assign(1, length);
    for (size_t k = 0; k < t.keys.size(); ++k) {
        encode_record_key(t.keys[k], bytes, length, &t.write_keys[k]);
        w->values.push_back(t.write_keys[k].data());
        w->lengths.push_back(static_cast<int>(t.write_keys[k].size()));
    }
}

// (a, pa) against (b, pb): keys bytewise, as bytea compares, a prefix first; then positions.
int compare(const std::string &a, int64_t pa, const std::string &b, int64_t pb) {
    int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    if (c == 0 && a.size() != b.size()) c = a.size() < b.size() ? -1 : 1;
    if (c == 0 && pa != pb) c = pa < pb ? -1 : 1;
    return c;
}

Statement &window_statement(Table &t, int keynum, int size) {
    auto &slot = t.window_seeks[static_cast<size_t>(keynum)][static_cast<size_t>(size)];
    if (slot) return *slot;
    const std::string k = column(keynum);
    slot = std::make_unique<Statement>();
    define(*t.database, slot.get(),
           "SELECT pos, " + k + ", rec FROM " + t.qualified + " WHERE (" + k + ", pos) > ($1, $2) ORDER BY " +
               k + ", pos LIMIT " + std::to_string(kWindowSizes[size]),
           {kBytea, kInt8});
    slot->look_up = true;
    return *slot;
}

// A forward look-up in a snapshot: the first row after (key, position), from the rows fetched
// when they reach that far, else from a new fetch. equal_to, when given, is the key the row
// must have.
Status window_seek(Table &t, int keynum, const std::string &key, int64_t position,
                   const std::string *equal_to, Found *found, RecordOut *record) {
    Window &w = t.windows[static_cast<size_t>(keynum)];
    const Window::Row *row = nullptr;
    bool known = false;
    if (w.valid && compare(key, position, w.key, w.position) >= 0) {
        for (const auto &r : w.rows)
            if (compare(r.key, r.position, key, position) > 0) {
                row = &r;
                break;
            }
        known = row != nullptr || w.complete;
    }
    if (!known) {
        int size = std::min(w.fetches++, 2);
        Int8 pos(position);
        const char *values[] = {key.data(), pos.bytes};
        int lengths[] = {static_cast<int>(key.size()), 8};
        Result r = run(*t.database, window_statement(t, keynum, size), 2, values, lengths, true);
        if (!r.ok()) {
            report(*t.database, "table " + t.name + ": looking up a key", r);
            w.valid = false;
            return Status::failed;
        }
        w.valid = true;
        w.key = key;
        w.position = position;
        w.complete = r.rows() < kWindowSizes[size];
        w.rows.resize(static_cast<size_t>(r.rows()));
        for (int i = 0; i < r.rows(); ++i) {
            auto &out = w.rows[static_cast<size_t>(i)];
            out.position = int8_at(r, i, 0);
            out.key.assign(PQgetvalue(r.r, i, 1), static_cast<size_t>(PQgetlength(r.r, i, 1)));
            out.record.assign(PQgetvalue(r.r, i, 2), static_cast<size_t>(PQgetlength(r.r, i, 2)));
        }
        row = w.rows.empty() ? nullptr : &w.rows.front();
    }
    if (row == nullptr || (equal_to != nullptr && row->key != *equal_to)) return Status::not_found;
    if (found != nullptr) {
        found->position = row->position;
        found->key = row->key;
    }
    if (record != nullptr) {
        int n = std::min(static_cast<int>(row->record.size()), record->capacity);
        if (n > 0) std::memcpy(record->buffer, row->record.data(), static_cast<size_t>(n));
        record->length = std::max(n, 0);
    }
    return Status::ok;
}

// A read by position in a snapshot from the rows fetched, when they hold it (on keynum, when
// its key is wanted). false when they do not.
bool window_read(Table &t, int64_t position, int keynum, Found *found, RecordOut *record) {
    for (size_t k = 0; k < t.windows.size(); ++k) {
        const Window &w = t.windows[k];
        if (!w.valid || (found != nullptr && static_cast<int>(k) != keynum)) continue;
        for (const auto &r : w.rows) {
            if (r.position != position) continue;
            if (found != nullptr) {
                found->position = position;
                found->key = r.key;
            }
            if (record != nullptr) {
                int n = std::min(static_cast<int>(r.record.size()), record->capacity);
                if (n > 0) std::memcpy(record->buffer, r.record.data(), static_cast<size_t>(n));
                record->length = std::max(n, 0);
            }
            return true;
        }
    }
    return false;
}

}  // namespace

// ---- the interface of store.h

bool create_database(const std::string &url, std::string *why) {
    PGconn *probe = PQconnectdb(url.c_str());
    bool there = PQstatus(probe) == CONNECTION_OK;
    PQfinish(probe);
    if (there) return true;

    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(url.c_str(), &error);
    if (options == nullptr) {
        *why = std::string("not a database address: ") + (error ? error : "");
        PQfreemem(error);
        return false;
    }
    std::string name;
    for (PQconninfoOption *o = options; o->keyword != nullptr; ++o)
        if (std::strcmp(o->keyword, "dbname") == 0 && o->val != nullptr) name = o->val;
    PQconninfoFree(options);
    if (name.empty()) {
        *why = "the address names no database";
        return false;
    }
    // The same server and user, the server's own database.
    const char *keywords[] = {"dbname", "dbname", nullptr};
    const char *values[] = {url.c_str(), "postgres", nullptr};
    PGconn *conn = PQconnectdbParams(keywords, values, 1);
    if (PQstatus(conn) != CONNECTION_OK) {
        *why = std::string("cannot connect to the server to create database ") + name + ": " +
               PQerrorMessage(conn);
        PQfinish(conn);
        return false;
    }
    std::string quoted;
    for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    PGresult *r = PQexec(conn, ("CREATE DATABASE \"" + quoted + "\"").c_str());
    const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
    bool ok = PQresultStatus(r) == PGRES_COMMAND_OK ||
              (state != nullptr && std::strcmp(state, "42P04") == 0); // created meanwhile
    if (!ok) *why = "cannot create database " + name + ": " + PQresultErrorMessage(r);
    PQclear(r);
    PQfinish(conn);
    while (!why->empty() && why->back() == '\n') why->pop_back();
    return ok;
}

Table *store_open(const std::string &url, const std::string &database, const std::string &table,
                  int record_size, const std::vector<Key> &keys, std::string *why) {
    std::string name = table;
    for (char &c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    Database *d = open_database(url, database, why);
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
    t->database = d;
    t->name = name;
    t->qualified = d->schema + "." + quote(name);
    t->record_size = record_size;
    t->keys = keys;
    t->definition = definition;
    t->seeks.resize(keys.size());
    t->write_keys.resize(keys.size());
    t->windows.resize(keys.size());
    t->window_seeks.resize(keys.size());

    std::string list, values, assign;
    std::vector<Oid> key_types;
    for (size_t k = 0; k < keys.size(); ++k) {
        list += ", " + column(static_cast<int>(k));
        values += ", $" + std::to_string(k + 2);
        assign += ", " + column(static_cast<int>(k)) + " = $" + std::to_string(k + 2);
        key_types.push_back(kBytea);
    }
    std::vector<Oid> record_and_keys = {kBytea};
    record_and_keys.insert(record_and_keys.end(), key_types.begin(), key_types.end());
    std::vector<Oid> update_types = record_and_keys;
    update_types.push_back(kInt8);
    define(*d, &t->read_at, "SELECT rec" + list + " FROM " + t->qualified + " WHERE pos = $1", {kInt8});
    t->read_at.look_up = true;
    define(*d, &t->length_at, "SELECT length(rec) FROM " + t->qualified + " WHERE pos = $1", {kInt8});
    // A duplicate on a unique key inserts nothing and returns no row, without an error that would
    // end an explicit transaction.
    define(*d, &t->insert,
           "INSERT INTO " + t->qualified + "(rec" + list + ") VALUES($1" + values +
               ") ON CONFLICT DO NOTHING RETURNING pos",
           record_and_keys);
    define(*d, &t->update,
           "UPDATE " + t->qualified + " SET rec = $1" + assign + " WHERE pos = $" +
               std::to_string(keys.size() + 2),
           update_types);
    update_types.push_back(kBytea);
    // Under READ COMMITTED an update that waited for another's row lock checks the condition
    // again on the row as the other left it.
    define(*d, &t->update_if,
           "UPDATE " + t->qualified + " SET rec = $1" + assign + " WHERE pos = $" +
               std::to_string(keys.size() + 2) + " AND rec = $" + std::to_string(keys.size() + 3),
           update_types);
    define(*d, &t->erase, "DELETE FROM " + t->qualified + " WHERE pos = $1", {kInt8});
    g_tables.push_back(std::move(t));
    return g_tables.back().get();
}

void store_close_all() {
    g_snapshot = false;
    g_tables.clear();
    g_answers = Answers{};
    // An explicit transaction still open is rolled back by the server when its connection ends.
    if (g_conn.conn != nullptr) PQfinish(g_conn.conn);
    g_conn = Connection{};
    g_databases.clear();
}

Status table_seek(Table &t, int keynum, Seek op, const std::string &key, int64_t position,
                  Found *found, RecordOut *record) {
    Kind kind = kind_of(op);
    enter_read();
    if (g_snapshot && kind != less && kind != previous) {
        // Every forward look-up is "the first row after (key, position)": equal and greater or
        // equal start before the key's first position, greater after its last.
        switch (kind) {
        case equal: return window_seek(t, keynum, key, INT64_MIN, &key, found, record);
        case greater_equal: return window_seek(t, keynum, key, INT64_MIN, nullptr, found, record);
        case greater: return window_seek(t, keynum, key, INT64_MAX, nullptr, found, record);
        default: return window_seek(t, keynum, key, position, nullptr, found, record);
        }
    }
    Statement &s = seek_statement(t, keynum, kind, record != nullptr);
    Int8 pos(position);
    const char *values[] = {key.data(), pos.bytes};
    int lengths[] = {static_cast<int>(key.size()), 8};
    int count = kind == next || kind == previous ? 2 : 1;
    Result r = run(*t.database, s, count, values, lengths, true);
    if (!r.ok()) {
        report(*t.database, "table " + t.name + ": looking up a key", r);
        return Status::failed;
    }
    if (r.rows() == 0) return Status::not_found;
    if (found != nullptr) {
        found->position = int8_at(r, 0, 0);
        copy_bytes(r, 1, &found->key);
    }
    if (record != nullptr) copy_record(r, 2, record);
    return Status::ok;
}

Status table_read(Table &t, int64_t position, int keynum, Found *found, RecordOut *record) {
    enter_read();
    if (g_snapshot && window_read(t, position, keynum, found, record)) return Status::ok;
    Int8 pos(position);
    const char *values[] = {pos.bytes};
    int lengths[] = {8};
    Result r = run(*t.database, t.read_at, 1, values, lengths, true);
    if (!r.ok()) {
        report(*t.database, "table " + t.name + ": reading by position", r);
        return Status::failed;
    }
    if (r.rows() == 0) return Status::not_found;
    if (found != nullptr) {
        found->position = position;
        copy_bytes(r, 1 + keynum, &found->key);
    }
    if (record != nullptr) copy_record(r, 0, record);
    return Status::ok;
}

Status table_insert(Table &t, const void *record, int length, int64_t *position) {
    leave_read_to_write();
    WriteValues w;
    record_values(t, record, length, &w);
    Result r = run(*t.database, t.insert, static_cast<int>(w.values.size()), w.values.data(),
                   w.lengths.data(), false);
    if (!r.ok()) {
        report(*t.database, "table " + t.name + ": inserting a record", r);
        return Status::failed;
    }
    if (r.rows() == 0) return Status::duplicate;
    *position = int8_at(r, 0, 0);
    return Status::ok;
}

Status table_update(Table &t, int64_t position, const void *record, int *length) {
    Database &d = *t.database;
    leave_read_to_write();
    Int8 pos(position);
    {
        const char *values[] = {pos.bytes};
        int lengths[] = {8};
        Result r = run(d, t.length_at, 1, values, lengths, true);
        if (!r.ok()) {
            report(d, "table " + t.name + ": reading a record's length", r);
            return Status::failed;
        }
        if (r.rows() == 0) return Status::not_found;
        // length(bytea) is an integer: four bytes in network order.
        const auto *p = reinterpret_cast<const unsigned char *>(PQgetvalue(r.r, 0, 0));
        int stored = PQgetlength(r.r, 0, 0) == 4
                         ? static_cast<int>((uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                                            (uint32_t{p[2]} << 8) | p[3])
                         : 0;
        *length = std::min(stored, t.record_size);
    }
    WriteValues w;
    record_values(t, record, *length, &w);
    w.values.push_back(pos.bytes);
    w.lengths.push_back(8);
    // Inside an explicit transaction a refused update must not end the transaction with it.
    const bool guarded = in_transaction();
    if (guarded && !command(d, "SAVEPOINT dfa_write", "guarding an update")) return Status::failed;
    Result r = run(d, t.update, static_cast<int>(w.values.size()), w.values.data(), w.lengths.data(),
                   false);
    if (guarded)
        command(d, r.ok() ? "RELEASE SAVEPOINT dfa_write" : "ROLLBACK TO SAVEPOINT dfa_write",
                "ending the guard of an update");
    if (!r.ok()) {
        if (r.state() == kDuplicate) return Status::duplicate;
        report(d, "table " + t.name + ": updating a record", r);
        return Status::failed;
    }
    return std::strcmp(PQcmdTuples(r.r), "0") == 0 ? Status::not_found : Status::ok;
}

Status table_update_if(Table &t, int64_t position, const void *expected, int expected_length,
                       const void *record, int *length) {
    Database &d = *t.database;
    leave_read_to_write();
    *length = std::min(expected_length, t.record_size);
    Int8 pos(position);
    WriteValues w;
    record_values(t, record, *length, &w);
    w.values.push_back(pos.bytes);
    w.lengths.push_back(8);
    w.values.push_back(static_cast<const char *>(expected));
    w.lengths.push_back(expected_length);
    const bool guarded = in_transaction();
    if (guarded && !command(d, "SAVEPOINT dfa_write", "guarding an update")) return Status::failed;
    Result r = run(d, t.update_if, static_cast<int>(w.values.size()), w.values.data(),
                   w.lengths.data(), false);
    if (guarded)
        command(d, r.ok() ? "RELEASE SAVEPOINT dfa_write" : "ROLLBACK TO SAVEPOINT dfa_write",
                "ending the guard of an update");
    if (!r.ok()) {
        if (r.state() == kDuplicate) return Status::duplicate;
        report(d, "table " + t.name + ": updating a record on condition", r);
        return Status::failed;
    }
    return std::strcmp(PQcmdTuples(r.r), "0") == 0 ? Status::changed : Status::ok;
}

Status table_delete(Table &t, int64_t position) {
    leave_read_to_write();
    Int8 pos(position);
    const char *values[] = {pos.bytes};
    int lengths[] = {8};
    Result r = run(*t.database, t.erase, 1, values, lengths, false);
    if (!r.ok()) {
        report(*t.database, "table " + t.name + ": deleting a record", r);
        return Status::failed;
    }
    return std::strcmp(PQcmdTuples(r.r), "0") == 0 ? Status::not_found : Status::ok;
}

bool table_begin(Table &t) {
    leave_read_to_write();
    if (in_transaction()) {
        std::fprintf(stderr, "datafile: postgresql %s: a transaction is already open\n",
                     t.database->schema_name.c_str());
        return false;
    }
    return command(*t.database, "BEGIN", "starting a transaction");
}

bool table_commit(Table &t) {
    Database &d = *t.database;
    if (!in_transaction()) return false;
    Result r(PQexec(g_conn.conn, "COMMIT"));
    // COMMIT of a transaction that failed rolls it back and says so.
    if (r.ok() && std::strcmp(PQcmdStatus(r.r), "COMMIT") == 0) return true;
    if (!r.ok()) report(d, "committing", r);
    if (in_transaction()) command(d, "ROLLBACK", "rolling back a failed commit");
    return false;
}

void table_rollback(Table &t) {
    if (in_transaction())
        command(*t.database, "ROLLBACK", "rolling back");
}

void store_snapshot_begin() { g_snapshot = true; }

// The read transaction stays open after the snapshot ends: its COMMIT goes out in front of the
// next snapshot's BEGIN, in one message, so that a call wakes the server once.
void store_snapshot_end() {
    g_snapshot = false;
    leave_read();
    for (auto &t : g_tables)
        for (auto &w : t->windows) {
            w.rows.clear();
            w.fetches = 0;
        }
}

// A read transaction left open holds its tables' locks, which keep a change of the tables
// (mallctl on a table whose keys changed, VACUUM's cleanup) waiting: once the host has been
// idle a while, it is committed, without waiting for the answer.
bool store_release_idle(std::chrono::milliseconds idle) {
    if (g_snapshot || !g_conn.commit_due) return false;
    if (std::chrono::steady_clock::now() - g_conn.idle_since < idle) return true;
    g_conn.commit_due = false;
    if (PQsendQuery(g_conn.conn, "COMMIT") == 1) g_conn.pending = true;
    return false;
}

std::string table_explain(Table &t, int keynum, Seek op) {
    std::string plan;
    Kind kind = kind_of(op);
    for (bool with_record : {false, true}) {
        Statement &s = seek_statement(t, keynum, kind, with_record);
        std::string sql = "EXPLAIN (COSTS OFF) " + s.sql;
        std::vector<const char *> values = {"\\x00", "0"};
        settle();
        Result r(PQexecParams(g_conn.conn, sql.c_str(), static_cast<int>(s.types.size()),
                              s.types.data(), values.data(), nullptr, nullptr, 0));
        if (!r.ok()) return "";
        for (int i = 0; i < r.rows(); ++i) {
            plan += PQgetvalue(r.r, i, 0);
            plan += '\n';
        }
    }
    return plan;
}

}  // namespace host::datafile::postgres
