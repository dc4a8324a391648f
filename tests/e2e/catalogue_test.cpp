// Catalogue browsing in a real hostd: the store list and store pages, department and product
// lists, keyword search and the image locators, as several shoppers see them. The tests'
// templates print the entries a page sets between brackets; a row of a list is one "ROW" line.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <map>
#include <regex>
#include <sstream>

#include "tests/e2e/catalogue_fixture.h"
#include "tests/e2e/harness.h"

namespace {

using e2e::Host;
using e2e::TempRoot;

const std::map<std::string, std::string> kEntryTemplates = {
    {"swstlst.htm",
     "HEAD sid=[_STOREID_] prod=[_PRODID_] dept=[_DEPTID_] mall=[_MALLNAME_] root=[_roothtm_] "
     "img=[_MALLIMAGE_] shop=[_SHOP_]\n"
     "###ROW [_STOREID_|_STORENAME_|_STOREMAIL_|_STOREICON_|_STOREDESC_]\n"
     "###TAIL [_C1_|_C2_] last=[_LAST_] after=[_STOREID_]\n"},
    {"swstinfo.htm",
     "INFO id=[_STOREID_] name=[_STORENAME_] mail=[_STOREMAIL_] desc=[_STOREDESC_] "
     "bkg=[_STOREBKG_] csz=[_STORECSZ_] manager=[_STOREMANAGER_] country=[_STORECOUNTRY_] "
     "addr=[_STOREADDR_] phone=[_STOREPHONE_] fax=[_STOREFAX_] prod=[_PRODID_] dept=[_DEPTID_]\n"},
    {"swdptlst.htm",
     "HEAD store=[_STOREID_|_STORENAME_|_STOREMAIL_|_STOREBKG_] prod=[_PRODID_] dept=[_DEPTID_]\n"
     "###ROW [_DEPTID_|_DEPTNAME_|_DEPTDESC_|_DEPTICON_]\n"
     "###TAIL [_C1_|_C2_] last=[_LAST_] after=[_DEPTID_]\n"},
    {"swprdlst.htm",
     "HEAD store=[_STOREID_|_STORENAME_] dept=[_DEPTID_|_DEPTNAME_|_DEPTICON_]\n"
     "###ROW [_PRODID_|_PRODNAME_|_PRODPRICE_|_INFO_]\n"
     "###TAIL [_C1_|_C2_] last=[_LAST_] after=[_PRODID_]\n"},
    {"SWKEYRES.HTM",
     "HEAD kw=[_KEYWORD_] sid=[_STOREID_] did=[_DEPTID_]\n"
     "###ROW [_STOREID_|_DEPTID_|_PRODID_|_PRODNAME_|_PRODPRICE_|_INFO_]\n"
     "###TAIL [_C1_|_C2_] pos=[_POS_] cnt=[_CNT_] kw=[_KEYWORD_] stype=[_STYPE_] "
     "last=[_STOREID_|_DEPTID_|_PRODID_|_PRODPRICE_|_INFO_]\n"},
    {"SWKSRCH1.htm", "FORM1 sid=[_STOREID_] did=[_DEPTID_] pid=[_PRODID_]\n"},
    {"SWKSRCH2.htm", "FORM2 sid=[_STOREID_] did=[_DEPTID_] pid=[_PRODID_]\n"},
    {"SWKSRCH3.htm", "FORM3 sid=[_STOREID_] did=[_DEPTID_] pid=[_PRODID_]\n"},
};

// Sets options: each line replaces the line of the same number ("12: 2" replaces "12: 10").
void set_options(const std::string &file, const std::string &lines) {
    std::istringstream in(e2e::read_file(file) + lines);
    std::map<std::string, std::string> last;  // number -> the line that wins
    std::vector<std::string> order;
    std::string line;
    while (std::getline(in, line)) {
        std::string number = line.empty() || line[0] == '#' ? "" : line.substr(0, line.find(':'));
        if (number.empty()) continue;
        if (!last.count(number)) order.push_back(number);
        last[number] = line;
    }
    std::string text;
    for (const std::string &number : order) text += last[number] + "\n";
    e2e::write_file(file, text);
}

// The catalogue every test here browses. Store K needs the key GOLD; store M alone has an
// extended record, so on key 1 it lies right behind M's departments.
void seed(const std::string &root) {
    e2e::Catalogue c(root);
    c.store({"K", "Kite Shop", "kiteman", "GOLD", "k.gif", "Kites <b>high</b>"});
    c.store({"L", "Lamp World", "lampman", "", "l.gif", "Light"});
    c.store({"M", "Mug House", "", "", "", "Mugs"});
    c.extended("M", {"Mia Mug", "1 Cup Lane", "Teaville TV 12345", "Mugland", "555-0100", "555-0101"});

    c.department({.store = "K", .id = "\x01", .name = "Reserved"});
    c.department({.store = "K", .id = "D9", .name = "Nine"});
    c.department({.store = "L", .id = "D1", .name = "Desk lamps", .icon = "d1.png", .description = "Bright"});
    c.department({.store = "L", .id = "D2", .name = "Shirts"});
    c.department({.store = "L", .id = "D3", .name = "Empty", .icon = "../D1/d1.png"});
    c.department({.store = "M", .id = "X", .name = "Mugs"});

    const uint16_t count = 0x08, back_order = 0x10, member = 0x04;
    c.product({.store = "L", .dept = "D1", .id = "P1", .name = "Sold out", .flags = count, .price = 1});
    c.product({.store = "L", .dept = "D1", .id = "P2", .name = "Desk lamp", .flags = count, .price = 10,
               .info_kind = 1, .stock = 5});
    c.product({.store = "L", .dept = "D1", .id = "P3", .name = "Floor lamp", .flags = count | back_order,
               .price = 12.5f});
    c.product({.store = "L", .dept = "D1", .id = "P4", .name = "Lamp shade", .price = 7.25f, .stock = -3});
    c.product({.store = "L", .dept = "D2", .id = "A1", .name = "Club shirt", .flags = member, .price = 8,
               .member_price = 5, .member_key = "MEMBER"});
    c.product({.store = "L", .dept = "D2", .id = "A2", .name = "Plain shirt", .price = 3});
    c.product({.store = "L", .dept = "D2", .id = "RED SHIRT", .name = "Red shirt", .price = 9.5f});
    c.product({.store = "M", .dept = "X", .id = "M1", .name = "Mug lamp", .price = 4});
    c.product({.store = "K", .dept = "D9", .id = "K1", .name = "Kite", .price = 20});

    c.keyword("L", "D1", "LAMP", "P2");
    c.keyword("M", "X", "LAMP", "M1");
    c.keyword("L", "D1", "LAMPS", "P3");
    c.keyword("L", "D1", "LAMPSHADE", "P4");
    c.keyword("L", "D1", "TABLELAMP", "P2");
    c.keyword("K", "D9", "KITE", "K1");
    c.keyword("L", "D1", "ZAP", "GONE");
    c.keyword("L", "D1", "ZAP", "P1");
    c.keyword("L", "D1", "ZAP", "GONE2");
    c.keyword("L", "D1", "ZAP", "P2");
}

// A root laid out by mallctl init with the shoppers' accounts and the catalogue above; pages
// of 2 rows everywhere.
struct MallRoot {
    explicit MallRoot(const std::string &options, bool entry_templates = true) {
        EXPECT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
        EXPECT_EQ(e2e::mallctl(root.path(), {"user", "add", "alice", "--password", "secret", "--key", "GOLD",
                                             "--key", "MEMBER"}).status, 0);
        EXPECT_EQ(e2e::mallctl(root.path(), {"user", "add", "bob", "--password", "builder"}).status, 0);
        EXPECT_EQ(e2e::mallctl(root.path(), {"user", "add", "kiteman", "--password", "x", "--alias", "kites"}).status, 0);
        set_options(root.file("kvzsvw.mcv"), "12: 2\n13: 2\n14: 2\n" + options);
        if (entry_templates)
            for (const auto &[name, text] : kEntryTemplates) e2e::write_file(root.file("kvzsvw/" + name), text);
        seed(root.path());
    }
    TempRoot root;
};

// The text between the brackets behind label ("last=" gives what "last=[...]" holds).
std::string entry(const std::string &body, const std::string &label) {
    size_t at = body.find(label + "[");
    if (at == std::string::npos) return "(no " + label + ")";
    at += label.size() + 1;
    return body.substr(at, body.find(']', at) - at);
}

std::vector<std::string> rows(const std::string &body) {
    std::vector<std::string> out;
    for (size_t at = body.find("ROW ["); at != std::string::npos; at = body.find("ROW [", at)) {
        at += 5;
        out.push_back(body.substr(at, body.find("]\n", at) - at));
    }
    return out;
}

using Rows = std::vector<std::string>;
const char kShown[] = "|";        // an open section switch
const char kHidden[] = "<!--|-->"; // a closed one

// A mall with open access and one hostd for all tests of the suite.
class OpenMall : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        mall_ = new MallRoot("2: YES\n");
        host_ = new Host(mall_->root.path(), {"--time-scale", "10"});
    }
    static void TearDownTestSuite() {
        delete host_;
        delete mall_;
        host_ = nullptr;
        mall_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(host_->ready()) << host_->stderr_text(); }

    static std::string page(const std::string &query, const std::string &from = "127.0.0.2",
                            const std::string &user = "") {
        e2e::Response r = e2e::get(host_->port(), "/webmall?" + query, from, user);
        EXPECT_EQ(r.status, 200) << query;
        return r.body;
    }
    static std::string file(const std::string &relative) { return mall_->root.file(relative); }

    static MallRoot *mall_;
    static Host *host_;
};
MallRoot *OpenMall::mall_ = nullptr;
Host *OpenMall::host_ = nullptr;

TEST_F(OpenMall, StoreListPagesThroughTheStoresWithLast) {
    std::string p = page("CMD=storelist&SID=abc&PRODID=P9&DID=D7");
    EXPECT_EQ(entry(p, "sid="), "abc");
    EXPECT_EQ(entry(p, "prod="), "P9");
    EXPECT_EQ(entry(p, "dept="), "D7");
    EXPECT_EQ(entry(p, "mall="), "Shopvera Web Mall");
    EXPECT_EQ(entry(p, "root="), "/webmall");
    EXPECT_EQ(entry(p, "shop="), "<span class=\"cart-link muted\">Your cart is empty</span>");
    // The mail address is the manager's alias and the suffix; catalogue texts keep their markup.
    EXPECT_EQ(rows(p), (Rows{"K|Kite Shop|kites@shopvera.example||Kites <b>high</b>",
                             "L|Lamp World|lampman@shopvera.example||Light"}));
    // The next page goes on from M with its last character one lower.
    EXPECT_EQ(entry(p, "TAIL "), kShown);
    EXPECT_EQ(entry(p, "last="), "L");
    EXPECT_EQ(entry(p, "after="), "L") << "the row entries stay after the list";

    p = page("CMD=storelist&LAST=L", "127.0.0.3");
    EXPECT_EQ(rows(p), Rows{"M|Mug House|@shopvera.example||Mugs"});
    EXPECT_EQ(entry(p, "TAIL "), kHidden);
    EXPECT_EQ(entry(p, "last="), "_LAST_") << "no further page: LAST is not set";

    // A full page that ends with the last store: the next record is a department, not a store.
    p = page("CMD=storelist&LAST=K");
    EXPECT_EQ(rows(p).size(), 2u);
    EXPECT_EQ(entry(p, "TAIL "), kHidden);

    p = page("CMD=storelist&LAST=ZZZ&SID=abc");
    EXPECT_TRUE(rows(p).empty());
    EXPECT_EQ(entry(p, "TAIL "), kHidden);
    EXPECT_EQ(entry(p, "after="), "abc");
}

TEST_F(OpenMall, StoreInformationShowsTheAddressOnlyWhereThereIsOne) {
    std::string p = page("CMD=storeinfo&SID=m&PID=P1&DID=X");
    EXPECT_EQ(entry(p, "id="), "M");
    EXPECT_EQ(entry(p, "name="), "Mug House");
    EXPECT_EQ(entry(p, "manager="), "Mia Mug");
    EXPECT_EQ(entry(p, "addr="), "1 Cup Lane");
    EXPECT_EQ(entry(p, "csz="), "Teaville TV 12345");
    EXPECT_EQ(entry(p, "country="), "Mugland");
    EXPECT_EQ(entry(p, "phone="), "555-0100");
    EXPECT_EQ(entry(p, "fax="), "555-0101");
    EXPECT_EQ(entry(p, "prod="), "P1");
    EXPECT_EQ(entry(p, "dept="), "X");

    p = page("CMD=storeinfo&SID=L", "127.0.0.3");
    EXPECT_EQ(entry(p, "name="), "Lamp World");
    EXPECT_EQ(entry(p, "csz="), "_STORECSZ_") << "no extended record: the address tokens stay";
    EXPECT_EQ(entry(p, "phone="), "_STOREPHONE_");

    for (const char *sid : {"NOPE", "", "..", "LLLLLLLLL"}) {
        p = page(std::string("CMD=storeinfo&SID=") + sid);
        EXPECT_NE(p.find("That store was not found in the mall."), std::string::npos) << sid;
        EXPECT_EQ(p.find("INFO id="), std::string::npos) << sid;
    }

    // A store's own copy of a template wins over the shared one, found whatever its spelling.
    e2e::write_file(file("kvzsvw/m/SWSTINFO.HTM"), "OWN [_STORENAME_]\n");
    EXPECT_EQ(entry(page("CMD=storeinfo&SID=M"), "OWN "), "Mug House");
    std::filesystem::remove_all(file("kvzsvw/m"));
}

TEST_F(OpenMall, DepartmentListsStayInTheirStore) {
    std::string p = page("CMD=deptlist&SID=l&PID=P2&DID=D7");
    EXPECT_EQ(entry(p, "HEAD store="), "l|Lamp World|lampman@shopvera.example|");
    EXPECT_EQ(entry(p, "prod="), "P2");
    EXPECT_EQ(entry(p, "dept="), "D7");
    EXPECT_EQ(rows(p), (Rows{"D1|Desk lamps|Bright|", "D2|Shirts||"}));
    EXPECT_EQ(entry(p, "TAIL "), kShown);
    EXPECT_EQ(entry(p, "last="), "D2") << "D3 with its last character one lower";
    EXPECT_EQ(entry(p, "after="), "D2");

    p = page("CMD=deptlist&SID=L&LAST=D2", "127.0.0.3");
    EXPECT_EQ(rows(p), Rows{"D3|Empty||"});
    EXPECT_EQ(entry(p, "TAIL "), kHidden);
    // A full last page: the next department belongs to another store.
    p = page("CMD=deptlist&SID=L&LAST=D1");
    EXPECT_EQ(rows(p).size(), 2u);
    EXPECT_EQ(entry(p, "TAIL "), kHidden);

    // The reserved department ends the list, even before the departments behind it.
    p = page("CMD=deptlist&SID=K");
    EXPECT_EQ(entry(p, "HEAD store="), "K|Kite Shop|kites@shopvera.example|");
    EXPECT_TRUE(rows(p).empty());
    EXPECT_EQ(entry(p, "TAIL "), kHidden);

    // M's departments are the last of key 1; its extended record behind them is no department.
    p = page("CMD=deptlist&SID=M");
    EXPECT_EQ(rows(p), Rows{"X|Mugs||"});
    EXPECT_EQ(entry(p, "TAIL "), kHidden);

    p = page("CMD=deptlist&SID=NOPE");
    EXPECT_NE(p.find("That store was not found in the mall."), std::string::npos);
    EXPECT_EQ(p.find("HEAD"), std::string::npos);
}

TEST_F(OpenMall, ProductListsSkipWhatCannotBeSoldAndStartTheNextPageAtTheNextProduct) {
    std::string p = page("CMD=prodlist&SID=L&DID=d1");
    EXPECT_EQ(entry(p, "HEAD store="), "L|Lamp World");
    EXPECT_EQ(entry(p, "dept="), "D1|Desk lamps|");
    // P1 is out of stock without back orders: skipped, and it takes no place on the page.
    EXPECT_EQ(rows(p), (Rows{"P2|Desk lamp|10.00|Full details", "P3|Floor lamp|12.50|Details"}));
    EXPECT_EQ(entry(p, "TAIL "), kShown);
    EXPECT_EQ(entry(p, "last="), "P4");
    EXPECT_EQ(entry(p, "after="), "P3");

    p = page("CMD=prodlist&SID=L&DID=D1&LAST=P4", "127.0.0.3");
    EXPECT_EQ(rows(p), Rows{"P4|Lamp shade|7.25|Details"}) << "stock not counted: available";
    EXPECT_EQ(entry(p, "TAIL "), kHidden);
    p = page("CMD=prodlist&SID=L&DID=D1&LAST=P3");
    EXPECT_EQ(rows(p).size(), 2u);
    EXPECT_EQ(entry(p, "TAIL "), kHidden) << "a full last page: the next product is another department's";

    // A blank in a product id travels as '+' and comes back as a blank.
    p = page("CMD=prodlist&SID=L&DID=D2");
    EXPECT_EQ(rows(p), (Rows{"A1|Club shirt|8.00|Details", "A2|Plain shirt|3.00|Details"}));
    EXPECT_EQ(entry(p, "last="), "RED+SHIRT");
    p = page("CMD=prodlist&SID=L&DID=D2&LAST=RED+SHIRT");
    EXPECT_EQ(rows(p), Rows{"RED+SHIRT|Red shirt|9.50|Details"});
    EXPECT_EQ(entry(p, "TAIL "), kHidden);

    // A department without products shows nothing of the store's next records.
    p = page("CMD=prodlist&SID=L&DID=D3");
    EXPECT_TRUE(rows(p).empty());
    EXPECT_EQ(entry(p, "TAIL "), kHidden);
    std::string trace = e2e::read_file(file("trace.log"));
    EXPECT_NE(trace.find("Req L:D3:"), std::string::npos);
    EXPECT_NE(trace.find("Fail M:X:M1"), std::string::npos);

    p = page("CMD=prodlist&SID=L&DID=D9");
    EXPECT_NE(p.find("That department was not found in this store."), std::string::npos);
    EXPECT_EQ(p.find("ROW"), std::string::npos);
    p = page("CMD=prodlist&SID=K&DID=D1");
    EXPECT_NE(p.find("That department was not found in this store."), std::string::npos)
        << "another store's department of the same name";
}

TEST_F(OpenMall, MemberPricesNeedAVerifiedShopperWithTheKey) {
    auto club_shirt = [](const std::string &from, const std::string &user) {
        Rows list = rows(page("CMD=prodlist&SID=L&DID=D2", from, user));
        return list.empty() ? "(no rows)" : list[0];
    };
    EXPECT_EQ(club_shirt("127.0.0.4", "alice:secret"), "A1|Club shirt|5.00|Details");
    EXPECT_EQ(club_shirt("127.0.0.5", "bob:builder"), "A1|Club shirt|8.00|Details");
    EXPECT_EQ(club_shirt("127.0.0.4", "alice:wrong"), "A1|Club shirt|8.00|Details");
}

TEST_F(OpenMall, KeywordSearchCarriesItsWalkByPosition) {
    // Mall-wide: two LAMP records of two stores, then LAMPS and LAMPSHADE; never TABLELAMP.
    std::string p = page("CMD=ksearch&STYPE=sm&KEYWORD=lamp");
    EXPECT_EQ(entry(p, "HEAD kw="), "LAMP");
    EXPECT_EQ(rows(p), (Rows{"L|D1|P2|Desk lamp|10.00|Full details", "M|X|M1|Mug lamp|4.00|Details"}));
    EXPECT_EQ(entry(p, "TAIL "), kShown);
    EXPECT_EQ(entry(p, "cnt="), "2");
    EXPECT_EQ(entry(p, "stype="), "SM");
    std::string pos = entry(p, "pos=");
    ASSERT_NE(pos, "0");

    p = page("CMD=ksearch&STYPE=SM&KEYWORD=LAMP&POS=" + pos, "127.0.0.3");
    EXPECT_EQ(rows(p), (Rows{"L|D1|P3|Floor lamp|12.50|Details", "L|D1|P4|Lamp shade|7.25|Details"}));
    EXPECT_EQ(entry(p, "TAIL "), kHidden);

    // One store, three hits with pages of two; M's LAMP never shows.
    p = page("CMD=ksearch&STYPE=SS&SID=l&KEYWORD=LAMP");
    EXPECT_EQ(entry(p, "HEAD kw="), "LAMP");
    EXPECT_EQ(entry(p, "sid="), "L");
    EXPECT_EQ(rows(p).size(), 2u);
    EXPECT_EQ(entry(p, "TAIL "), kShown);
    p = page("CMD=ksearch&STYPE=SS&SID=L&KEYWORD=LAMP&POS=" + entry(p, "pos="));
    EXPECT_EQ(rows(p), Rows{"L|D1|P4|Lamp shade|7.25|Details"});
    EXPECT_EQ(entry(p, "TAIL "), kHidden);
    EXPECT_EQ(entry(p, "stype="), "SS");

    // A store with no keyword at or after the text does not show the next store's.
    p = page("CMD=ksearch&STYPE=SS&SID=K&KEYWORD=LAMP");
    EXPECT_TRUE(rows(p).empty());
    EXPECT_EQ(entry(p, "cnt="), "0");
    EXPECT_EQ(entry(p, "pos="), "0");

    // Exactly a page of hits in one department: no next-page section.
    p = page("CMD=ksearch&STYPE=SD&SID=L&DID=D1&KEYWORD=lamps");
    EXPECT_EQ(rows(p), (Rows{"L|D1|P3|Floor lamp|12.50|Details", "L|D1|P4|Lamp shade|7.25|Details"}));
    EXPECT_EQ(entry(p, "TAIL "), kHidden);
    EXPECT_EQ(entry(p, "stype="), "SD");

    // Hits whose product is gone or cannot be sold are skipped; a page's worth of them ends
    // the page. The gone product still leaves its empty entries behind.
    p = page("CMD=ksearch&STYPE=SM&KEYWORD=ZAP");
    EXPECT_TRUE(rows(p).empty());
    EXPECT_EQ(entry(p, "TAIL "), kHidden);
    EXPECT_EQ(entry(p, "last="), "|||0.00|Details");
}

TEST_F(OpenMall, KeywordRefusalsAndForms) {
    for (const char *query : {"CMD=ksearch&STYPE=SM", "CMD=ksearch&STYPE=SM&KEYWORD="})
        EXPECT_NE(page(query).find("Please enter a word to search for."), std::string::npos) << query;
    for (const char *query : {"CMD=ksearch&STYPE=XX&KEYWORD=LAMP", "CMD=ksearch&KEYWORD=LAMP",
                              "CMD=ksearch&STYPE=SD&SID=L&KEYWORD=LAMP",
                              "CMD=ksearch&STYPE=SD&SID=L&DID=_DEPTID_&KEYWORD=LAMP",
                              "CMD=ksearch&STYPE=ss&SID=_STOREID_&KEYWORD=LAMP"}) {
        std::string p = page(query);
        EXPECT_NE(p.find("Please choose where to search"), std::string::npos) << query;
        EXPECT_EQ(p.find("HEAD"), std::string::npos) << query;
    }

    EXPECT_EQ(entry(page("CMD=keyword&SID=L&DID=D1&PID=P2"), "FORM3 sid="), "L");
    std::string p = page("CMD=keyword&SID=L&DID=_DEPTID_&PID=P2");
    EXPECT_EQ(entry(p, "FORM2 sid="), "L");
    EXPECT_EQ(entry(p, "pid="), "P2");
    EXPECT_EQ(entry(page("CMD=keyword&DID=D1"), "FORM1 sid="), "");
    EXPECT_EQ(entry(page("CMD=keyword&SID=_STOREID_"), "FORM1 sid="), "") << "no order: no store";
}

TEST_F(OpenMall, AnUnfilledStoreTokenMeansTheCurrentOrdersStore) {
    const std::string shopper = "127.0.0.7";
    page("CMD=order&SID=L&DID=D1&PID=P2&OrderQuant=1", shopper);
    std::string p = page("CMD=ksearch&STYPE=ss&SID=_STOREID_&DID=_DEPTID_&KEYWORD=lamp", shopper);
    EXPECT_EQ(entry(p, "sid="), "L");
    EXPECT_EQ(rows(p), (Rows{"L|D1|P2|Desk lamp|10.00|Full details", "L|D1|P3|Floor lamp|12.50|Details"}));
    EXPECT_EQ(entry(page("CMD=keyword&SID=_STOREID_", shopper), "FORM2 sid="), "L");
    // Another shopper has no order.
    EXPECT_NE(page("CMD=ksearch&STYPE=SS&SID=_STOREID_&KEYWORD=lamp", "127.0.0.8").find("Please choose where to search"),
              std::string::npos);
}

TEST_F(OpenMall, RequestTextIsShownAsText) {
    std::string p = page("CMD=storelist&SID=%3Cscript%3E&PRODID=%22x%22&DID=a%27b%26");
    EXPECT_EQ(entry(p, "sid="), "&lt;script&gt;");
    EXPECT_EQ(entry(p, "prod="), "&quot;x&quot;");
    EXPECT_EQ(entry(p, "dept="), "a&#39;b&amp;");  // an encoded '&' stays in its value
    p = page("CMD=storeinfo&SID=M&PID=%3Cb%3E&DID=%3Ci%3E");
    EXPECT_EQ(entry(p, "prod="), "&lt;b&gt;");
    EXPECT_EQ(entry(p, "dept="), "&lt;i&gt;");
    EXPECT_EQ(entry(page("CMD=deptlist&SID=M&DID=%3Cq%3E"), "dept="), "&lt;q&gt;");
    p = page("CMD=ksearch&STYPE=SM&KEYWORD=%3Cimg%3E");
    EXPECT_EQ(entry(p, "HEAD kw="), "&lt;IMG&gt;");
    EXPECT_EQ(entry(p, "kw="), "&lt;IMG&gt;");
    EXPECT_EQ(entry(page("CMD=keyword&SID=L&PID=%3Cu%3E"), "pid="), "&lt;u&gt;");
}

TEST_F(OpenMall, ImagesFallBackAndNeverLeaveTheirDirectory) {
    e2e::write_file(file("www/KVZSV/KVZSVBKG.jpg"), "jpg");
    e2e::write_file(file("www/KVZSV/KVZSVBKG.gif"), "gif");
    e2e::write_file(file("www/KVZSV/K/k.gif"), "icon");
    e2e::write_file(file("www/KVZSV/m/kvzsvbkg.GIF"), "store background");
    e2e::write_file(file("www/KVZSV/L/D1/d1.png"), "department icon");
    std::filesystem::create_directories(file("www/KVZSV/L/D3"));

    EXPECT_EQ(entry(page("CMD=storelist"), "img="), "KVZSV/KVZSVBKG.jpg");
    std::filesystem::remove(file("www/KVZSV/KVZSVBKG.jpg"));
    EXPECT_EQ(entry(page("CMD=storelist"), "img="), "KVZSV/KVZSVBKG.gif");
    std::filesystem::remove(file("www/KVZSV/KVZSVBKG.gif"));
    EXPECT_EQ(entry(page("CMD=storelist"), "img="), "");

    // Icons by the store's identifier; L's icon file is missing.
    Rows stores = rows(page("CMD=storelist"));
    ASSERT_EQ(stores.size(), 2u);
    EXPECT_EQ(stores[0], "K|Kite Shop|kites@shopvera.example|KVZSV/K/k.gif|Kites <b>high</b>");
    EXPECT_EQ(stores[1], "L|Lamp World|lampman@shopvera.example||Light");
    EXPECT_EQ(entry(page("CMD=storeinfo&SID=M"), "bkg="), "KVZSV/M/KVZSVBKG.gif");

    // D3's icon name climbs into D1, where a file of that name does lie: not an icon of D3.
    EXPECT_EQ(rows(page("CMD=deptlist&SID=L")),
              (Rows{"D1|Desk lamps|Bright|KVZSV/L/D1/d1.png", "D2|Shirts||"}));
    EXPECT_EQ(rows(page("CMD=deptlist&SID=L&LAST=D2")), Rows{"D3|Empty||"});

    // The URLs the pages give are the ones the host serves.
    for (const char *url : {"/KVZSV/K/k.gif", "/KVZSV/M/KVZSVBKG.gif", "/KVZSV/L/D1/d1.png"})
        EXPECT_EQ(e2e::get(host_->port(), url).status, 200) << url;
    for (const char *dir : {"K", "m", "L"}) std::filesystem::remove_all(file(std::string("www/KVZSV/") + dir));
}

// Without open access: every shopper signs on, and store K needs the key GOLD (alice has it).
class ClosedMall : public OpenMall {
  protected:
    static void SetUpTestSuite() {
        mall_ = new MallRoot("2: NO\n");
        host_ = new Host(mall_->root.path(), {"--time-scale", "10"});
    }
};

TEST_F(ClosedMall, AStoreKeyHidesTheStoreAndGuardsItsPages) {
    EXPECT_EQ(e2e::get(host_->port(), "/webmall?CMD=storelist").status, 401);

    // Bob's first page holds only L: the store he may not see still takes its place.
    std::string p = page("CMD=storelist", "127.0.0.2", "bob:builder");
    EXPECT_EQ(rows(p), Rows{"L|Lamp World|lampman@shopvera.example||Light"});
    EXPECT_EQ(entry(p, "last="), "L");
    p = page("CMD=storelist", "127.0.0.3", "alice:secret");
    EXPECT_EQ(rows(p).size(), 2u);
    EXPECT_EQ(entry(p, "last="), "L");

    p = page("CMD=storeinfo&SID=K", "127.0.0.2", "bob:builder");
    EXPECT_EQ(entry(p, "name="), "_STORENAME_") << "the page without the store's texts";
    EXPECT_EQ(entry(p, "id="), "_STOREID_");
    EXPECT_EQ(entry(page("CMD=storeinfo&SID=K", "127.0.0.3", "alice:secret"), "name="), "Kite Shop");

    for (const char *query : {"CMD=deptlist&SID=K", "CMD=prodlist&SID=K&DID=D9"}) {
        p = page(query, "127.0.0.2", "bob:builder");
        EXPECT_NE(p.find("Your account does not have access"), std::string::npos) << query;
        EXPECT_EQ(p.find("HEAD"), std::string::npos) << query;
        EXPECT_NE(page(query, "127.0.0.3", "alice:secret").find("HEAD store=[K"), std::string::npos) << query;
    }
    EXPECT_EQ(rows(page("CMD=prodlist&SID=K&DID=D9", "127.0.0.3", "alice:secret")),
              Rows{"K1|Kite|20.00|Details"});

    p = page("CMD=ksearch&STYPE=SM&KEYWORD=KITE", "127.0.0.2", "bob:builder");
    EXPECT_TRUE(rows(p).empty());
    EXPECT_EQ(entry(p, "cnt="), "0");
    p = page("CMD=ksearch&STYPE=SM&KEYWORD=KITE", "127.0.0.3", "alice:secret");
    EXPECT_EQ(rows(p), Rows{"K|D9|K1|Kite|20.00|Details"});
}

// The shipped templates: every entry filled, and the links lead from page to page.
TEST(ShippedCatalogueTemplates, LinkTheStoresDepartmentsProductsAndSearch) {
    MallRoot mall("2: YES\n", false);
    Host host(mall.root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    std::regex token("_[A-Za-z0-9]+_");
    auto visit = [&](const std::string &query, const std::vector<std::string> &links) {
        e2e::Response r = e2e::get(host.port(), "/webmall?" + query, "127.0.0.6");
        EXPECT_EQ(r.status, 200) << query;
        EXPECT_EQ(r.body.rfind("<!DOCTYPE html>", 0), 0u) << query;
        EXPECT_NE(r.body.find("<meta charset=\"utf-8\">"), std::string::npos) << query;
        // What a shopper sees: a hidden section may keep the tokens of entries left unset.
        std::string shown = std::regex_replace(r.body, std::regex("<!--[\\s\\S]*?-->"), "");
        EXPECT_FALSE(std::regex_search(shown, token)) << query << "\n" << r.body;
        for (const std::string &link : links)
            EXPECT_NE(shown.find("href=\"/webmall?" + link + "\""), std::string::npos) << query << ": " << link;
        return shown;
    };
    std::string p = visit("CMD=storelist", {"CMD=storeinfo&amp;SID=K", "CMD=deptlist&amp;SID=L",
                                            "CMD=storelist&amp;LAST=L", "CMD=keyword"});
    EXPECT_NE(p.find("Kites <b>high</b>"), std::string::npos);
    p = visit("CMD=storelist&LAST=L", {"CMD=storeinfo&amp;SID=M"});
    EXPECT_EQ(p.find("More stores"), std::string::npos) << "the next-page link is commented out";

    p = visit("CMD=storeinfo&SID=M", {"CMD=deptlist&amp;SID=M", "CMD=keyword&amp;SID=M"});
    EXPECT_NE(p.find("Teaville TV 12345"), std::string::npos);
    visit("CMD=deptlist&SID=L", {"CMD=prodlist&amp;SID=L&amp;DID=D1", "CMD=storeinfo&amp;SID=L",
                                 "CMD=deptlist&amp;SID=L&amp;LAST=D2", "CMD=keyword&amp;SID=L"});
    p = visit("CMD=prodlist&SID=L&DID=D1",
              {"CMD=prodinfo&amp;SID=L&amp;DID=D1&amp;PID=P2", "CMD=prodlist&amp;SID=L&amp;DID=D1&amp;LAST=P4",
               "CMD=keyword&amp;SID=L&amp;DID=D1", "CMD=deptlist&amp;SID=L"});
    EXPECT_NE(p.find("10.00"), std::string::npos);
    EXPECT_NE(p.find("Full details"), std::string::npos);

    p = visit("CMD=keyword&SID=L&DID=D1", {});
    EXPECT_NE(p.find("<label for=\"keyword\">"), std::string::npos);
    EXPECT_NE(p.find("value=\"SD\""), std::string::npos);
    p = visit("CMD=ksearch&STYPE=SS&SID=L&KEYWORD=lamp",
              {"CMD=prodinfo&amp;SID=L&amp;DID=D1&amp;PID=P2", "CMD=keyword"});
    std::smatch more;
    ASSERT_TRUE(std::regex_search(p, more, std::regex("CMD=ksearch&amp;STYPE=SS&amp;SID=L&amp;DID=D1&amp;KEYWORD=LAMP&amp;POS=([0-9]+)")));
    p = visit("CMD=ksearch&STYPE=SS&SID=L&DID=D1&KEYWORD=LAMP&POS=" + more[1].str(),
              {"CMD=prodinfo&amp;SID=L&amp;DID=D1&amp;PID=P4"});
    EXPECT_EQ(p.find("More results"), std::string::npos);
}

}  // namespace
