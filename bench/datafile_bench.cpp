// How fast the data files answer a get-equal on a random key and a step to the next record, on
// a file of a thousand records and on one of a million, and a page's worth of look-ups asked
// again and asked afresh. The files are built once into a cache
// directory under /tmp and reused by later runs.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "host/datafile.h"
#include "shell/host.h"

namespace {

const char *const kCacheDir = "/tmp/shopvera-datafile-bench";

// About the size of a product record, with a text key at its head.
struct Record {
    char key[16];
    char body[184];
};
static_assert(sizeof(Record) == 200);

void make_key(long index, char *key) {
    char text[32];
    int n = std::snprintf(text, sizeof text, "P%09ld", index);
    std::memset(key, 0, 16);
    std::memcpy(key, text, static_cast<size_t>(n < 15 ? n : 15));
}

HostFile open_file(long count) {
    HostKeyDef key{};
    key.unique = 1;
    key.segment_count = 1;
    key.segments[0] = {0, 16, HOST_KEY_TEXT};
    std::string database = "bench" + std::to_string(count) + ".db";
    return _dfaOpen(database.c_str(), "records", sizeof(Record), 1, &key);
}

bool complete(long count) {
    char key[16];
    Record r{};
    make_key(count - 1, key);
    bool last = _dfaAcqLock(&r, key, 0, HOST_GET_EQUAL, 0) != 0;
    make_key(count, key);
    return last && _dfaQuery(key, 0, HOST_QUERY_EQUAL) == 0;
}

// The file of count records, built in one transaction when the cache lacks it. Records go in
// out of key order, as a catalogue grows, so that key order and position order differ.
HostFile file_of(long count) {
    static std::vector<std::pair<long, HostFile>> open;
    for (auto &[n, f] : open)
        if (n == count) return f;
    host::datafile_set_directory(kCacheDir);
    HostFile f = open_file(count);
    if (f < 0) return f;
    _dfaSetBlk(f);
    if (!complete(count)) {
        host::datafile_close_all();
        open.clear();
        std::string base = std::string(kCacheDir) + "/bench" + std::to_string(count) + ".db";
        for (const char *suffix : {"", "-wal", "-shm"}) std::filesystem::remove(base + suffix);
        f = open_file(count);
        _dfaSetBlk(f);
        std::fprintf(stderr, "building %ld records in %s...\n", count, kCacheDir);
        host::datafile_begin(f);
        const long step = 999983; // a prime: index * step mod count visits every index once
        Record r{};
        std::memset(r.body, 'x', sizeof r.body);
        for (long i = 0; i < count; ++i) {
            make_key(i * step % count, r.key);
            if (!_dfaInsert(&r)) {
                host::datafile_rollback(f);
                return -1;
            }
        }
        if (!host::datafile_commit(f)) return -1;
    }
    host::datafile_reset_selection();
    open.emplace_back(count, f);
    return f;
}

void BM_GetEqualRandomKey(benchmark::State &state) {
    long count = state.range(0);
    HostFile f = file_of(count);
    if (f < 0) {
        state.SkipWithError("cannot build the file");
        return;
    }
    std::mt19937_64 random(42);
    std::vector<std::array<char, 16>> keys(1 << 16);
    for (auto &k : keys) make_key(static_cast<long>(random() % static_cast<unsigned long>(count)), k.data());
    _dfaSetBlk(f);
    Record r{};
    size_t i = 0;
    for (auto _ : state) {
        if (!_dfaAcqLock(&r, keys[i++ & (keys.size() - 1)].data(), 0, HOST_GET_EQUAL, 0)) {
            state.SkipWithError("a key was not found");
            break;
        }
        benchmark::DoNotOptimize(r);
    }
    _dfaRstBlk();
}

// Reads the next record along the key; at the end of the file it starts again at the top.
void BM_NextRecord(benchmark::State &state) {
    HostFile f = file_of(state.range(0));
    if (f < 0) {
        state.SkipWithError("cannot build the file");
        return;
    }
    _dfaSetBlk(f);
    char first[16] = {};
    Record r{};
    _dfaAcqLock(&r, first, 0, HOST_GET_GREATER_EQUAL, 0);
    for (auto _ : state) {
        if (!_dfaAcqLock(&r, nullptr, 0, HOST_QUERY_NEXT, 0))
            _dfaAcqLock(&r, first, 0, HOST_GET_GREATER_EQUAL, 0);
        benchmark::DoNotOptimize(r);
    }
    _dfaRstBlk();
}

// The product list's walk: a key-only step, then the record read by its position.
void BM_NextKeyThenReadByPosition(benchmark::State &state) {
    HostFile f = file_of(state.range(0));
    if (f < 0) {
        state.SkipWithError("cannot build the file");
        return;
    }
    _dfaSetBlk(f);
    char first[16] = {};
    Record r{};
    _dfaQuery(first, 0, HOST_QUERY_GREATER_EQUAL);
    for (auto _ : state) {
        if (!_dfaQueryNP(HOST_QUERY_NEXT)) _dfaQuery(first, 0, HOST_QUERY_GREATER_EQUAL);
        _dfaGetAbsLock(&r, _dfaAbs(), 0, 0);
        benchmark::DoNotOptimize(r);
    }
    _dfaRstBlk();
}

// A page's look-ups in one call into a module: five get-equals and a walk of ten key-only steps,
// each with the record read by position. range(1) 1: every call asks what the call before it
// asked (the answers are kept from call to call while the file is unchanged); 0: every call asks
// for other records, as pages of other products do.
void BM_PageOfLookUps(benchmark::State &state) {
    long count = state.range(0);
    bool same = state.range(1) != 0;
    HostFile f = file_of(count);
    if (f < 0) {
        state.SkipWithError("cannot build the file");
        return;
    }
    std::mt19937_64 random(7);
    auto some_key = [&](char *key) {
        make_key(static_cast<long>(random() % static_cast<unsigned long>(count - 20)), key);
    };
    std::array<std::array<char, 16>, 6> keys;
    for (auto &k : keys) some_key(k.data());
    _dfaSetBlk(f);
    Record r{};
    for (auto _ : state) {
        if (!same)
            for (auto &k : keys) some_key(k.data());
        host::datafile_snapshot_begin();
        for (int i = 0; i < 5; ++i) _dfaAcqLock(&r, keys[static_cast<size_t>(i)].data(), 0, HOST_GET_EQUAL, 0);
        _dfaQuery(keys[5].data(), 0, HOST_QUERY_GREATER_EQUAL);
        for (int i = 0; i < 10; ++i) {
            _dfaGetAbsLock(&r, _dfaAbs(), 0, 0);
            _dfaQueryNP(HOST_QUERY_NEXT);
        }
        host::datafile_snapshot_end();
        benchmark::DoNotOptimize(r);
    }
    _dfaRstBlk();
}

// The warm-up lets the large file's pages come into memory before anything is timed.
BENCHMARK(BM_GetEqualRandomKey)->Arg(1000)->Arg(1000000)->MinWarmUpTime(1.0);
BENCHMARK(BM_NextRecord)->Arg(1000)->Arg(1000000)->MinWarmUpTime(1.0);
BENCHMARK(BM_NextKeyThenReadByPosition)->Arg(1000)->Arg(1000000)->MinWarmUpTime(1.0);
BENCHMARK(BM_PageOfLookUps)->ArgsProduct({{1000, 1000000}, {0, 1}})->MinWarmUpTime(1.0);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // Closing checkpoints the databases, so the next run starts from clean files.
    host::datafile_close_all();
    return 0;
}
