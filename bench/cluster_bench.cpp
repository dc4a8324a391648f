// The data files on PostgreSQL against SQLite, and one host against two. Run it with a server
// of its own:
//
//     tests/postgres/with-cluster.sh build/bin/cluster_bench [SECONDS]
//
// Part one: pages per second of one hostd, one client asking for one page after the other over
// loopback, from a mall of 1,000 products (20 stores x 2 departments x 25 products) laid out
// twice by mallctl, once on SQLite and once on PostgreSQL; the two alternate, three rounds of
// SECONDS (default 3) each, and the median round counts. Part two: whole purchases per second
// (five requests each: order, details, shipping, way to pay, submit) with eight shoppers at
// once, on one host and on two hosts that share the PostgreSQL database, each shopper always
// at the same host as ip_hash would keep them.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStores = 20, kDepartments = 2, kProducts = 25;

std::string id(const char *prefix, long n, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%0*ld", prefix, width, n);
    return text;
}

std::string catalogue() {
    std::ostringstream out;
    out << "{\"stores\": [";
    for (int s = 0; s < kStores; ++s) {
        out << (s ? ",\n" : "") << "{\"id\": \"" << id("S", s, 3) << "\", \"name\": \"Store " << s
            << "\", \"mail_user\": \"SYSOP\", \"extended\": {\"options\": 32}, \"departments\": [";
        for (int d = 0; d < kDepartments; ++d)
            out << (d ? ", " : "") << "{\"id\": \"" << id("D", d, 2) << "\", \"name\": \"Department " << d << "\"}";
        out << "], \"products\": [";
        for (int d = 0; d < kDepartments; ++d)
            for (int p = 0; p < kProducts; ++p) {
                long n = (static_cast<long>(s) * kDepartments + d) * kProducts + p;
                out << (d || p ? ",\n" : "") << "{\"department\": \"" << id("D", d, 2) << "\", \"id\": \""
                    << id("P", n, 7) << "\", \"name\": \"Product " << n
                    << "\", \"description\": \"A sound product\", \"price\": " << 1 + n % 200
                    << ", \"keywords\": [\"" << id("KW", p % 2, 3) << "\", \"" << id("ITEM", n, 7) << "\"]}";
            }
        out << "]}";
    }
    out << "]}\n";
    return out.str();
}

// A root with the catalogue: on SQLite (its data.cfg removed) or in its own database.
bool lay_out(const e2e::TempRoot &root, bool postgres) {
    if (!postgres) std::remove(root.file("data.cfg").c_str());
    e2e::write_file(root.file("catalogue.json"), catalogue());
    auto init = e2e::mallctl(root.path(), {"init"});
    auto import = e2e::mallctl(root.path(), {"import", root.file("catalogue.json")});
    if (init.status != 0 || import.status != 0) {
        std::fprintf(stderr, "cannot lay out %s: %s%s\n", root.path().c_str(), init.err.c_str(), import.err.c_str());
        return false;
    }
    return true;
}

std::vector<std::string> requests(const std::string &page) {
    std::mt19937 random(7);
    std::vector<std::string> out;
    for (int i = 0; i < 256; ++i) {
        int s = static_cast<int>(random() % kStores), d = static_cast<int>(random() % kDepartments);
        int p = static_cast<int>(random() % kProducts);
        long n = (static_cast<long>(s) * kDepartments + d) * kProducts + p;
        std::string where = "&SID=" + id("S", s, 3) + "&DID=" + id("D", d, 2);
        if (page == "storelist") out.push_back("CMD=storelist&LAST=" + (s < 10 ? id("S", s, 3) : ""));
        if (page == "prodlist") out.push_back("CMD=prodlist" + where + "&LAST=" + (p < 15 ? id("P", n, 7) : ""));
        if (page == "prodinfo") out.push_back("CMD=prodinfo" + where + "&PID=" + id("P", n, 7));
        if (page == "ksearch") out.push_back("CMD=ksearch&STYPE=SM&KEYWORD=" + id("KW", p % 2, 3) + "&POS=0");
    }
    return out;
}

// Pages per second for seconds, one request after the other.
double pages_per_second(int port, const std::vector<std::string> &queries, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto start = Clock::now();
    long pages = 0;
    while (Clock::now() < end) {
        auto r = e2e::get(port, "/webmall?" + queries[static_cast<size_t>(pages) % queries.size()]);
        if (r.status != 200 || r.body.find("</html>") == std::string::npos) {
            std::fprintf(stderr, "not a page: %s\n", r.raw.substr(0, 300).c_str());
            return 0;
        }
        ++pages;
    }
    return static_cast<double>(pages) / std::chrono::duration<double>(Clock::now() - start).count();
}

std::string form(const std::vector<std::pair<std::string, std::string>> &fields) {
    std::string out;
    for (const auto &[name, value] : fields) {
        out += (out.empty() ? "" : "&") + name + "=";
        for (unsigned char c : value) {
            static const char hex[] = "0123456789ABCDEF";
            if (std::isalnum(c) || c == '.' || c == '-' || c == '_') out += static_cast<char>(c);
            else out += std::string("%") + hex[c >> 4] + hex[c & 15];
        }
    }
    return out;
}

// One whole purchase of one product by the shopper at from; true when it was confirmed.
bool buy(int port, const std::string &from, long n) {
    int s = static_cast<int>(n % kStores);
    long product = static_cast<long>(s) * kDepartments * kProducts;
    auto added = e2e::get(port, "/webmall?CMD=order&SID=" + id("S", s, 3) + "&DID=D00&PID=" + id("P", product, 7) +
                                    "&OrderQuant=1", from);
    auto shipping = e2e::post(port, "/webmall",
                              form({{"CMD", "submitreg"}, {"DEST", "s2"}, {"BNAME", "Joe Buyer"},
                                    {"BADDR1", "1 Main St"}, {"BCITY", "Springfield"}, {"BSTATE", "IL"},
                                    {"BZIP", "62701"}, {"BPHONE", "555-0100"}}),
                              from);
    const std::string mark = "name=\"SHIPOPT\" value=\"";
    size_t at = shipping.body.find(mark);
    if (added.status != 200 || at == std::string::npos) return false;
    at += mark.size();
    std::string line = shipping.body.substr(at, shipping.body.find('"', at) - at);
    // The page escapes the value as HTML; the browser posts it unescaped.
    for (size_t amp; (amp = line.find("&amp;")) != std::string::npos;) line.replace(amp, 5, "&");
    for (size_t q; (q = line.find("&quot;")) != std::string::npos;) line.replace(q, 6, "\"");
    e2e::post(port, "/webmall", form({{"CMD", "purchopt"}, {"SHIPOPT", line}}), from);
    e2e::post(port, "/webmall", form({{"CMD", "startpurch"}, {"popt", "32"}}), from);
    auto done = e2e::post(port, "/webmall", form({{"CMD", "submit"}, {"EMAIL", "buyer@example.com"}}), from);
    return done.status == 200 && done.body.find("class=\"invoice-number\"") != std::string::npos;
}

// Purchases per second, shoppers at once, shopper i at host i modulo the number of hosts.
double purchases_per_second(const std::vector<int> &ports, int shoppers, double seconds, long *failed) {
    std::atomic<long> done{0}, bad{0};
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto start = Clock::now();
    std::vector<std::thread> pool;
    for (int i = 0; i < shoppers; ++i)
        pool.emplace_back([&, i] {
            const std::string from = "127.0." + std::to_string(i + 1) + ".1";
            for (long n = i; Clock::now() < end; n += shoppers) {
                if (buy(ports[static_cast<size_t>(i) % ports.size()], from, n)) ++done;
                else ++bad;
            }
        });
    for (auto &t : pool) t.join();
    *failed = bad;
    return static_cast<double>(done) / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    if (e2e::postgres_socket().empty()) {
        std::fprintf(stderr, "run it as: tests/postgres/with-cluster.sh %s [SECONDS]\n", argv[0]);
        return 2;
    }
    e2e::TempRoot lite_root, pg_root;
    if (!lay_out(lite_root, false) || !lay_out(pg_root, true)) return 1;
    e2e::Host lite(lite_root.path()), pg(pg_root.path());
    if (!lite.ready() || !pg.ready()) {
        std::fprintf(stderr, "hostd did not start: %s%s\n", lite.stderr_text().c_str(), pg.stderr_text().c_str());
        return 1;
    }

    std::printf("pages per second, one host, one client, %.0f s rounds, median of 3\n", seconds);
    std::printf("%-10s %10s %12s %8s\n", "page", "SQLite", "PostgreSQL", "ratio");
    for (const char *page : {"storelist", "prodlist", "prodinfo", "ksearch"}) {
        const auto queries = requests(page);
        pages_per_second(lite.port(), queries, 0.5); // warm both up
        pages_per_second(pg.port(), queries, 0.5);
        std::vector<double> a, b;
        for (int round = 0; round < 3; ++round) {
            a.push_back(pages_per_second(lite.port(), queries, seconds));
            b.push_back(pages_per_second(pg.port(), queries, seconds));
        }
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        std::printf("%-10s %10.0f %12.0f %8.2f\n", page, a[1], b[1], a[1] / std::max(b[1], 1e-9));
        std::fflush(stdout);
    }

    // A second host on the PostgreSQL mall: its own root, the same database.
    e2e::TempRoot second_root;
    if (!lay_out(second_root, true)) return 1;
    e2e::write_file(second_root.file("data.cfg"), e2e::read_file(pg_root.file("data.cfg")));
    e2e::Host second(second_root.path());
    if (!second.ready()) return 1;
    constexpr int kShoppers = 8;
    long failed_one = 0, failed_two = 0;
    purchases_per_second({pg.port()}, kShoppers, 1.0, &failed_one); // warm-up
    double one = purchases_per_second({pg.port()}, kShoppers, seconds * 3, &failed_one);
    double two = purchases_per_second({pg.port(), second.port()}, kShoppers, seconds * 3, &failed_two);
    std::printf("\nwhole purchases per second on PostgreSQL, %d shoppers at once, %.0f s\n", kShoppers, seconds * 3);
    std::printf("one host  %8.1f/s (%ld not confirmed)\ntwo hosts %8.1f/s (%ld not confirmed)  %.2fx\n", one,
                failed_one, two, failed_two, two / std::max(one, 1e-9));
    auto orders = e2e::mallctl(pg_root.path(), {"orders"});
    std::printf("orders stored: %ld\n", static_cast<long>(std::count(orders.out.begin(), orders.out.end(), '\n')));
    lite.stop();
    pg.stop();
    second.stop();
    return 0;
}
