// Order submission in a real hostd: the buyer's address, the store's largest order amount, order
// numbers per store, a refusal by the mall library or by the order file, and what an accepted
// order leaves behind: the stored order, the lowered stock and the store's notice.
#include <gtest/gtest.h>
#include <signal.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <ctime>
#include <cstdlib>
#include <thread>
#include <set>
#include <memory>
#include <filesystem>
#include <chrono>
#include <algorithm>
#include <string>

#include "tests/e2e/purchase_mall.h"
#include "tests/e2e/web_util.h"

namespace {

using purchase::Checkout;
using purchase::Entry;
using purchase::Item;
using purchase::PurchaseMall;
using purchase::Shopper;
using purchase::Shows;

Checkout Tees(int quantity, const std::string &store = "ACME", const std::string &dept = "SHIRTS") {
    Checkout c;
    c.store = store;
    c.items = {{"TEE", quantity, dept}};
    return c;
}

Checkout One(const std::string &store) {
    Checkout c;
    c.store = store;
    c.items = {{"P", 1, "D"}};
    return c;
}

TEST(Submit, AnAnonymousBuyerNeedsAnAddressTheHostAccepts) {
    PurchaseMall mall;
    const std::string a = Shopper(1), b = Shopper(2);
    mall.ToTotals(a, Tees(1));

    EXPECT_TRUE(Shows(mall.Submit(a, ""), "ERROR [NO-ADDRESS]"));
    EXPECT_TRUE(Shows(mall.Submit(a, "not an address"), "ERROR [BAD-ADDRESS]"));
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@"), "ERROR [BAD-ADDRESS]"));
    EXPECT_EQ(mall.Mallctl({"orders"}).out, "");

    // The refusals left the order alone: the same cart goes through with a sound address, and
    // the shopper has no order any more.
    std::string done = mall.Submit(a, "joe@example.com");
    EXPECT_TRUE(Shows(done, "DONE inv=[1] email=[joe@example.com] store=[ACME] mall=[Shopvera Web Mall|/webmall] "
                            "links=[CART-EMPTY|NO-CHECK-OUT|NO-CANCEL]"));
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "ERROR [NO-ORDER]"));
    EXPECT_TRUE(Shows(mall.Get(a, "CMD=shopcart"), "ERROR [NO-ORDER]"));

    // A verified user needs no address: the user id is the order password.
    Checkout verified = Tees(1);
    verified.user = "alice:secret";
    EXPECT_TRUE(Shows(mall.ToTotals(b, verified), "FINALU"));
    EXPECT_TRUE(Shows(mall.Submit(b, "", {}, verified.user), "DONE inv=[2] email=[alice]"));

    auto anonymous = mall.Order("ACME", 1);
    ASSERT_FALSE(anonymous.is_null());
    EXPECT_EQ(anonymous["origin"], 2);
    EXPECT_EQ(anonymous["password"], "joe@example.com");
    EXPECT_EQ(anonymous["customer"]["user_id"], "");
    auto user = mall.Order("ACME", 2);
    ASSERT_FALSE(user.is_null());
    EXPECT_EQ(user["origin"], 0);
    EXPECT_EQ(user["customer"]["user_id"], "alice");
    EXPECT_FALSE(user.contains("password"));
}

TEST(Submit, TheAddressPrefixStandsInFrontOfTheAddressTheBuyerTyped) {
    PurchaseMall mall("", "17: INTERNET:\n");
    const std::string a = Shopper(1);
    mall.ToTotals(a, Tees(1));
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "DONE inv=[1] email=[INTERNET:joe@example.com]"));
    EXPECT_EQ(mall.Order("ACME", 1)["password"], "INTERNET:joe@example.com");
}

TEST(Submit, TheLargestOrderAmountStopsOnlyOrdersAboveIt) {
    PurchaseMall mall;
    const std::string a = Shopper(1), b = Shopper(2), c = Shopper(3);

    // Two tees and the first unit of shipping: 19.00 + 5.00, exactly the store's 24.00.
    EXPECT_TRUE(Shows(mall.ToTotals(a, Tees(2, "CAPPED", "D")), "total=[24.00]"));
    EXPECT_TRUE(Shows(mall.Submit(a, "a@example.com"), "DONE inv=[1]"));

    // Three tees: 28.50 + 7.00 of shipping. Nothing is stored and the cart stays, so the same
    // order is stopped again.
    EXPECT_TRUE(Shows(mall.ToTotals(b, Tees(3, "CAPPED", "D")), "total=[35.50]"));
    EXPECT_TRUE(Shows(mall.Submit(b, "b@example.com"), "MAX max=[24.00] root=[/webmall]"));
    EXPECT_TRUE(Shows(mall.Submit(b, "b@example.com"), "MAX max=[24.00]"));
    EXPECT_TRUE(mall.Order("CAPPED", 2).is_null());
    EXPECT_FALSE(mall.Order("CAPPED", 1).is_null());

    // A store without a largest amount (0) takes any order.
    mall.ToTotals(c, Tees(5));
    EXPECT_TRUE(Shows(mall.Submit(c, "c@example.com"), "DONE inv=[1] email=[c@example.com] store=[ACME]"));
}

TEST(Submit, EachStoreNumbersItsOwnOrders) {
    PurchaseMall mall;
    const std::string a = Shopper(1);
    auto buy = [&](const Checkout &c) { return Entry(mall.Buy(a, c), "inv="); };

    EXPECT_EQ(buy(One("ACMD")), "1");
    // ACME's first order, though ACMD's lies just before its range of the order file.
    EXPECT_EQ(buy(Tees(1)), "1");
    // ACMEX lies between ACME and ACMF: neither store's orders count for the other.
    EXPECT_EQ(buy(One("ACMEX")), "1");
    EXPECT_EQ(buy(One("ACMEX")), "2");
    EXPECT_EQ(buy(One("ACMEX")), "3");
    EXPECT_EQ(buy(Tees(1)), "2");
    EXPECT_EQ(buy(One("ACMD")), "2");
    EXPECT_EQ(buy(Tees(1)), "3");

    // Store and number of each stored order, in the order file's key order.
    std::string keys, line;
    std::istringstream listed(mall.Mallctl({"orders"}).out);
    while (std::getline(listed, line)) keys += line.substr(0, line.find('\t', line.find('\t') + 1)) + " ";
    EXPECT_EQ(keys, "ACMD\t1 ACMD\t2 ACME\t1 ACME\t2 ACME\t3 ACMEX\t1 ACMEX\t2 ACMEX\t3 ");
}

TEST(Submit, AnOrderTheMallLibraryRefusesIsRemovedAndTheCartStays) {
    PurchaseMall mall("accept_orders: no\n");
    const std::string a = Shopper(1);
    mall.ToTotals(a, Tees(2));

    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "ERROR [REFUSED]"));
    EXPECT_EQ(mall.Mallctl({"orders"}).out, "");
    EXPECT_TRUE(e2e::list_dir(mall.root.file("outbox")).empty());
    EXPECT_EQ(mall.Stock("ACME", "TEE"), 5);
    // The order is still the shopper's: submitting again is refused again, not "no order".
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "ERROR [REFUSED]"));
    EXPECT_NE(e2e::read_file(mall.root.file("audit.log")).find("Order ACME 1 refused"), std::string::npos);
}

// The order file is busy for longer than the host waits for it while the order is submitted.
TEST(Submit, AnOrderIsConfirmedOnlyOnceTheOrderFileHoldsIt) {
    PurchaseMall mall;
    const std::string a = Shopper(1);
    mall.ToTotals(a, Tees(1));

    std::string page;
    if (mall.root.database().empty()) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(mall.root.file("data/orders.db").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        page = mall.Submit(a, "joe@example.com");
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    } else {
        // Another session holds the order table locked for writing.
        PGconn *db = PQconnectdb(e2e::postgres_url(mall.root.database()).c_str());
        ASSERT_EQ(PQstatus(db), CONNECTION_OK);
        PGresult *r = PQexec(db, "BEGIN; LOCK TABLE orders.orders IN EXCLUSIVE MODE");
        ASSERT_EQ(PQresultStatus(r), PGRES_COMMAND_OK);
        PQclear(r);
        page = mall.Submit(a, "joe@example.com");
        PQclear(PQexec(db, "ROLLBACK"));
        PQfinish(db);
    }
    EXPECT_TRUE(Shows(page, "ERROR [REFUSED]"));
    EXPECT_EQ(page.find("DONE"), std::string::npos);
    EXPECT_NE(e2e::read_file(mall.root.file("trace.log")).find("Unable to store order ACME 1"), std::string::npos);
    EXPECT_EQ(mall.Mallctl({"orders"}).out, "");
    EXPECT_TRUE(e2e::list_dir(mall.root.file("outbox")).empty());

    // The cart stayed; once the file is free the same order goes through. The confirmation means
    // the order is in the file: a host that dies at once does not take it along.
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "DONE inv=[1]"));
    EXPECT_EQ(mall.host->stop(SIGKILL), 128 + SIGKILL);
    auto stored = mall.Order("ACME", 1);
    ASSERT_FALSE(stored.is_null());
    EXPECT_EQ(stored["status"], "SUBMITTED");
    EXPECT_EQ(mall.Stock("ACME", "TEE"), 4) << "the stock was lowered before the confirmation";
    EXPECT_TRUE(e2e::file_exists(mall.root.file("outbox/ACME-1.txt")));

    // A host started again on the same root shows the buyer the order.
    e2e::Host again(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(again.ready()) << again.stderr_text();
    std::string review = e2e::get(again.port(), "/webmall?CMD=review&SID=ACME&OID=1&PSWORD=joe%40example.com",
                                  Shopper(2)).body;
    EXPECT_TRUE(Shows(review, "REVIEW inv=[1] store=[ACME|Acme Goods]")) << review;
}

TEST(Submit, AnOrderEmptiedInTheCartIsNotStored) {
    PurchaseMall mall;
    const std::string a = Shopper(1);
    ASSERT_TRUE(Shows(mall.Get(a, "CMD=order&SID=ACME&DID=SHIRTS&PID=TEE&OrderQuant=1"), "Item Added"));
    ASSERT_TRUE(Shows(mall.Get(a, "CMD=order&SID=ACME&DID=SHIRTS&PID=TEE&OrderQuant=0"), "ORDER-EMPTY"));
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "ERROR [ORDER-EMPTY]"));
    EXPECT_EQ(mall.Mallctl({"orders"}).out, "");
}

TEST(Submit, AnOrderChangedAfterItsTotalsIsNotStoredAtStalePrices) {
    PurchaseMall mall;
    const std::string a = Shopper(7);
    Checkout c;
    c.items = {Item("TEE")};
    mall.ToTotals(a, c);
    // A second product after the totals page: without new totals it would be stored unpriced.
    ASSERT_TRUE(Shows(mall.Get(a, "CMD=order&SID=ACME&DID=SHIRTS&PID=MUG&OrderQuant=2"), "Item Added"));
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "has changed since its totals were shown"));
    EXPECT_EQ(mall.Mallctl({"orders"}).out, "");
    // Submitting without ever seeing the totals is refused the same way.
    const std::string b = Shopper(8);
    ASSERT_TRUE(Shows(mall.Get(b, "CMD=order&SID=ACME&DID=SHIRTS&PID=TEE&OrderQuant=1"), "Item Added"));
    EXPECT_TRUE(Shows(mall.Submit(b, "joe@example.com"), "has changed since its totals were shown"));
    // Going through the totals again prices both items and the order is taken.
    c.items = {};
    std::string totals = mall.ToTotals(a, c);
    EXPECT_TRUE(Shows(totals, "[MUG|4.00|8.00]")) << totals;
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "DONE inv=[1]"));
    auto stored = mall.Order("ACME", 1);
    ASSERT_FALSE(stored.is_null());
    EXPECT_EQ(stored["item_count"], 2);
}

// A slow disk holds up only the shopper whose order is on its way to it: the order is stored
// at once, its confirmation leaves once the order is on the disk, and other shoppers are served
// meanwhile. SHOPVERA_SYNC_DELAY_MS makes the host's syncs that slow.
TEST(Submit, AConfirmationWaitsForTheDiskAndNobodyElseDoes) {
    // A PostgreSQL commit is on the server's disk when it returns: there is nothing to wait for.
    if (!e2e::postgres_socket().empty()) GTEST_SKIP() << "the host syncs only SQLite files itself";
    ::setenv("SHOPVERA_SYNC_DELAY_MS", "2000", 1);
    PurchaseMall mall;
    ::unsetenv("SHOPVERA_SYNC_DELAY_MS");
    const std::string a = Shopper(11), b = Shopper(12);
    Checkout c;
    c.items = {Item("TEE")};
    mall.ToTotals(a, c);

    const std::string body = purchase::Form({{"CMD", "submit"}, {"EMAIL", "joe@example.com"}});
    e2e::Client buyer(mall.host->port(), a);
    ASSERT_TRUE(buyer.send("POST /webmall HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
    std::string stored;
    for (int i = 0; i < 200 && stored.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stored = mall.Mallctl({"orders"}).out;
    }
    ASSERT_FALSE(stored.empty()) << "the order is in the order file before it is on the disk";
    EXPECT_EQ(e2e::get(mall.host->port(), "/webmall?CMD=storelist", b).status, 200);
    EXPECT_EQ(buyer.read_some(0), -1) << "nothing of the confirmation before the sync: " << buyer.received;

    ASSERT_TRUE(buyer.read_to_end(30000));
    EXPECT_TRUE(Shows(e2e::parse_response(buyer.received).body, "DONE inv=[1]")) << buyer.received;
}

// The card's expiry a year ahead, as the card form takes it.
std::string NextYearsExpiry() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[8];
    std::snprintf(text, sizeof text, "01/%02d", (local.tm_year + 1901) % 100);
    return text;
}

// A card refused after the totals were shown once must not leave the order submittable with
// the card emptied: the shopper has to get through the card step and the totals again.
TEST(Submit, AnOrderWhoseCardIsRefusedAfterItsTotalsIsNotStored) {
    PurchaseMall mall;
    const std::string a = Shopper(9);
    Checkout c;
    c.items = {{"TEE", 1}};
    c.option = "1";
    c.card = {{"CCNAME", "Joe Card"}, {"CCNUM", "4111 1111 1111 1111"}, {"CCEXP", NextYearsExpiry()},
              {"CCADDR", "1 Main St"}, {"CCZIP", "62701"}};
    mall.ToTotals(a, c);
    // Back to the card form, and a number the card check refuses.
    mall.Post(a, {{"CMD", "startpurch"}, {"popt", "1"}});
    purchase::Fields refused = c.card;
    refused[1].second = "1234";
    refused.insert(refused.begin(), {{"CMD", "complete"}, {"type", "CC"}});
    EXPECT_FALSE(Shows(mall.Post(a, refused), "total"));
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "has changed since its totals were shown"));
    EXPECT_EQ(mall.Mallctl({"orders"}).out, "");
    // Going back to the card form alone, without new details, does not make it submittable either.
    Checkout again = c;
    again.items = {};
    mall.ToTotals(a, again);
    mall.Post(a, {{"CMD", "startpurch"}, {"popt", "1"}});
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "has changed since its totals were shown"));
    // With the card accepted and the totals shown again, the order is taken, with its card.
    mall.ToTotals(a, again);
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com"), "DONE inv=[1]"));
    auto stored = mall.Order("ACME", 1);
    ASSERT_FALSE(stored.is_null());
    EXPECT_EQ(stored["item_count"], 1);
}

TEST(Submit, AnAcceptedOrderLowersTheStockAndLeavesANoticeForTheStore) {
    PurchaseMall mall;
    const std::string a = Shopper(1);
    Checkout c;
    c.items = {{"TEE", 2}, {"RED SHIRT", 3, "SHIRTS", "&R1=1"}, {"MUG", 1}};
    c.option = "1";
    c.card = {{"CCNAME", "Joe Card"}, {"CCNUM", "4111 1111 1111 1111"}, {"CCEXP", NextYearsExpiry()},
              {"CCADDR", "1 Main St"}, {"CCZIP", "62701"}};
    mall.ToTotals(a, c);
    EXPECT_TRUE(Shows(mall.Submit(a, "joe@example.com", {{"IA0", "yes please"}, {"IA2", "Blue"}}), "DONE inv=[1]"));

    // Tees are counted (5 less 2); the red shirt had one and three were back-ordered: none are
    // left, not minus two; mugs are not counted.
    EXPECT_EQ(mall.Stock("ACME", "TEE"), 3);
    EXPECT_EQ(mall.Stock("ACME", "RED SHIRT"), 0);
    EXPECT_EQ(mall.Stock("ACME", "MUG"), 7);

    // One whole notice and no half-written one beside it.
    EXPECT_EQ(e2e::list_dir(mall.root.file("outbox")), std::vector<std::string>{"ACME-1.txt"});
    std::string notice = e2e::read_file(mall.root.file("outbox/ACME-1.txt"));
    for (const char *part : {"Order 1 of store ACME (Acme Goods)", "Buyer: joe@example.com",
                             "2 x TEE (department SHIRTS) Tee", "at 9.50 = 19.00",
                             "3 x RED SHIRT (department SHIRTS) Red shirt [Medium]", "handling 2.00",
                             "1 x MUG", "Subtotal: 53.00", "Shipping: 11.00 (UPS)", "Handling: 2.00",
                             "Total: 66.00", "Payment: Visa", "Name: Joe Card", "Bill to:\n  Joe Buyer\n  1 Main St\n"
                             "  Springfield, IL 62701\n  Telephone: 555-0100\n", "Ship to:\n  Joe Buyer",
                             "Gift wrap?: yes please", "Which <b>colour</b>?: Blue"})
        EXPECT_TRUE(Shows(notice, part));
    EXPECT_EQ(notice.find("4111111111111111"), std::string::npos);
    EXPECT_EQ(notice.find("1111"), std::string::npos);

    // A second order is the store's second notice; the first stays as it was.
    mall.Buy(a, Tees(1));
    EXPECT_EQ(e2e::list_dir(mall.root.file("outbox")).size(), 2u);
    EXPECT_TRUE(Shows(e2e::read_file(mall.root.file("outbox/ACME-2.txt")), "Order 2 of store ACME"));
    EXPECT_EQ(e2e::read_file(mall.root.file("outbox/ACME-1.txt")), notice);
    EXPECT_EQ(mall.Stock("ACME", "TEE"), 2);
}

}  // namespace

namespace {

// Holds a data file (the order file unless told) locked for writing while it lives; reads go on.
class OrderFileLock {
  public:
    explicit OrderFileLock(const e2e::TempRoot &root, const std::string &database = "orders",
                           const std::string &table = "orders") {
        if (root.database().empty()) {
            sqlite3_open(root.file("data/" + database + ".db").c_str(), &lite_);
            locked_ = sqlite3_exec(lite_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        } else {
            pg_ = PQconnectdb(e2e::postgres_url(root.database()).c_str());
            PGresult *r = PQexec(pg_, ("BEGIN; LOCK TABLE " + database + "." + table + " IN EXCLUSIVE MODE").c_str());
            locked_ = PQresultStatus(r) == PGRES_COMMAND_OK;
            PQclear(r);
        }
    }
    ~OrderFileLock() {
        if (lite_ != nullptr) {
            sqlite3_exec(lite_, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(lite_);
        }
        if (pg_ != nullptr) {
            PQclear(PQexec(pg_, "ROLLBACK"));
            PQfinish(pg_);
        }
    }
    bool locked() const { return locked_; }

  private:
    sqlite3 *lite_ = nullptr;
    PGconn *pg_ = nullptr;
    bool locked_ = false;
};

}  // namespace

// Both hosts read the store's highest number (none: both take 1) while the order file is
// locked, and both wait to insert; once it is free, one stores number 1 and the other, refused
// by the unique key, takes 2. Neither order is lost, none is stored twice.
TEST(Submit, TwoHostsSubmittingForOneStoreAtOnceGetTwoNumbers) {
    PurchaseMall mall, other;
    ShareData(mall, other);
    const std::string a = Shopper(1), b = Shopper(2);
    mall.ToTotals(a, Tees(1));
    other.ToTotals(b, Tees(2));

    std::string first, second;
    auto lock = std::make_unique<OrderFileLock>(mall.root);
    ASSERT_TRUE(lock->locked());
    std::thread one([&] { first = mall.Submit(a, "a@example.com"); });
    std::thread two([&] { second = other.Submit(b, "b@example.com"); });
    // Both are waiting for the lock by now (the hosts wait up to five seconds for it).
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    lock.reset();
    one.join();
    two.join();

    std::set<std::string> numbers = {Entry(first, "inv="), Entry(second, "inv=")};
    EXPECT_EQ(numbers, (std::set<std::string>{"1", "2"})) << first << second;
    auto listed = mall.Mallctl({"orders"}).out;
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 2) << listed;
    EXPECT_NE(listed.find("a@example.com"), std::string::npos) << listed;
    EXPECT_NE(listed.find("b@example.com"), std::string::npos) << listed;
    EXPECT_EQ(mall.Stock("ACME", "TEE"), 2);
}

// Both hosts accept an order for tees while the product file is locked: each has read the
// stock (5) and waits to write it back. Once the file is free the first writes 4; the second
// finds the product changed since it read it, reads 4 and writes 2. Neither sale is lost.
TEST(Submit, TwoHostsSellingOneCountedProductAtOnceLowerItByBoth) {
    PurchaseMall mall, other;
    ShareData(mall, other);
    const std::string a = Shopper(1), b = Shopper(2);
    mall.ToTotals(a, Tees(1));
    other.ToTotals(b, Tees(2));

    std::string first, second;
    auto lock = std::make_unique<OrderFileLock>(mall.root, "catalogue", "products");
    ASSERT_TRUE(lock->locked());
    std::thread one([&] { first = mall.Submit(a, "a@example.com"); });
    std::thread two([&] { second = other.Submit(b, "b@example.com"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    lock.reset();
    one.join();
    two.join();

    std::set<std::string> numbers = {Entry(first, "inv="), Entry(second, "inv=")};
    EXPECT_EQ(numbers, (std::set<std::string>{"1", "2"})) << first << second;
    EXPECT_EQ(mall.Stock("ACME", "TEE"), 2);
    EXPECT_EQ(other.Stock("ACME", "TEE"), 2);
    for (const PurchaseMall *m : {&mall, &other})
        EXPECT_EQ(e2e::read_file(m->root.file("audit.log")).find("not lowered"), std::string::npos);
}
