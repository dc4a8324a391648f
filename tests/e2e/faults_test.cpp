// Faults: hostd killed while shoppers buy, mallctl import killed halfway, and data files that
// are not the mall's databases. Nothing confirmed is lost and nothing is left half-written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/purchase_mall.h"

namespace {

using purchase::Checkout;
using purchase::Encode;
using purchase::Fields;
using purchase::Form;
using purchase::PurchaseMall;
using purchase::Shopper;
using purchase::Shows;

// One whole purchase of a mug, as a shopper's browser makes it, without judging the pages on
// the way: a host killed halfway leaves any of them short. The invoice number of the
// confirmation page, or 0 when the purchase did not come through.
int BuyMug(int port, const std::string &from) {
    auto get = [&](const std::string &query) { return e2e::get(port, "/webmall?" + query, from).body; };
    auto post = [&](const Fields &fields) { return e2e::post(port, "/webmall", Form(fields), from).body; };
    if (!Shows(get("CMD=order&SID=ACME&DID=SHIRTS&PID=MUG&OrderQuant=1"), "Item Added")) return 0;
    std::string shipping = post({{"CMD", "submitreg"}, {"DEST", "s2"}, {"BNAME", "Joe Buyer"}, {"BADDR1", "1 Main St"},
                                 {"BCITY", "Springfield"}, {"BSTATE", "IL"}, {"BZIP", "62701"},
                                 {"BPHONE", "555-0100"}});
    if (shipping.find("OPT [") == std::string::npos) return 0;
    post({{"CMD", "purchopt"}, {"SHIPOPT", PurchaseMall::ShippingLine(shipping)}});
    if (!Shows(post({{"CMD", "startpurch"}, {"popt", "32"}}), "total")) return 0;
    std::string done = post({{"CMD", "submit"}, {"EMAIL", "joe@example.com"}});
    const std::string mark = "DONE inv=[";
    size_t at = done.find(mark);
    if (at == std::string::npos) return 0;
    return std::atoi(done.c_str() + at + mark.size());
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Faults, EveryOrderConfirmedBeforeAKillIsStoredWhole) {
    constexpr int kShoppers = 6;
    PurchaseMall mall;
    std::set<int> confirmed;
    std::mt19937 random(13);
    int killed = 0;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(mall.host->ready()) << mall.host->stderr_text();
        const int port = mall.host->port();
        std::mutex lock;
        std::atomic<bool> stop{false};
        std::vector<std::thread> shoppers;
        for (int s = 0; s < kShoppers; ++s)
            shoppers.emplace_back([&, s] {
                const std::string from = Shopper(10 * round + s + 1);
                while (!stop) {
                    int number = BuyMug(port, from);
                    if (number > 0) {
                        std::lock_guard<std::mutex> hold(lock);
                        EXPECT_TRUE(confirmed.insert(number).second) << "invoice " << number << " twice";
                    }
                }
            });
        // A random moment of the load: somewhere in the middle of someone's purchase.
        std::this_thread::sleep_for(std::chrono::milliseconds(400 + random() % 900));
        EXPECT_EQ(mall.host->stop(SIGKILL), 128 + SIGKILL);
        ++killed;
        stop = true;
        for (auto &t : shoppers) t.join();
        mall.host = std::make_unique<e2e::Host>(mall.root.path(), std::vector<std::string>{"--time-scale", "10"});
    }
    ASSERT_EQ(killed, 3);
    ASSERT_FALSE(confirmed.empty()) << "no purchase came through before the kills";

    // Every confirmation has its order, whole; every stored order is whole and was confirmed,
    // except those whose confirmations were on their way at a kill, waiting for the disk: at
    // most one per shopper per kill, since a shopper submits one order at a time.
    mall.host->stop();
    std::vector<std::string> stored = Lines(mall.Mallctl({"orders"}).out);
    std::set<int> numbers;
    for (const std::string &line : stored) {
        std::istringstream fields(line);
        std::string store;
        int number = 0;
        fields >> store >> number;
        numbers.insert(number);
        auto order = mall.Order("ACME", number);
        ASSERT_FALSE(order.is_null()) << line;
        EXPECT_EQ(order["status"], "SUBMITTED") << line;
        ASSERT_EQ(order["items"].size(), 1u) << order.dump();
        EXPECT_EQ(order["items"][0]["product_id"], "MUG") << order.dump();
        EXPECT_EQ(order["items"][0]["quantity"], 1) << order.dump();
    }
    for (int number : confirmed) EXPECT_TRUE(numbers.count(number)) << "confirmed order " << number << " lost";
    EXPECT_LE(numbers.size(), confirmed.size() + static_cast<size_t>(killed * kShoppers));
    for (int number : confirmed)
        EXPECT_TRUE(e2e::file_exists(mall.root.file("outbox/ACME-" + std::to_string(number) + ".txt"))) << number;
}

// A catalogue of n products in one department of store S, every price p.
std::string BigCatalogue(int n, double price) {
    std::string text = R"({"stores": [{"id": "S", "name": "Store", "departments": [{"id": "D", "name": "D"}], "products": [)";
    for (int i = 0; i < n; ++i) {
        if (i) text += ",";
        text += R"({"department": "D", "id": "P)" + std::to_string(i) + R"(", "name": "Product )" +
                std::to_string(i) + R"(", "price": )" + std::to_string(price) + "}";
    }
    return text + "]}]}";
}

TEST(Faults, AnImportKilledHalfwayLeavesTheOldCatalogueOrTheNew) {
    e2e::TempRoot root;
    ASSERT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
    e2e::write_file(root.file("old.json"), BigCatalogue(3000, 1));
    ASSERT_EQ(e2e::mallctl(root.path(), {"import", root.file("old.json")}).status, 0);
    const std::string old_catalogue = e2e::mallctl(root.path(), {"export"}).out;
    e2e::write_file(root.file("new.json"), BigCatalogue(20000, 2));

    std::mt19937 random(7);
    int interrupted = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            std::string mallctl = e2e::bin_dir() + "/mallctl";
            execl(mallctl.c_str(), mallctl.c_str(), "--root", root.path().c_str(), "import",
                  root.file("new.json").c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 400));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFSIGNALED(status)) ++interrupted;
        const std::string now = e2e::mallctl(root.path(), {"export"}).out;
        if (now != old_catalogue) {
            // The whole new catalogue and nothing of the old: every product at the new price.
            EXPECT_EQ(now.find("\"price\": 1"), std::string::npos);
            EXPECT_NE(now.find("\"P19999\""), std::string::npos);
            break;
        }
    }
    EXPECT_GT(interrupted, 0) << "every import finished before the kill";
    // The catalogue stays usable: an import afterwards goes through.
    EXPECT_EQ(e2e::mallctl(root.path(), {"import", root.file("old.json")}).status, 0);
    EXPECT_EQ(e2e::mallctl(root.path(), {"export"}).out, old_catalogue);
}

// A full disk, in effect: hostd may write no file beyond limit bytes (unlimited: 0).
void LimitFileSize(pid_t pid, rlim_t limit) {
    rlimit size{};
    ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, nullptr, &size), 0);
    // Only the soft limit: raising it again needs no privilege.
    size.rlim_cur = limit == 0 ? size.rlim_max : limit;
    ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, &size, nullptr), 0);
}

TEST(Faults, AFullDiskWhileAPageIsSpooledGivesAnErrorPageAndKeepsTheCart) {
    PurchaseMall mall;
    e2e::write_file(mall.root.file("kvzsvw/SWSHPCRT.HTM"), "CART\n###ROW [_PID_|_DEPTID_|_PRODNAME_|_QUANT_]\n###END\n");
    const std::string a = Shopper(1);
    ASSERT_TRUE(Shows(mall.Get(a, "CMD=order&SID=ACME&DID=SHIRTS&PID=TEE&OrderQuant=2"), "Item Added"));
    LimitFileSize(mall.host->pid(), 1);
    e2e::Response page = e2e::get(mall.host->port(), "/webmall?CMD=shopcart", a);
    EXPECT_EQ(page.status, 500);
    EXPECT_NE(page.body.find("The page could not be produced."), std::string::npos) << page.body;
    EXPECT_TRUE(e2e::list_dir(mall.root.file("KVZSVTMP")).empty()) << "a half-written page was left";
    // Space is back: the same shopper finds the cart as it was.
    LimitFileSize(mall.host->pid(), 0);
    EXPECT_TRUE(Shows(mall.Get(a, "CMD=shopcart"), "ROW [TEE|SHIRTS|Tee|2]"));
    EXPECT_TRUE(e2e::list_dir(mall.root.file("KVZSVTMP")).empty());
}

TEST(Faults, AFullDiskWhileAnOrderIsSubmittedRefusesItAndKeepsTheCart) {
    if (!e2e::postgres_socket().empty()) GTEST_SKIP() << "the data files are not SQLite databases of the root here";
    PurchaseMall mall;
    const std::string a = Shopper(1);
    Checkout c;
    c.items = {{"TEE", 2, "SHIRTS"}};
    mall.ToTotals(a, c);
    // Room for a page, none for the data files to grow.
    LimitFileSize(mall.host->pid(), 2048);
    std::string refused = mall.Submit(a, "joe@example.com");
    EXPECT_EQ(refused.find("DONE"), std::string::npos) << refused;
    EXPECT_TRUE(Shows(refused, "ERROR [")) << refused;
    LimitFileSize(mall.host->pid(), 0);
    EXPECT_EQ(mall.Mallctl({"orders"}).out, "");
    EXPECT_TRUE(e2e::list_dir(mall.root.file("outbox")).empty());
    EXPECT_EQ(mall.Stock("ACME", "TEE"), 5) << "the stock was lowered for an order that was not stored";
    EXPECT_TRUE(e2e::list_dir(mall.root.file("KVZSVTMP")).empty());
    // Space is back: the order kept in the cart goes through.
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "DONE inv=[1]"));
    EXPECT_EQ(mall.Stock("ACME", "TEE"), 3);
    EXPECT_TRUE(e2e::file_exists(mall.root.file("outbox/ACME-1.txt")));
}

TEST(Faults, ADataFileThatIsNoDatabaseStopsTheStartWithOneLine) {
    if (!e2e::postgres_socket().empty()) GTEST_SKIP() << "the data files are not SQLite databases of the root here";
    for (const char *file : {"data/orders.db", "data/catalogue.db", "data/accounts.db"}) {
        e2e::TempRoot root;
        ASSERT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
        e2e::write_file(root.file(file), std::string(4096, 'x') + "not a database\n");
        e2e::Host host(root.path());
        EXPECT_FALSE(host.ready()) << file;
        EXPECT_EQ(host.exit_status(), 1) << file;
        std::string err = host.stderr_text();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << file << ": " << err;
        EXPECT_NE(err.find(std::string(file).substr(5)), std::string::npos) << err;
    }
}

TEST(Faults, ADataFileOfAnotherLayoutStopsTheStartWithOneLine) {
    if (!e2e::postgres_socket().empty()) GTEST_SKIP() << "the data files are not SQLite databases of the root here";
    e2e::TempRoot root;
    ASSERT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
    // A real SQLite database, but not the layout of an order file.
    std::remove(root.file("data/orders.db").c_str());
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(root.file("data/orders.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(a, b); INSERT INTO t VALUES (1, 2);", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    e2e::Host host(root.path());
    EXPECT_FALSE(host.ready());
    EXPECT_EQ(host.exit_status(), 1);
    std::string err = host.stderr_text();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("orders.db"), std::string::npos) << err;
}

TEST(Faults, ADatabaseServerThatIsNotThereStopsTheStartWithOneLine) {
    e2e::TempRoot root;
    ASSERT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
    // A socket directory where no server listens, and a port on loopback where none does.
    const std::string empty = root.file("no-server");
    ASSERT_EQ(mkdir(empty.c_str(), 0700), 0);
    for (const std::string url : {"postgresql://shopvera@/mall?host=" + empty,
                                  std::string("postgresql://shopvera@127.0.0.1:1/mall?connect_timeout=5")}) {
        e2e::write_file(root.file("data.cfg"), "url: " + url + "\n");
        e2e::Host host(root.path());
        EXPECT_FALSE(host.ready()) << url;
        EXPECT_EQ(host.exit_status(), 1) << url;
        std::string err = host.stderr_text();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.rfind("hostd: data.cfg: cannot connect to the database server: ", 0), 0u) << err;
        EXPECT_EQ(err.find("listening"), std::string::npos) << err;
        // Nothing of the start is left behind: no spool of a host that never ran.
        EXPECT_TRUE(e2e::list_dir(root.file("KVZSVTMP")).empty()) << url;
    }
}

}  // namespace
