// The mall under load: shoppers from as many loopback addresses run whole purchases while idle
// connections and clients that trickle their requests sit beside them. Every confirmation has
// its stored order and every stored order its confirmation, and no request fails.
//
// The suite runs a short version. bench/load.sh runs the full one (500 shoppers for 60
// seconds beside 1,000 idle and 300 trickling connections) through the environment:
// SHOPVERA_LOAD_SHOPPERS, SHOPVERA_LOAD_SECONDS, SHOPVERA_LOAD_IDLE, SHOPVERA_LOAD_TRICKLE and
// SHOPVERA_LOAD_THINK_MS (a shopper's pause before each page, on average; 0 in the suite);
// with SHOPVERA_LOAD_REPORT set it writes its figures (pages per second, p50 and p99 per
// page, hostd's memory) to that file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/purchase_mall.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using purchase::Fields;
using purchase::Form;
using purchase::PurchaseMall;

int EnvNumber(const char *name, int fallback) {
    const char *text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// Resident memory of a process in kilobytes: all of it (VmRSS), or one part ("RssAnon": the
// heap and stacks; "RssFile": mapped files, the data files among them).
long ResidentKb(pid_t pid, const std::string &field = "VmRSS") {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

// The n-th address of a group, each group in its own 127.G.0.0/16.
std::string Address(int group, int n) {
    return "127." + std::to_string(group) + "." + std::to_string(n / 250) + "." + std::to_string(1 + n % 250);
}

int Connect(int port, const std::string &from) { return e2e::connect_from(port, from, true); }

// Idle connections that never send a byte, and clients that send their headers a byte every
// two seconds. Each the host closes is opened again, so that the count stays.
class Crowd {
  public:
    Crowd(int port, int idle, int trickle) : port_(port) {
        for (int i = 0; i < idle; ++i) people_.push_back({Address(60, i), false, -1, Clock::now()});
        for (int i = 0; i < trickle; ++i) people_.push_back({Address(70, i), true, -1, Clock::now()});
        thread_ = std::thread([this] { Run(); });
    }
    ~Crowd() {
        stop_ = true;
        thread_.join();
        for (auto &p : people_)
            if (p.fd >= 0) close(p.fd);
    }
    long reopened() const { return reopened_; }

  private:
    struct Person {
        std::string from;
        bool trickles;
        int fd;
        Clock::time_point next;
    };
    void Run() {
        while (!stop_) {
            auto now = Clock::now();
            std::vector<pollfd> polls;
            for (auto &p : people_) {
                if (p.fd < 0) {
                    p.fd = Connect(port_, p.from);
                    if (p.fd >= 0 && p.trickles) send(p.fd, "GET /webmall?CMD=storelist HTTP/1.1\r\n", 37, MSG_NOSIGNAL);
                    p.next = now + 2s;
                    ++reopened_;
                } else if (p.trickles && now >= p.next) {
                    send(p.fd, "X", 1, MSG_NOSIGNAL);
                    p.next = now + 2s;
                }
                polls.push_back({p.fd, POLLIN, 0});
            }
            poll(polls.data(), polls.size(), 200);
            for (size_t i = 0; i < polls.size(); ++i) {
                if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char buf[4096];
                ssize_t n = recv(people_[i].fd, buf, sizeof buf, 0);
                if (n <= 0 || polls[i].revents & (POLLHUP | POLLERR)) {
                    close(people_[i].fd);
                    people_[i].fd = -1;
                }
            }
        }
    }
    int port_;
    std::vector<Person> people_;
    std::atomic<bool> stop_{false};
    std::atomic<long> reopened_{0};
    std::thread thread_;
};

struct Figures {
    std::mutex lock;
    std::map<std::string, std::vector<double>> ms;  // page: times in milliseconds
    std::vector<std::string> failures;
    std::set<int> confirmed;

    void Time(const std::string &page, Clock::duration took) {
        std::lock_guard<std::mutex> hold(lock);
        ms[page].push_back(std::chrono::duration<double, std::milli>(took).count());
    }
    void Fail(const std::string &what) {
        std::lock_guard<std::mutex> hold(lock);
        if (failures.size() < 20) failures.push_back(what);
        else failures.back() = "... and more";
    }
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

// One shopper buying a mug again and again until the time is up; every page is checked. A
// person reads a page before the next: think_ms on average (0: none).
void Shop(int port, const std::string &from, Clock::time_point end, int think_ms, Figures *figures) {
    std::mt19937 random(static_cast<unsigned>(std::hash<std::string>()(from)));
    auto page = [&](const std::string &name, const std::string &expect, auto request) -> std::string {
        if (think_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(think_ms / 2 + random() % (think_ms + 1)));
        auto start = Clock::now();
        e2e::Response r = request();
        figures->Time(name, Clock::now() - start);
        if (r.status != 200 || r.body.find(expect) == std::string::npos) {
            figures->Fail(from + " " + name + ": status " + std::to_string(r.status) + " " + r.body.substr(0, 120));
            return "";
        }
        return r.body;
    };
    auto get = [&](const std::string &name, const std::string &query, const std::string &expect) {
        return page(name, expect, [&] { return e2e::get(port, "/webmall?" + query, from); });
    };
    auto post = [&](const std::string &name, const Fields &fields, const std::string &expect) {
        return page(name, expect, [&] { return e2e::post(port, "/webmall", Form(fields), from); });
    };
    while (Clock::now() < end) {
        if (get("order", "CMD=order&SID=ACME&DID=SHIRTS&PID=MUG&OrderQuant=1", "Item Added").empty()) continue;
        std::string shipping = post("submitreg",
                                    {{"CMD", "submitreg"}, {"DEST", "s2"}, {"BNAME", "Joe Buyer"},
                                     {"BADDR1", "1 Main St"}, {"BCITY", "Springfield"}, {"BSTATE", "IL"},
                                     {"BZIP", "62701"}, {"BPHONE", "555-0100"}},
                                    "OPT [");
        if (shipping.empty()) continue;
        if (post("purchopt", {{"CMD", "purchopt"}, {"SHIPOPT", PurchaseMall::ShippingLine(shipping)}}, "").empty())
            continue;
        if (post("startpurch", {{"CMD", "startpurch"}, {"popt", "32"}}, "total").empty()) continue;
        std::string done = post("submit", {{"CMD", "submit"}, {"EMAIL", "joe@example.com"}}, "DONE inv=[");
        if (done.empty()) continue;
        int number = std::atoi(done.c_str() + done.find("DONE inv=[") + 10);
        std::lock_guard<std::mutex> hold(figures->lock);
        if (!figures->confirmed.insert(number).second) figures->failures.push_back("invoice twice: " + std::to_string(number));
    }
}

TEST(Load, ShoppersBuyBesideIdleAndTricklingConnectionsAndNothingIsLost) {
    const int shoppers = EnvNumber("SHOPVERA_LOAD_SHOPPERS", 40);
    const int seconds = EnvNumber("SHOPVERA_LOAD_SECONDS", 12);
    const int idle = EnvNumber("SHOPVERA_LOAD_IDLE", 200);
    const int trickle = EnvNumber("SHOPVERA_LOAD_TRICKLE", 60);
    const int think_ms = EnvNumber("SHOPVERA_LOAD_THINK_MS", 0);
    // The crowd and the shoppers' connections need descriptors of their own.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    PurchaseMall mall;
    ASSERT_TRUE(mall.host->ready());
    const int port = mall.host->port();
    Figures figures;
    // Warm up: one purchase, so that memory before is that of a mall at work.
    Shop(port, Address(80, 0), Clock::now(), 0, &figures);
    ASSERT_TRUE(e2e::get(port, "/webmall?CMD=storelist", Address(80, 1)).status == 200);
    const long rss_before = ResidentKb(mall.host->pid());
    const long anon_before = ResidentKb(mall.host->pid(), "RssAnon");
    const double cpu_before = mall.host->cpu_seconds();

    auto started = Clock::now();
    std::vector<long> rss_quarters, anon_quarters;
    {
        Crowd crowd(port, idle, trickle);
        std::this_thread::sleep_for(1s);  // the crowd in place
        auto end = Clock::now() + std::chrono::seconds(seconds);
        std::vector<std::thread> threads;
        for (int i = 0; i < shoppers; ++i) threads.emplace_back(Shop, port, Address(90, i), end, think_ms, &figures);
        // Memory at each quarter of the run: flat once the crowd and the carts are in place.
        for (int quarter = 1; quarter <= 4; ++quarter) {
            std::this_thread::sleep_until(end - std::chrono::milliseconds(seconds * 1000 * (4 - quarter) / 4));
            rss_quarters.push_back(ResidentKb(mall.host->pid()));
            anon_quarters.push_back(ResidentKb(mall.host->pid(), "RssAnon"));
        }
        for (auto &t : threads) t.join();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count() - 1;
    const long rss_after = ResidentKb(mall.host->pid());
    const long anon_after = ResidentKb(mall.host->pid(), "RssAnon");
    const long file_after = ResidentKb(mall.host->pid(), "RssFile");
    const double cpu = mall.host->cpu_seconds() - cpu_before;

    for (const std::string &failure : figures.failures) ADD_FAILURE() << failure;
    ASSERT_FALSE(figures.confirmed.empty());

    // Every confirmation has its order in the order file, and every stored order was confirmed.
    std::istringstream stored(mall.Mallctl({"orders"}).out);
    std::set<int> numbers;
    for (std::string line; std::getline(stored, line);) {
        std::istringstream fields(line);
        std::string store;
        int number = 0;
        fields >> store >> number;
        numbers.insert(number);
    }
    EXPECT_EQ(numbers, figures.confirmed);

    std::ostringstream report;
    char line[256];
    std::snprintf(line, sizeof line,
                  "%d shoppers (%d ms between pages), %d s, %d idle and %d trickling connections beside\n", shoppers,
                  think_ms, seconds, idle, trickle);
    report << line;
    std::snprintf(line, sizeof line, "purchases: %zu (%.1f per second)\n", figures.confirmed.size(),
                  static_cast<double>(figures.confirmed.size()) / elapsed);
    report << line;
    for (const auto &[name, times] : figures.ms) {
        std::snprintf(line, sizeof line, "page %-10s %7zu  p50 %7.1f ms  p99 %7.1f ms  max %7.1f ms\n", name.c_str(),
                      times.size(), Percentile(times, 0.5), Percentile(times, 0.99),
                      *std::max_element(times.begin(), times.end()));
        report << line;
    }
    std::snprintf(line, sizeof line,
                  "hostd resident memory: %ld kB before; %ld, %ld, %ld, %ld kB at each quarter; %ld kB after\n",
                  rss_before, rss_quarters[0], rss_quarters[1], rss_quarters[2], rss_quarters[3], rss_after);
    report << line;
    std::snprintf(line, sizeof line,
                  "  of which heap and stacks (RssAnon): %ld kB before; %ld, %ld, %ld, %ld kB; %ld kB after;"
                  " mapped files (RssFile) %ld kB after\n",
                  anon_before, anon_quarters[0], anon_quarters[1], anon_quarters[2], anon_quarters[3], anon_after,
                  file_after);
    report << line;
    std::snprintf(line, sizeof line, "hostd CPU: %.1f s in %.1f s\n", cpu, elapsed);
    report << line;
    std::printf("%s", report.str().c_str());
    if (const char *file = std::getenv("SHOPVERA_LOAD_REPORT")) std::ofstream(file) << report.str();
}

}  // namespace
