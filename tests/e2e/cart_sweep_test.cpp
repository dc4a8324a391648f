// The order slot table under load and over time, in a real hostd: with the classic 50 slots
// fifty shoppers hold orders and the fifty-first is refused; the count is option 18; an order
// its shopper leaves alone for 30 sweeps is freed, while a shopper who keeps asking for pages
// keeps theirs.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/e2e/cart_mall.h"

namespace {

using cart::CartMall;
using cart::Shopper;
using cart::Shows;
using cart::Wrote;

const char kAddVest[] = "CMD=order&SID=ACME&DID=SHIRTS&PID=VEST&OrderQuant=1";

TEST(OrderSlots, FiftyShoppersHoldOrdersAndTheFiftyFirstWaitsForAFreeSlot) {
    // An empty option 18 is the classic 50.
    CartMall mall(true, 10, "18:\n");
    for (int n = 1; n <= 50; ++n)
        ASSERT_TRUE(Shows(mall.Page(Shopper(n), kAddVest), "msg=[Item Added to order]")) << Shopper(n);
    EXPECT_TRUE(Shows(mall.Page(Shopper(51), kAddVest), "ERROR [Can't allocate a new order]"));
    EXPECT_TRUE(Wrote(mall.NewTrace(), "AddOrderProduct returned -1"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(51), "CMD=debug"), "ord=[No]"));
    // The orders there are not disturbed, and their shoppers can still add to them.
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=order&SID=ACME&DID=SHIRTS&PID=TEE&OrderQuant=2"),
                      "msg=[Item Added to order]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=shopcart"), "CART n=[2]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(50), "CMD=shopcart"), "ROW [VEST|SHIRTS|Vest|-|-|1|0|4.00|4.00]"));

    // One cancellation frees a slot for the waiting shopper.
    ASSERT_TRUE(Shows(mall.Page(Shopper(20), "CMD=killorder"), "CANCELLED"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(51), kAddVest), "msg=[Item Added to order]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(20), kAddVest), "ERROR [Can't allocate a new order]"));
}

TEST(OrderSlots, OptionEighteenSetsTheNumberOfSlots) {
    // The shipped options hold 5,000 slots: far more than 50 shoppers order at once.
    {
        CartMall shipped;
        for (int n = 1; n <= 120; ++n)
            ASSERT_TRUE(Shows(shipped.Page(Shopper(n), kAddVest), "msg=[Item Added to order]")) << Shopper(n);
        EXPECT_TRUE(Shows(shipped.Page(Shopper(77), "CMD=shopcart"), "ROW [VEST|SHIRTS|Vest|-|-|1|0|4.00|4.00]"));
    }
    // 70 slots: the 71st shopper waits until one is freed, and gets the freed one.
    CartMall mall(true, 10, "18: 70\n");
    for (int n = 1; n <= 70; ++n)
        ASSERT_TRUE(Shows(mall.Page(Shopper(n), kAddVest), "msg=[Item Added to order]")) << Shopper(n);
    EXPECT_TRUE(Shows(mall.Page(Shopper(71), kAddVest), "ERROR [Can't allocate a new order]"));
    ASSERT_TRUE(Shows(mall.Page(Shopper(3), "CMD=killorder"), "CANCELLED"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(3), "CMD=debug"), "ord=[No]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(71), kAddVest), "msg=[Item Added to order]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(71), "CMD=debug"), "ord=[Yes]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(4), "CMD=shopcart"), "ROW [VEST|"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(72), kAddVest), "ERROR [Can't allocate a new order]"));
}

TEST(OrderSlots, ACountBelowFiftyIsFifty) {
    CartMall mall(true, 10, "18: 3\n");
    for (int n = 1; n <= 50; ++n)
        ASSERT_TRUE(Shows(mall.Page(Shopper(n), kAddVest), "msg=[Item Added to order]")) << Shopper(n);
    EXPECT_TRUE(Shows(mall.Page(Shopper(51), kAddVest), "ERROR [Can't allocate a new order]"));
}

TEST(OrderSlots, TheSweepFreesAnUntouchedOrderAfterThirtyPeriods) {
    // 100 times faster: a sweep period of 10 host seconds is a tenth of a second.
    CartMall mall(true, 100);
    const std::string idle = Shopper(1), busy = Shopper(2);
    ASSERT_TRUE(Shows(mall.Page(idle, kAddVest), "Item Added to order"));
    auto added = std::chrono::steady_clock::now();
    ASSERT_TRUE(Shows(mall.Page(busy, kAddVest), "Item Added to order"));

    // The busy shopper asks for a page every few sweeps, any page, until the idle one's order
    // is deleted: between 290 and 300 host seconds after its last request.
    const std::string deleted = "Deleting order for " + idle;
    std::vector<std::string> trace;
    bool gone = false;
    double seconds = 0;
    for (int i = 0; i < 100 && !gone; ++i) {
        const char *page = i % 2 ? "CMD=debug" : "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=TEE";
        mall.Page(busy, page);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (std::string &line : mall.NewTrace()) trace.push_back(std::move(line));
        gone = e2e::has_line(trace, deleted);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - added).count();
    }
    ASSERT_TRUE(Wrote(trace, deleted));
    EXPECT_GE(seconds, 2.8);
    EXPECT_TRUE(Wrote(trace, "hits 2"));
    EXPECT_TRUE(Shows(mall.Page(idle, "CMD=shopcart"), "ERROR [NO-ORDER]"));
    EXPECT_TRUE(Shows(mall.Page(busy, "CMD=shopcart"), "ROW [VEST|"));
    for (std::string &line : mall.NewTrace()) trace.push_back(std::move(line));
    EXPECT_FALSE(e2e::has_line(trace, "Deleting order for " + busy));
}

}  // namespace
