// How many catalogue pages a real hostd serves per second over loopback ("storelist",
// "prodlist" and the three kinds of "ksearch"), from a mall of a thousand products and from one
// of a million. Each mall is generated as a catalogue file, laid out with mallctl init and
// filled with mallctl import once, into a cache directory under /tmp that later runs reuse.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

namespace fs = std::filesystem;

const char *const kCacheDir = "/tmp/shopvera-pages-bench";
// Written into the cache beside a mall once it is complete; a change to what write_catalogue
// writes changes this, so that an older mall is built again rather than measured.
const char *const kCatalogueVersion = "catalogue 1\n";

// Every page the benchmark asks for is a full page of the shipped templates: page size 10
// (options 12 and 14), and a row is one entry of the list.
constexpr int kPageSize = 10;
const char *const kRow = "<li class=\"entry\">";

// A mall: stores, each with departments, each with products. Product n of a department has the
// keyword KWnnn, n modulo a vocabulary sized so that every keyword has 20 or more products in
// each department, and every other product also a keyword of its own: each search, also one in
// a single department, has at least two full pages of results.
struct Shape {
    int stores;
    int departments;  // per store
    int products;     // per department
    long total() const { return static_cast<long>(stores) * departments * products; }
    int vocabulary() const { return std::max(1, products / 20); }
    std::string name() const {
        return std::to_string(stores) + "x" + std::to_string(departments) + "x" + std::to_string(products);
    }
};

// A thousand products in pages like those of a million: enough stores for two full store
// pages, departments of 25 products, so that a department has more than one page too.
constexpr Shape kThousand{20, 2, 25};
constexpr Shape kMillion{100, 10, 1000};

std::string store_id(int s) {
    char id[16];
    std::snprintf(id, sizeof id, "S%03d", s);
    return id;
}
std::string dept_id(int d) {
    char id[16];
    std::snprintf(id, sizeof id, "D%02d", d);
    return id;
}
std::string product_id(long n) {
    char id[16];
    std::snprintf(id, sizeof id, "P%07ld", n);
    return id;
}
std::string keyword(int k) {
    char id[16];
    std::snprintf(id, sizeof id, "KW%03d", k);
    return id;
}

// The product number of product p of department d of store s.
long product_number(const Shape &shape, int s, int d, int p) {
    return (static_cast<long>(s) * shape.departments + d) * shape.products + p;
}

bool write_catalogue(const Shape &shape, const std::string &path) {
    std::FILE *out = std::fopen(path.c_str(), "w");
    if (out == nullptr) return false;
    std::fprintf(out, "{\"stores\": [\n");
    for (int s = 0; s < shape.stores; ++s) {
        const std::string sid = store_id(s);
        std::fprintf(out,
                     "%s{\"id\": \"%s\", \"name\": \"Store %d\", \"mail_user\": \"SYSOP\", "
                     "\"description\": \"Goods of every kind from store %d\",\n \"departments\": [",
                     s == 0 ? "" : ",\n", sid.c_str(), s, s);
        for (int d = 0; d < shape.departments; ++d)
            std::fprintf(out, "%s{\"id\": \"%s\", \"name\": \"Department %d\", \"description\": \"\"}",
                         d == 0 ? "" : ", ", dept_id(d).c_str(), d);
        std::fprintf(out, "],\n \"products\": [\n");
        for (int d = 0; d < shape.departments; ++d) {
            for (int p = 0; p < shape.products; ++p) {
                long n = product_number(shape, s, d, p);
                std::fprintf(out,
                             "%s  {\"department\": \"%s\", \"id\": \"%s\", \"name\": \"Product %ld\", "
                             "\"description\": \"A sound product, number %ld\", \"price\": %ld.%02ld, "
                             "\"stock\": 5, \"keywords\": [\"%s\"",
                             d == 0 && p == 0 ? "" : ",\n", dept_id(d).c_str(), product_id(n).c_str(), n, n,
                             1 + n % 200, n % 100, keyword(p % shape.vocabulary()).c_str());
                if (n % 2 == 0) std::fprintf(out, ", \"ITEM%07ld\"", n);
                std::fprintf(out, "]}");
            }
        }
        std::fprintf(out, "]}");
    }
    std::fprintf(out, "\n]}\n");
    bool written = std::ferror(out) == 0;
    return std::fclose(out) == 0 && written;
}

// Runs a program to its end with its output shown on standard error (mallctl's progress
// lines), so that a long build does not look like a hang. Its exit status.
int run_shown(const std::vector<std::string> &argv) {
    pid_t pid = fork();
    if (pid == 0) {
        dup2(2, 1);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int raw = 0;
    if (pid < 0 || waitpid(pid, &raw, 0) != pid) return -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// The mall's catalogue in the cache, built when the cache lacks it: generated, imported into a
// root laid out for the purpose, and kept as the root left it. "" when it cannot be built.
std::string cached_catalogue(const Shape &shape) {
    const fs::path dir = fs::path(kCacheDir) / shape.name();
    const fs::path catalogue = dir / "catalogue.db";
    const fs::path done = dir / "complete";
    if (e2e::read_file(done) == kCatalogueVersion && fs::exists(catalogue)) return catalogue;

    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
    const std::string json = dir / "catalogue.json";
    const std::string build = dir / "build";
    std::fprintf(stderr, "building a mall of %ld products in %s...\n", shape.total(), dir.c_str());
    if (!write_catalogue(shape, json)) return "";
    const std::string mallctl = e2e::bin_dir() + "/mallctl";
    if (run_shown({mallctl, "--root", build, "init"}) != 0) return "";
    auto start = std::chrono::steady_clock::now();
    if (run_shown({mallctl, "--root", build, "import", json}) != 0) return "";
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "imported %ld products in %.2f s\n", shape.total(), seconds);
    // mallctl has checkpointed and closed the database: the one file holds all of it.
    fs::rename(fs::path(build) / "data" / "catalogue.db", catalogue, ec);
    if (ec) return "";
    fs::remove_all(build, ec);
    e2e::write_file(done, kCatalogueVersion);
    return catalogue;
}

// A root laid out afresh by mallctl init, so that it has the templates and options of this
// build, with the cached catalogue in it. The pages only read the catalogue, so a link to the
// cached file will do. "" when it cannot be made.
std::string mall_root(const Shape &shape) {
    const std::string catalogue = cached_catalogue(shape);
    if (catalogue.empty()) return "";
    const fs::path root = fs::path(kCacheDir) / shape.name() / "root";
    std::error_code ec;
    fs::remove_all(root, ec);
    if (e2e::mallctl(root, {"init"}).status != 0) return "";
    const fs::path data = root / "data" / "catalogue.db";
    fs::remove(data, ec);
    fs::create_hard_link(catalogue, data, ec);
    if (ec) fs::copy_file(catalogue, data, ec);
    return ec ? "" : root.string();
}

// A hostd serving each mall, started when first needed and stopped at the end of the run.
std::map<long, std::unique_ptr<e2e::Host>> g_hosts;

e2e::Host *host_of(const Shape &shape) {
    auto it = g_hosts.find(shape.total());
    if (it != g_hosts.end()) return it->second.get();
    const std::string root = mall_root(shape);
    if (root.empty()) return nullptr;
    auto host = std::make_unique<e2e::Host>(root);
    if (!host->ready()) {
        std::fprintf(stderr, "hostd did not start: %s\n", host->stderr_text().c_str());
        return nullptr;
    }
    return g_hosts.emplace(shape.total(), std::move(host)).first->second.get();
}

std::string request(const std::string &query) {
    return "GET /webmall?" + query + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
}

int rows(const std::string &page) {
    int n = 0;
    for (size_t at = page.find(kRow); at != std::string::npos; at = page.find(kRow, at + 1)) ++n;
    return n;
}

bool full_page(const std::string &page) {
    return page.rfind("HTTP/1.0 200", 0) == 0 && rows(page) == kPageSize;
}

enum class Page { storelist, prodlist, search_mall, search_store, search_dept };

// How many different requests a benchmark goes round: enough that no store, department or
// keyword is a hot spot of the large mall.
constexpr size_t kRequests = 512;

// Store list pages that begin at every store that still leaves a full page and one more.
std::vector<std::string> store_pages(const Shape &shape) {
    std::vector<std::string> out;
    for (int s = 0; s + kPageSize < shape.stores; ++s)
        out.push_back(request("CMD=storelist&LAST=" + (s == 0 ? std::string() : store_id(s - 1))));
    return out;
}

// Product list pages of random departments, from random products that leave a full page.
std::vector<std::string> product_pages(const Shape &shape, std::mt19937 *random) {
    std::vector<std::string> out;
    for (size_t i = 0; i < kRequests; ++i) {
        int s = static_cast<int>((*random)() % shape.stores);
        int d = static_cast<int>((*random)() % shape.departments);
        int p = static_cast<int>((*random)() % (shape.products - kPageSize));
        std::string last = p == 0 ? std::string() : product_id(product_number(shape, s, d, p));
        out.push_back(request("CMD=prodlist&SID=" + store_id(s) + "&DID=" + dept_id(d) + "&LAST=" + last));
    }
    return out;
}

// The position a results page hands on to the next one; 0 when it has no next page.
long next_position(const std::string &page) {
    size_t more = page.find("CMD=ksearch&amp;");
    size_t at = more == std::string::npos ? more : page.find("POS=", more);
    return at == std::string::npos ? 0 : std::atol(page.c_str() + at + 4);
}

// Search results as shoppers page through them: the first page of a search and the pages its
// links lead to, for random searches of the kind, keeping only full pages.
std::vector<std::string> search_pages(const Shape &shape, Page kind, int port, std::mt19937 *random) {
    std::vector<std::string> starts;
    for (int k = 0; k < shape.vocabulary(); ++k) {
        const std::string kw = "&KEYWORD=" + keyword(k);
        if (kind == Page::search_mall) {
            starts.push_back("CMD=ksearch&STYPE=SM" + kw);
            continue;
        }
        for (int s = 0; s < shape.stores; ++s) {
            if (kind == Page::search_store) {
                starts.push_back("CMD=ksearch&STYPE=SS&SID=" + store_id(s) + kw);
                continue;
            }
            for (int d = 0; d < shape.departments; ++d)
                starts.push_back("CMD=ksearch&STYPE=SD&SID=" + store_id(s) + "&DID=" + dept_id(d) + kw);
        }
    }
    std::shuffle(starts.begin(), starts.end(), *random);
    // Every search gives at least two pages; a mall with few searches gives more of each.
    size_t pages_each = std::max<size_t>(2, (kRequests + starts.size() - 1) / starts.size());
    std::vector<std::string> out;
    for (const std::string &start : starts) {
        long position = 0;
        for (size_t page = 0; page < pages_each && out.size() < kRequests; ++page) {
            std::string r = request(start + "&POS=" + std::to_string(position));
            std::string answer = e2e::http_raw(port, r);
            if (!full_page(answer)) break;
            out.push_back(r);
            position = next_position(answer);
            if (position == 0) break;
        }
        if (out.size() >= kRequests) break;
    }
    std::shuffle(out.begin(), out.end(), *random);
    return out;
}

// The requests of one benchmark, made once: the benchmark library calls a benchmark several
// times over.
const std::vector<std::string> &requests_of(Page kind, const Shape &shape, int port) {
    static std::map<std::pair<Page, long>, std::vector<std::string>> made;
    auto key = std::make_pair(kind, shape.total());
    auto it = made.find(key);
    if (it != made.end()) return it->second;
    std::mt19937 random(static_cast<unsigned>(shape.total()) * 31 + static_cast<unsigned>(kind));
    std::vector<std::string> out;
    switch (kind) {
    case Page::storelist: out = store_pages(shape); break;
    case Page::prodlist: out = product_pages(shape, &random); break;
    default: out = search_pages(shape, kind, port, &random); break;
    }
    return made.emplace(key, std::move(out)).first->second;
}

void BM_Page(benchmark::State &state, Page kind, const Shape *shape) {
    e2e::Host *host = host_of(*shape);
    if (host == nullptr) {
        state.SkipWithError("the mall could not be built or served");
        return;
    }
    const std::vector<std::string> &requests = requests_of(kind, *shape, host->port());
    if (requests.empty()) {
        state.SkipWithError("no full page to ask for");
        return;
    }
    size_t i = 0;
    double bytes = 0;
    const double cpu_before = host->cpu_seconds();
    for (auto _ : state) {
        std::string page = e2e::http_raw(host->port(), requests[i++ % requests.size()]);
        if (!full_page(page)) {
            state.SkipWithError(("not a full page: " + page.substr(0, 200)).c_str());
            break;
        }
        bytes += static_cast<double>(page.size());
    }
    state.counters["pages/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["bytes/page"] = benchmark::Counter(bytes, benchmark::Counter::kAvgIterations);
    // What hostd itself spent on a page, apart from the client and the loopback.
    state.counters["hostd_us/page"] =
        benchmark::Counter((host->cpu_seconds() - cpu_before) * 1e6, benchmark::Counter::kAvgIterations);
    state.counters["requests"] = static_cast<double>(requests.size());
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const std::pair<const char *, Page> pages[] = {
        {"storelist", Page::storelist},       {"prodlist", Page::prodlist},
        {"ksearch_SM", Page::search_mall},   {"ksearch_SS", Page::search_store},
        {"ksearch_SD", Page::search_dept},
    };
    for (const auto &[name, kind] : pages) {
        for (const Shape *shape : {&kThousand, &kMillion}) {
            std::string title = std::string(name) + "/products:" + std::to_string(shape->total());
            // hostd does the work in another process: the time that counts is the wall clock.
            // The warm-up brings the large mall's pages into memory before anything is timed.
            benchmark::RegisterBenchmark(title.c_str(), BM_Page, kind, shape)
                ->UseRealTime()
                ->MinWarmUpTime(1.0)
                ->MinTime(3.0);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (auto &[total, host] : g_hosts) host->stop();
    return 0;
}
