// The shopper's order in a real hostd: every answer of the order command, a full order, the
// cart's prices, formats and back orders, products that leave the catalogue, cancelling, and
// the diagnostics page, each shopper at a loopback address of its own.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/cart_mall.h"

namespace {

using cart::CartMall;
using cart::Shopper;
using cart::Shows;
using cart::Wrote;

std::string Order(const std::string &product, const std::string &quantity, const std::string &rest = "",
                  const std::string &dept = "SHIRTS") {
    return "CMD=order&SID=ACME&DID=" + dept + "&PID=" + product + "&OrderQuant=" + quantity + rest;
}

TEST(OrderPage, EveryAnswerOfTheOrderCommandReachesTheShopper) {
    CartMall mall;
    const std::string a = Shopper(1), b = Shopper(2), c = Shopper(3);

    // Both formats are required: a missing choice is refused.
    EXPECT_TRUE(Shows(mall.Page(a, Order("RED+SHIRT", "1")), "ERROR [Product format(s) not specified]"));
    EXPECT_TRUE(Shows(mall.Page(a, Order("RED+SHIRT", "1", "&R1=0")), "ERROR [Product format(s) not specified]"));
    EXPECT_TRUE(Shows(mall.Page(a, Order("RED+SHIRT", "1", "&R1=&R2=1")), "ERROR [Product format(s) not specified]"));
    // The refused first adds left no order behind.
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=shopcart"), "ERROR [NO-ORDER]"));
    std::string page = mall.Page(a, Order("RED+SHIRT", "1", "&R1=0&R2=1"));
    EXPECT_TRUE(Shows(page, "ORDER msg=[Item Added to order] ids=[ACME|SHIRTS|RED+SHIRT] mall=[Shopvera Web Mall|/webmall]"));
    EXPECT_TRUE(Shows(page, "links=[VIEW-CART|CHECK-OUT|CANCEL]"));
    EXPECT_TRUE(Wrote(mall.NewTrace(), "AddOrderProduct returned 1"));
    // A product without required formats needs no choice.
    EXPECT_TRUE(Shows(mall.Page(a, Order("TEE", "2")), "msg=[Item Added to order]"));
    EXPECT_TRUE(Wrote(mall.NewTrace(), "AddOrderProduct returned 2"));

    EXPECT_TRUE(Shows(mall.Page(a, Order("NOPE", "1")), "ERROR [Can't find product]"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=order&SID=OTHER&DID=D&PID=O1&OrderQuant=1"),
                      "ERROR [Order not from the same store]"));
    EXPECT_TRUE(Shows(mall.Page(a, Order("VEST", "0")), "ERROR [Invalid order quantity]"));
    EXPECT_TRUE(Shows(mall.Page(a, Order("VEST", "")), "ERROR [Invalid order quantity]"));
    EXPECT_TRUE(Wrote(mall.NewTrace(), "AddOrderProduct returned -5"));
    // Quantities outside a positive 16-bit number, new or changed, are refused before they
    // reach the order.
    for (const char *bad : {"-1", "32768", "70000", "-65535"}) {
        EXPECT_TRUE(Shows(mall.Page(a, Order("VEST", bad)), "ERROR [Invalid order quantity]")) << bad;
        EXPECT_TRUE(Shows(mall.Page(a, Order("TEE", bad)), "ERROR [Invalid order quantity]")) << bad;
    }
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=shopcart"),
                      "ROW [RED SHIRT|SHIRTS|Red shirt|Small|Blue|1|0|10.00|10.00]\n"
                      "ROW [TEE|SHIRTS|Tee|-|-|2|0|2.85|5.70]\nTOTAL [15.70]"));

    EXPECT_TRUE(Shows(mall.Page(b, "CMD=order&SID=ACME&DID=NOPE&PID=TEE&OrderQuant=1"), "ERROR [NO-SUCH-DEPT]"));
    // A department that takes no orders says so, and no order is started.
    page = mall.Page(b, "CMD=order&SID=ACME&DID=CLOSED&PID=LOCKED&OrderQuant=1");
    EXPECT_TRUE(Shows(page, "INFO [NO-ORDERS-HERE] ids=[ACME|CLOSED|LOCKED]"));
    EXPECT_TRUE(Shows(mall.Page(b, "CMD=debug"), "ord=[No]"));
    EXPECT_TRUE(Shows(mall.Page(b, "CMD=shopcart"), "ERROR [NO-ORDER]"));

    // Request values come back escaped.
    page = mall.Page(c, "CMD=order&SID=ACME&DID=SHIRTS&PID=EBOOK&OrderQuant=1");
    EXPECT_TRUE(Shows(page, "msg=[Item Added to order]"));
    page = mall.Page(c, "CMD=shopcart&DID=%3Ci%3E&PID=a%22b");
    EXPECT_TRUE(Shows(page, "back=[BACK-TO-DEPT|] ids=[&lt;i&gt;|a&quot;b]"));
    EXPECT_TRUE(Shows(page, "ROW [EBOOK|SHIRTS|E-book|DOWNLOAD|-|1|0|5.00|5.00]"));
}

TEST(OrderPage, ATenItemOrderTakesNoEleventhButStillChangesAndRemoves) {
    CartMall mall;
    const std::string a = Shopper(1);
    for (int i = 1; i <= 10; ++i) {
        std::string id = (i < 10 ? "T0" : "T") + std::to_string(i);
        ASSERT_TRUE(Shows(mall.Page(a, Order(id, "1", "", "TOOLS")), "Item Added to order"));
    }
    EXPECT_TRUE(Wrote(mall.NewTrace(), "AddOrderProduct returned 10"));
    EXPECT_TRUE(Shows(mall.Page(a, Order("T11", "1", "", "TOOLS")), "ERROR [This order cannot have any more products]"));
    EXPECT_TRUE(Shows(mall.Page(a, Order("NOPE", "1", "", "TOOLS")), "ERROR [This order cannot have any more products]"));
    EXPECT_TRUE(Shows(mall.Page(a, Order("T03", "4", "", "TOOLS")), "msg=[Item Added to order]"));
    EXPECT_TRUE(Shows(mall.Page(a, Order("T05", "0", "", "TOOLS")), "msg=[Item Added to order]"));
    std::string cart = mall.Page(a, "CMD=shopcart");
    EXPECT_TRUE(Shows(cart, "CART n=[9]"));
    EXPECT_TRUE(Shows(cart, "ROW [T03|TOOLS||-|-|4|0|1.00|4.00]\nROW [T04|"));
    EXPECT_TRUE(Shows(cart, "ROW [T04|TOOLS||-|-|1|0|1.00|1.00]\nROW [T06|"));
    EXPECT_TRUE(Shows(cart, "TOTAL [12.00]"));
    EXPECT_TRUE(Shows(mall.Page(a, Order("T11", "1", "", "TOOLS")), "msg=[Item Added to order]"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=shopcart"), "CART n=[10]"));
}

TEST(OrderPage, RemovingTakesTheIdsFromTheRequestAndTheLastRemovalLeavesAnEmptyOrder) {
    CartMall mall;
    const std::string a = Shopper(1);
    ASSERT_TRUE(Shows(mall.Page(a, Order("TEE", "1")), "Item Added to order"));
    ASSERT_TRUE(Shows(mall.Page(a, Order("VEST", "1")), "Item Added to order"));
    // The last page read another department; the removal still finds its product.
    ASSERT_TRUE(Shows(mall.Page(a, "CMD=prodinfo&SID=ACME&DID=TOOLS&PID=T01"), "dept=[TOOLS|Tools]"));
    EXPECT_TRUE(Shows(mall.Page(a, Order("tee", "0")), "msg=[Item Added to order] ids=[ACME|SHIRTS|tee]"));
    ASSERT_TRUE(Shows(mall.Page(a, "CMD=prodinfo&SID=OTHER&DID=D&PID=O1"), "dept=[D|D]"));
    std::string page = mall.Page(a, Order("VEST", "0"));
    EXPECT_TRUE(Shows(page, "ORDER msg=[ORDER-EMPTY]"));
    EXPECT_TRUE(Shows(page, "links=[VIEW-CART|CHECK-OUT|CANCEL]"));
    EXPECT_TRUE(Wrote(mall.NewTrace(), "AddOrderProduct returned 0"));
    // Removing what is no longer there is a bad quantity.
    EXPECT_TRUE(Shows(mall.Page(a, Order("VEST", "0")), "ERROR [Invalid order quantity]"));
    page = mall.Page(a, "CMD=shopcart");
    EXPECT_TRUE(Shows(page, "CART n=[0] store=[ACME|Acme Goods|sysop@shopvera.example]"));
    EXPECT_TRUE(Shows(page, "TOTAL [0.00]"));
    // The empty order may take a product of another store.
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=order&SID=OTHER&DID=D&PID=O1&OrderQuant=2"), "Item Added to order"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=shopcart"), "CART n=[1] store=[OTHER|Other shop|"));
}

TEST(CartPage, PricesFollowTheMemberKeyAndTheDiscountBandAndBackOrdersTheStock) {
    CartMall mall;
    const std::string member = Shopper(1), other = Shopper(2);
    const std::string shirt = Order("RED+SHIRT", "10", "&R1=2&R2=0");
    ASSERT_TRUE(Shows(mall.Page(member, shirt, "alice:secret"), "Item Added to order"));
    ASSERT_TRUE(Shows(mall.Page(member, Order("TEE", "5")), "Item Added to order"));
    ASSERT_TRUE(Shows(mall.Page(other, shirt), "Item Added to order"));

    // 10 is in the band 10 to 20 at 15 %; ten shirts of a stock of five back-order five.
    std::string cart = mall.Page(member, "CMD=shopcart&DID=SHIRTS&PID=TEE", "alice:secret");
    EXPECT_TRUE(Shows(cart, "ROW [RED SHIRT|SHIRTS|Red shirt|Large|Red|10|5|6.80|68.00]\n"
                            "ROW [TEE|SHIRTS|Tee|-|-|5|0|2.70|13.50]\nTOTAL [81.50]"));
    EXPECT_TRUE(Shows(cart, "back=[BACK-TO-DEPT|BACK-TO-PRODUCT] ids=[SHIRTS|TEE]"));
    // The same order without the member's credentials is priced at the price.
    EXPECT_TRUE(Shows(mall.Page(member, "CMD=shopcart"), "|10|5|8.50|85.00]\nROW [TEE|SHIRTS|Tee|-|-|5|0|2.70|13.50]\nTOTAL [98.50]"));
    EXPECT_TRUE(Shows(mall.Page(other, "CMD=shopcart", "bob:builder"), "|10|5|8.50|85.00]\nTOTAL [85.00]"));
    // Out of the band: no discount.
    ASSERT_TRUE(Shows(mall.Page(other, Order("RED+SHIRT", "21", "&R1=2&R2=0")), "Item Added to order"));
    EXPECT_TRUE(Shows(mall.Page(other, "CMD=shopcart"), "|21|16|10.00|210.00]\nTOTAL [210.00]"));
    // A department that does not exist gives no way back to the product.
    EXPECT_TRUE(Shows(mall.Page(other, "CMD=shopcart&DID=NOPE&PID=TEE"), "back=[BACK-TO-DEPT|]"));
    EXPECT_TRUE(Shows(mall.Page(other, "CMD=shopcart"), "back=[|]"));

    // Back orders: only the part beyond counted stock, the stock taken whole.
    const std::string c = Shopper(3);
    ASSERT_TRUE(Shows(mall.Page(c, Order("BACKORD", "5")), "Item Added to order"));
    ASSERT_TRUE(Shows(mall.Page(c, Order("BIGSTOCK", "5")), "Item Added to order"));
    ASSERT_TRUE(Shows(mall.Page(c, Order("NOCOUNT", "5")), "Item Added to order"));
    cart = mall.Page(c, "CMD=shopcart");
    EXPECT_TRUE(Shows(cart, "ROW [BACKORD|SHIRTS|Back order|-|-|5|3|"));
    EXPECT_TRUE(Shows(cart, "ROW [BIGSTOCK|SHIRTS|Big stock|-|-|5|0|"));
    EXPECT_TRUE(Shows(cart, "ROW [NOCOUNT|SHIRTS|Not counted|-|-|5|0|"));
    ASSERT_TRUE(Shows(mall.Page(c, Order("BACKORD", "2")), "Item Added to order"));
    ASSERT_TRUE(Shows(mall.Page(c, Order("BIGSTOCK", "32767")), "Item Added to order"));
    cart = mall.Page(c, "CMD=shopcart");
    EXPECT_TRUE(Shows(cart, "ROW [BACKORD|SHIRTS|Back order|-|-|2|0|"));
    EXPECT_TRUE(Shows(cart, "ROW [BIGSTOCK|SHIRTS|Big stock|-|-|32767|0|"));
}

TEST(CartPage, AProductThatLeavesTheCatalogueLeavesTheCartAndItsSubtotal) {
    CartMall mall;
    const std::string a = Shopper(1);
    ASSERT_TRUE(Shows(mall.Page(a, Order("GONE", "3")), "Item Added to order"));
    ASSERT_TRUE(Shows(mall.Page(a, Order("VEST", "1")), "Item Added to order"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=shopcart"), "ROW [GONE|SHIRTS|Soon gone|-|-|3|0|2.00|6.00]\n"
                                                    "ROW [VEST|SHIRTS|Vest|-|-|1|0|4.00|4.00]\nTOTAL [10.00]"));
    ASSERT_EQ(e2e::mallctl(mall.root.path(), {"remove", "ACME", "SHIRTS", "GONE"}).status, 0);
    std::string cart = mall.Page(a, "CMD=shopcart");
    EXPECT_TRUE(Shows(cart, "CART n=[2]"));
    EXPECT_TRUE(Shows(cart, "\nROW [VEST|SHIRTS|Vest|-|-|1|0|4.00|4.00]\nTOTAL [4.00]"));
    EXPECT_EQ(cart.find("GONE"), std::string::npos) << cart;
    ASSERT_EQ(e2e::mallctl(mall.root.path(), {"remove", "ACME", "SHIRTS", "VEST"}).status, 0);
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=shopcart"), "CART n=[2] store=[ACME|Acme Goods|sysop@shopvera.example] "
                                                    "back=[|] ids=[|] links=[VIEW-CART|CHECK-OUT|CANCEL]\nTOTAL [0.00]"));
}

TEST(KillOrderPage, CancellingEndsTheOrderAtOnce) {
    CartMall mall;
    const std::string a = Shopper(1), b = Shopper(2);
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=killorder"), "ERROR [NO-ORDER]"));
    ASSERT_TRUE(Shows(mall.Page(a, Order("TEE", "1")), "Item Added to order"));
    ASSERT_TRUE(Shows(mall.Page(b, Order("VEST", "1")), "Item Added to order"));
    // The page gets the request's ids, escaped, and no cart links.
    std::string page = mall.Page(a, "CMD=killorder&SID=%3Cs%3E&DID=%27d&PID=RED+SHIRT");
    EXPECT_TRUE(Shows(page, "CANCELLED ids=[&lt;s&gt;|&#39;d|RED SHIRT] links=[_SHOP_]"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=shopcart"), "ERROR [NO-ORDER]"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=killorder"), "ERROR [NO-ORDER]"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=TEE"), "links=[CART-EMPTY|NO-CHECK-OUT|NO-CANCEL]"));
    // Someone else's order stays.
    EXPECT_TRUE(Shows(mall.Page(b, "CMD=shopcart"), "ROW [VEST|"));
    // A new order starts afresh.
    ASSERT_TRUE(Shows(mall.Page(a, Order("VEST", "2")), "Item Added to order"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=shopcart"), "CART n=[1]"));
}

TEST(DebugPage, ShowsTheRequestersAddressOrderAndWhetherAUserIdIsKnown) {
    CartMall mall;
    const std::string a = Shopper(1), b = Shopper(2);
    // Without an order the page ends in front of the item block.
    std::string page = mall.Page(a, "CMD=debug");
    EXPECT_TRUE(Shows(page, "DEBUG ip=[127.0.0.2] ord=[No] vuid=[Empty UID] uid=[] store=[] items=[]\n"));
    EXPECT_EQ(page.find("END"), std::string::npos) << page;
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=debug&UID=alice"), "vuid=[Yes] uid=[alice]"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=debug&UID=someone%40example.com"), "vuid=[Yes] uid=[someone@example.com]"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=debug&UID=nobody"), "vuid=[No] uid=[nobody]"));
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=debug&UID=%3Cscript%3E"), "vuid=[No] uid=[&lt;script&gt;]"));

    ASSERT_TRUE(Shows(mall.Page(b, Order("RED+SHIRT", "7", "&R1=2&R2=1")), "Item Added to order"));
    ASSERT_TRUE(Shows(mall.Page(b, Order("EBOOK", "1")), "Item Added to order"));
    page = mall.Page(b, "CMD=debug");
    EXPECT_TRUE(Shows(page, "DEBUG ip=[127.0.0.3] ord=[Yes] vuid=[Empty UID] uid=[] store=[ACME] items=[2]\n"
                            "ITEM [SHIRTS|RED SHIRT|7|2|2|1|0|60|0.00]\n"
                            "ITEM [SHIRTS|EBOOK|1|0|-1|-1|1|0|0.00]\nEND\n"));
    EXPECT_TRUE(Wrote(mall.NewTrace(), "Order set to dload 1 EBOOK"));
    // The first shopper still has none.
    EXPECT_TRUE(Shows(mall.Page(a, "CMD=debug"), "ord=[No]"));
}

}  // namespace
