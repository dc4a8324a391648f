// The product information page in a real hostd: its entries, the template of each page kind,
// the previous and next links, the choices and quantity of the shopper's own order line, the
// discount rows, and its refusals.
#include <gtest/gtest.h>

#include "tests/e2e/cart_mall.h"

namespace {

using cart::CartMall;
using cart::Shopper;
using cart::Shows;
using cart::Wrote;

const char kRedShirt[] = "CMD=prodinfo&SID=acme&DID=shirts&PID=RED+SHIRT";

TEST(ProductPage, ShowsTheProductAndPresetsTheShoppersOwnOrderLine) {
    CartMall mall;
    std::string page = mall.Page(Shopper(1), kRedShirt);
    EXPECT_TRUE(Shows(page, "PAGE0 store=[acme|Acme Goods|sysop@shopvera.example|lb] dept=[SHIRTS|Shirts]"));
    EXPECT_TRUE(Shows(page, "order=[|]"));
    EXPECT_TRUE(Shows(page, "prod=[RED+SHIRT|Red shirt|A <em>red</em> shirt|10.00|1.5000] fmt=[SIZE|COLOUR]"));
    EXPECT_TRUE(Shows(page, "stock=[5] quant=[0]"));
    EXPECT_TRUE(Shows(page, "links=[CART-EMPTY|NO-CHECK-OUT|NO-CANCEL]"));
    // Offered are Small and Large of the sizes and both colours; nothing is checked yet.
    EXPECT_TRUE(Shows(page, "F1 [0|Small|]\nF1 [2|Large|]\nMID1\nF2 [0|Red|]\nF2 [1|Blue|]\nMID2\n"
                            "DISC [10|20|15.0000]\nTAIL\n"));
    EXPECT_TRUE(Wrote(mall.NewTrace(), "Order item not found"));

    // A member sees the member price.
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), kRedShirt, "alice:secret"), "|Red shirt|A <em>red</em> shirt|8.00|"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), kRedShirt, "bob:builder"), "|Red shirt|A <em>red</em> shirt|10.00|"));

    // Once in the order (in other letter case), the page presets its quantity and choices,
    // for this shopper only.
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=order&SID=ACME&DID=SHIRTS&PID=red+shirt&OrderQuant=3&R1=2&R2=1"),
                      "Item Added to order"));
    page = mall.Page(Shopper(1), kRedShirt);
    EXPECT_TRUE(Shows(page, "quant=[3]"));
    EXPECT_TRUE(Shows(page, "links=[VIEW-CART|CHECK-OUT|CANCEL]"));
    EXPECT_TRUE(Shows(page, "F1 [0|Small|]\nF1 [2|Large|CHECKED]\nMID1\nF2 [0|Red|]\nF2 [1|Blue|CHECKED]\n"));
    page = mall.Page(Shopper(2), kRedShirt);
    EXPECT_TRUE(Shows(page, "quant=[0]"));
    EXPECT_TRUE(Shows(page, "F1 [2|Large|]"));
}

TEST(ProductPage, EachKindHasItsTemplateAndTheDiscountsDecideHowMuchOfAFourthBlockShows) {
    CartMall mall;
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=PICS"),
                      "PAGE1 store=[ACME|"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=PICS"),
                      "media=[shirts/red.jpg|shirts/back.jpg|||||]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=MEDIA"),
                      "media=[|||Abstract|docs/about.pdf|Sound|snd/hum.wav]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=MEDIA"), "PAGE3 "));

    // Kind 2 comes from the store's own copy. Its discount rows are the pairs with a
    // percentage; with one the page ends in front of the fourth block, without one the block
    // is passed over and the rest follows.
    std::string tee = mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=TEE");
    EXPECT_TRUE(Shows(tee, "ACME2 store=[ACME|"));
    EXPECT_TRUE(Shows(tee, "fmt=[|]"));
    EXPECT_TRUE(Shows(tee, "MID1\nMID2\nDISC [1|4|5.0000]\nDISC [5|9|10.0000]\nAFTER3\n"));
    EXPECT_EQ(tee.find("END4"), std::string::npos) << tee;
    std::string vest = mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=VEST");
    EXPECT_TRUE(Shows(vest, "MID2\nAFTER3\nEND4\n"));
    EXPECT_EQ(vest.find("FOURTH"), std::string::npos) << vest;
    // Another store's kind 2 product gets the shared template.
    e2e::write_file(mall.root.file("extra.json"),
                    R"({"stores": [{"id": "OTHER", "name": "Other shop", "departments": [{"id": "D", "name": "D"}],
                        "products": [{"department": "D", "id": "O2", "info_kind": 2, "price": 1}]}]})");
    ASSERT_EQ(e2e::mallctl(mall.root.path(), {"import", mall.root.file("extra.json")}).status, 0);
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=OTHER&DID=D&PID=O2"), "PAGE2 store=[OTHER|"));
}

TEST(ProductPage, NeighbourLinksPassOverUnavailableProductsForFiveRecordsAtMost) {
    CartMall mall;
    // P07: the five products before it are sold out, so the link is hidden although P01 would
    // be the sixth; behind it four are sold out and the fifth, P12, is available.
    std::string page = mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=LINE&PID=P07");
    EXPECT_TRUE(Shows(page, "prev=[<!--|-->|_PCODEP_] next=[||P12]"));
    page = mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=LINE&PID=P12");
    EXPECT_TRUE(Shows(page, "prev=[||P07] next=[<!--|-->|_PCODEN_]"));
    page = mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=LINE&PID=P01");
    EXPECT_TRUE(Shows(page, "prev=[<!--|-->|_PCODEP_] next=[<!--|-->|_PCODEN_]"));
    // Neighbours keep their blanks as '+'; a sold-out one between is passed over.
    page = mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=TEE");
    EXPECT_TRUE(Shows(page, "prev=[||RED+SHIRT] next=[||VEST]"));
    page = mall.Page(Shopper(1), kRedShirt);
    EXPECT_TRUE(Shows(page, "prev=[||PICS] next=[||TEE]"));
}

TEST(ProductPage, RefusalsAndADepartmentThatTakesNoOrders) {
    CartMall mall;
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=NOPE&DID=SHIRTS&PID=TEE"), "ERROR [NO-SUCH-STORE]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=NOPE&PID=TEE"), "ERROR [NO-SUCH-DEPT]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=NOPE"), "ERROR [NO-SUCH-PRODUCT]"));
    // A product of another department is not found through this one.
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=TOOLS&PID=TEE"), "ERROR [NO-SUCH-PRODUCT]"));
    std::string sold = mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=SOLDOUT");
    EXPECT_TRUE(Shows(sold, "ERROR [NOT-AVAILABLE]"));
    EXPECT_EQ(sold.find("PAGE"), std::string::npos) << sold;
    // Counted stock with back orders allowed, or stock that is not counted, stays available.
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=BACKORD"), "stock=[2]"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=SHIRTS&PID=NOCOUNT"), "stock=[0]"));

    std::string locked = mall.Page(Shopper(1), "CMD=prodinfo&SID=ACME&DID=CLOSED&PID=LOCKED");
    EXPECT_TRUE(Shows(locked, "order=[<!--|-->]"));
    EXPECT_TRUE(Shows(locked, "store=[ACME|Acme Goods|sysop@shopvera.example|lb] dept=[CLOSED|Closed]"));
}

// The shipped pages, as a browser uses them: the product page's form orders with a choice of
// each format, the cart shows the line with its forms, and its remove form empties the order.
TEST(ProductPage, TheShippedPagesTakeAShopperFromTheProductToTheCartAndBack) {
    CartMall mall(false);
    std::string page = mall.Page(Shopper(1), kRedShirt);
    EXPECT_EQ(page.find("Unable to open script"), std::string::npos) << page;
    EXPECT_TRUE(Shows(page, "<form class=\"order-form\" action=\"/webmall\" method=\"get\">"));
    EXPECT_TRUE(Shows(page, "<input type=\"hidden\" name=\"PID\" value=\"RED+SHIRT\">"));
    EXPECT_TRUE(Shows(page, "<label><input type=\"radio\" name=\"R1\" value=\"2\" > Large</label>"));
    EXPECT_TRUE(Shows(page, "<label><input type=\"radio\" name=\"R2\" value=\"1\" > Blue</label>"));
    EXPECT_TRUE(Shows(page, "<label for=\"OrderQuant\">Quantity</label>"));
    EXPECT_TRUE(Shows(page, "<tr><td>10 to 20</td><td class=\"saving\">15.0000 % on every unit</td></tr>"));

    // What the browser sends for that form: the '+' of the identifier encoded.
    page = mall.Page(Shopper(1), "CMD=order&SID=ACME&DID=SHIRTS&PID=RED%2BSHIRT&R1=2&R2=1&OrderQuant=3");
    EXPECT_TRUE(Shows(page, "<h1>Your order was updated</h1>"));
    page = mall.Page(Shopper(1), kRedShirt);
    EXPECT_TRUE(Shows(page, "value=\"2\" CHECKED> Large"));
    EXPECT_TRUE(Shows(page, "value=\"3\" required>"));

    page = mall.Page(Shopper(1), "CMD=shopcart");
    EXPECT_EQ(page.find("Unable to open script"), std::string::npos) << page;
    EXPECT_TRUE(Shows(page, ">Red shirt</a></th>\n<td>Large / Blue</td>"));
    EXPECT_TRUE(Shows(page, "<input type=\"hidden\" name=\"R1\" value=\"2\"><input type=\"hidden\" name=\"R2\" value=\"1\">"));
    EXPECT_TRUE(Shows(page, "<input type=\"hidden\" name=\"PID\" value=\"RED SHIRT\">"));
    EXPECT_TRUE(Shows(page, "<input type=\"hidden\" name=\"OrderQuant\" value=\"0\">"));
    EXPECT_TRUE(Shows(page, "<td class=\"amount\"><span class=\"currency\">$</span>30.00</td>"));

    // The change form keeps the choices; the remove form empties the order.
    mall.Page(Shopper(1), "CMD=order&SID=ACME&DID=SHIRTS&PID=RED+SHIRT&R1=2&R2=1&OrderQuant=4");
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=shopcart"), "<td>Large / Blue</td>"));
    page = mall.Page(Shopper(1), "CMD=order&SID=ACME&DID=SHIRTS&PID=RED+SHIRT&OrderQuant=0");
    EXPECT_TRUE(Shows(page, "Your order is now empty."));
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=killorder"), "Your order is cancelled"));
    EXPECT_TRUE(Shows(mall.Page(Shopper(1), "CMD=debug"), "<dt>Order in progress</dt><dd>No</dd>"));
}

// Amounts carry the currency of message 52; an installation whose message file has none shows
// bare amounts, and no trace line complains about the message.
TEST(ProductPage, AmountsCarryTheCurrencyOfTheMessageFileWhenItHasOne) {
    {
        CartMall mall(false);
        std::string page = mall.Page(Shopper(1), kRedShirt);
        EXPECT_TRUE(Shows(page, "<dd class=\"price\"><span class=\"currency\">$</span>10.00</dd>"));
    }
    e2e::TempRoot root;
    ASSERT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
    e2e::write_file(root.file("catalogue.json"), cart::kCatalogue);
    ASSERT_EQ(e2e::mallctl(root.path(), {"import", root.file("catalogue.json")}).status, 0);
    std::string mcv = e2e::read_file(root.file("kvzsvw.mcv"));
    size_t at = mcv.find("\n52: ");
    ASSERT_NE(at, std::string::npos);
    mcv.erase(at + 1, mcv.find('\n', at + 1) - at);
    e2e::write_file(root.file("kvzsvw.mcv"), mcv);
    e2e::Host host(root.path());
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    std::string page = e2e::get(host.port(), std::string("/webmall?") + kRedShirt, Shopper(1)).body;
    EXPECT_TRUE(Shows(page, "<dd class=\"price\"><span class=\"currency\"></span>10.00</dd>"));
    EXPECT_EQ(e2e::read_file(root.file("trace.log")).find("message 52"), std::string::npos);
}

}  // namespace
