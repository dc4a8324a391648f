// Checkout in a real hostd, from the customer details to the totals page, as several shoppers
// see it: anonymous ones and verified users, each from a loopback address of their own. The
// templates print the entries a page sets, one "NAME=value" a line; a repeated block is one line.
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <memory>
#include <regex>

#include "tests/e2e/harness.h"

namespace {

using e2e::Host;
using e2e::Response;
using e2e::TempRoot;

// Store CHK ships by weight from its file and taxes by state (first rate) and city (second
// rate); CMP has no shipping file and compounds its second tax; both allow every option.
constexpr char kCatalogue[] = R"({"stores": [
 {"id": "CHK", "name": "Check & Co", "mail_user": "chk", "po_key": "BUYER",
  "extended": {"options": 2047, "download_options": 513, "weight_format": "lb", "tax_settings": 10,
               "questions": ["Gift wrap?", "", "", "Where did you hear of us?", ""]},
  "departments": [{"id": "GOODS", "name": "Goods"}],
  "formats": [{"name": "SIZE", "choices": ["Small", "Medium", "Large"]}],
  "products": [
   {"department": "GOODS", "id": "Q25", "name": "Quarter pound", "flags": 1, "price": 10, "weight": 0.25,
    "handling_first": 1, "handling_more": 0.5},
   {"department": "GOODS", "id": "W201", "name": "Heavy", "price": 1, "weight": 2.01},
   {"department": "GOODS", "id": "W0", "name": "Weightless", "price": 3},
   {"department": "GOODS", "id": "MEMBER", "name": "Club price", "flags": 4, "price": 50, "member_price": 40,
    "member_key": "CLUB"},
   {"department": "GOODS", "id": "BULK", "name": "Bulk", "price": 20,
    "discounts": [{"min": 5, "max": 9, "percent": 10}, {"min": 10, "max": 99, "percent": 20}]},
   {"department": "GOODS", "id": "EXEMPT", "name": "Resale", "flags": 3, "price": 100, "tax_exempt_key": "RESELL"},
   {"department": "GOODS", "id": "ANYEXEMPT", "name": "Members free", "flags": 3, "price": 100},
   {"department": "GOODS", "id": "SHIRT", "name": "Shirt", "price": 8, "format1": "SIZE", "offered": 7},
   {"department": "GOODS", "id": "EBOOK", "name": "E-book", "flags": 64, "price": 5, "download": "book.pdf"},
   {"department": "GOODS", "id": "FREE", "name": "Leaflet", "flags": 64},
   {"department": "GOODS", "id": "ODD", "name": "Odd cents", "price": 1.75,
    "discounts": [{"min": 1, "max": 99, "percent": 30}]}]},
 {"id": "CMP", "name": "Compound", "mail_user": "cmp",
  "extended": {"options": 96, "download_options": 96, "weight_format": "kg", "tax_settings": 74},
  "departments": [{"id": "GOODS", "name": "Goods"}],
  "products": [{"department": "GOODS", "id": "EXEMPT", "name": "Resale", "flags": 3, "price": 100,
                "tax_exempt_key": "RESELL"}]}]})";

constexpr char kGround[] = "Ground~5.00~2.00~YES";
constexpr char kAir[] = "Air \"Express\" <Co>~15.00~4.00~NO";
constexpr char kDefault[] = "Standard shipping~0.00~0.00~NO";
constexpr char kTaxes[] = "CALIFORNIA~7.25\nCA~5\nSpringfield~10\n";

const std::map<std::string, std::string> kProbeTemplates = {
    {"fail.htm", "ERROR: _error_\n"},
    {"SWSHPTBL.HTM", "CUSTOMER FORM\nDEST=_DEST_\nSID=_STOREID_\nBNAME=_BNAME_\nBCOMPANY=_BCOMPANY_\n"
                     "BSTATE=_BSTATE_\nBZIP=_BZIP_\nSNAME=_SNAME_\nSCOMPANY=_SCOMPANY_\nSADDR2=_SADDR2_\n"
                     "SCITY=_SCITY_\nSSTATE=_SSTATE_\nSZIP=_SZIP_\nSCOUNTRY=_SCOUNTRY_\nSPHONE=_SPHONE_\n"},
    {"INFOSAVE.HTM", "SAVED\n"},
    {"SWPURCH.HTM", "SHIPPING PAGE\nSTORENAME=_STORENAME_\nWEIGHTFMT=_WEIGHTFMT_\n"
                    "###METHOD _METHOD_|_W1_|_WADDL_|_HNDL_|_SHIP_\n###END\n"},
    {"SWORDPO.HTM", "OPTIONS\n###POPT _VPOPT_ _POPT_\n###END\n"},
    {"SWSHPCRT.HTM", "CART\n###ITEM _PID_|_PRODNAME_|_PFMT1_|_PFMT2_|_QUANT_|_PRODPRICE_|_EXTPRICE_\n"
                     "###SUBTOTAL=_SUBTOTAL_\n"},
    {"SWPRCHCC.HTM", "CARD FORM\nPOPT=_POPT_\nOPTVAL=_OPTVAL_\nCCNAME=_CCNAME_\nCCNUM=_CCNUM_\nCCEXP=_CCEXP_\n"
                     "CCADDR=_CCADDR_\nCCZIP=_CCZIP_\n"},
    {"SWPRCHPO.HTM", "PO FORM\nSTORENAME=_STORENAME_\n"},
    {"SWFINAL.HTM", "TOTALS\nPAYTYPE=_PAYTYPE_\nNITEMS=_NITEMS_\nBNAME=_BNAME_\nWEIGHTFMT=_WEIGHTFMT_\n"
                    "###ITEM _PID_|_PRODNAME_|_PFMT1_|_PFMT2_|_QUANT_|_PRODPRICE_|_EXTPRICE_\n"
                    "###SHIPNAME=_SHIPNAME_\nSUBTOTAL=_SUBTOTAL_\nWEIGHTTOTAL=_WEIGHTTOTAL_\nSHIPPING=_SHIPPING_\n"
                    "HANDLING=_HANDLING_\nTAX=_TAX_\nTOTAL=_TOTAL_\n###QUESTION _IA_ _QUES_\n###END\n"},
};

constexpr char kAddress[] = "BNAME=Ann+Buyer&BCOMPANY=Ann+Ltd&BADDR1=1+Main+St&BADDR2=Unit+2&BCITY=Springfield"
                            "&BSTATE=CA&BZIP=90001&BCOUNTRY=USA&BPHONE=555-0100";

std::string Enc(const std::string &text) {
    static const char *hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '~') out += static_cast<char>(c);
        else out += std::string("%") + hex[c >> 4] + hex[c & 15];
    }
    return out;
}

// The value a probe page printed for name ("NAME=value" on its own line); "(absent)" when none.
std::string Entry(const Response &r, const std::string &name) {
    std::smatch m;
    std::regex line("(^|\n)" + name + "=([^\n]*)");
    return std::regex_search(r.body, m, line) ? m[2].str() : "(absent)";
}

// Every line of a probe page that begins with word, the word left out.
std::vector<std::string> Lines(const Response &r, const std::string &word) {
    std::vector<std::string> out;
    std::regex line("(^|\n)" + word + " ([^\n]*)");
    for (auto it = std::sregex_iterator(r.body.begin(), r.body.end(), line); it != std::sregex_iterator(); ++it)
        out.push_back((*it)[2].str());
    return out;
}

std::string ErrorOf(const Response &r) {
    size_t at = r.body.find("ERROR: ");
    return at == std::string::npos ? "(no error)" : r.body.substr(at + 7, r.body.find('\n', at) - at - 7);
}

// One mall for the whole suite; every test shops from addresses of its own.
class Checkout : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        root_ = new TempRoot;
        const std::string root = root_->path();
        ASSERT_EQ(e2e::mallctl(root, {"init"}).status, 0);
        for (const std::vector<std::string> &user :
             {std::vector<std::string>{"alice", "--password", "secret", "--key", "CLUB", "--key", "RESELL", "--key", "BUYER"},
              {"bob", "--password", "bobpw"}, {"carol", "--password", "carolpw"}}) {
            std::vector<std::string> args = {"user", "add"};
            args.insert(args.end(), user.begin(), user.end());
            ASSERT_EQ(e2e::mallctl(root, args).status, 0);
        }
        e2e::write_file(root_->file("catalogue.json"), kCatalogue);
        auto imported = e2e::mallctl(root, {"import", root_->file("catalogue.json")});
        ASSERT_EQ(imported.status, 0) << imported.err;
        e2e::write_file(root_->file("KVZSV/CHK/KVZSVSHP.CFG"), std::string(kGround) + "\r\n\n" + kAir + "\n");
        e2e::write_file(root_->file("KVZSV/CHK/KVZSVTAX.CFG"), kTaxes);
        e2e::write_file(root_->file("KVZSV/CMP/KVZSVTAX.CFG"), kTaxes);
        for (const auto &[name, text] : kProbeTemplates) e2e::write_file(root_->file("kvzsvw/" + name), text);
        std::string verified = kProbeTemplates.at("SWFINAL.HTM");
        e2e::write_file(root_->file("kvzsvw/SWFINALU.HTM"), verified.replace(0, 6, "VERIFIED TOTALS"));
        host_ = new Host(root, {"--time-scale", "10"});
        ASSERT_TRUE(host_->ready()) << host_->stderr_text();
    }
    static void TearDownTestSuite() {
        delete host_;
        delete root_;
    }
    void SetUp() override { ASSERT_TRUE(host_ != nullptr && host_->ready()) << "the suite's mall did not start"; }
    // Whether the trace lines written since the last look hold exactly line.
    static ::testing::AssertionResult TraceWrote(const std::string &line) {
        static e2e::LogReader trace(root_->file("trace.log"));
        std::vector<std::string> lines = trace.new_lines();
        if (e2e::has_line(lines, line)) return ::testing::AssertionSuccess();
        ::testing::AssertionResult failure = ::testing::AssertionFailure();
        failure << "no trace line \"" << line << "\" among:";
        for (const std::string &l : lines) failure << "\n  " << l;
        return failure;
    }

    struct Shopper {
        std::string from, auth;
        Response Get(const std::string &query) const { return e2e::get(host_->port(), "/webmall?" + query, from, auth); }
        Response Post(const std::string &form) const { return e2e::post(host_->port(), "/webmall", form, from, auth); }
        void Add(const std::string &pid, int quantity, const std::string &sid = "CHK", const std::string &more = "") const {
            Response r = Get("CMD=order&SID=" + sid + "&DID=GOODS&PID=" + pid + "&OrderQuant=" +
                             std::to_string(quantity) + more);
            EXPECT_EQ(ErrorOf(r), "(no error)") << pid;
        }
        Response Details(const std::string &fields = kAddress) const { return Post("CMD=submitreg&DEST=s2&" + fields); }
        Response Ship(const std::string &line) const { return Post("CMD=purchopt&SHIPOPT=" + Enc(line)); }
        Response Pay(const std::string &popt) const { return Post("CMD=startpurch&popt=" + popt); }
        Response Card(const std::string &number, const std::string &expiry, const std::string &address = "1 Main St",
                      const std::string &zip = "90001") const {
            return Post("CMD=complete&type=CC&CCNAME=Ann+Buyer&CCNUM=" + Enc(number) + "&CCEXP=" + Enc(expiry) +
                        "&CCADDR=" + Enc(address) + "&CCZIP=" + Enc(zip));
        }
        // Details, a shipping method and a way to pay that needs no details: the totals page.
        Response Totals(const std::string &line = kGround, const std::string &fields = kAddress) const {
            Details(fields);
            Ship(line);
            return Pay("32");
        }
    };
    static Shopper At(int n, const std::string &auth = "") { return {"127.0.0." + std::to_string(n), auth}; }

    static inline TempRoot *root_ = nullptr;
    static inline Host *host_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Customer details

TEST_F(Checkout, DetailsFormAndSubmissionCheckTheirDestinationAndTheOrder) {
    Shopper ann = At(10);
    EXPECT_EQ(ErrorOf(ann.Get("CMD=creg&DEST=s3")), "Invalid request to Get Customer Info");
    EXPECT_EQ(ErrorOf(ann.Post("CMD=submitreg&DEST=s22&" + std::string(kAddress))), "Invalid request to Submit Customer Info");
    EXPECT_EQ(ErrorOf(ann.Get("CMD=creg&DEST=s2")).rfind("You have no order in progress.", 0), 0u);
    EXPECT_EQ(ErrorOf(ann.Details()).rfind("You have no order in progress.", 0), 0u);
    EXPECT_EQ(ann.Get("CMD=creg&DEST=s1").status, 401) << "keeping details needs a user id";
    EXPECT_NE(ann.Post("CMD=submitreg&DEST=S1&" + std::string(kAddress)).body.find("SAVED"), std::string::npos)
        << "an anonymous save stores nothing, and says so no differently";

    ann.Add("Q25", 1);
    Response form = ann.Get("CMD=creg&DEST=S2&SID=CHK");
    EXPECT_EQ(Entry(form, "DEST"), "S2");
    EXPECT_EQ(Entry(form, "BNAME"), "");
    // Shipping fields left empty take the billing ones, company, second line and country too;
    // a state is cut to 5 characters, a zip to 10.
    Response shipping = ann.Details("BSTATE=CALIFORNIA&BZIP=12345-67890&" + std::string(kAddress));
    EXPECT_NE(shipping.body.find("SHIPPING PAGE"), std::string::npos) << shipping.body;
    form = ann.Get("CMD=creg&DEST=s2");
    EXPECT_EQ(Entry(form, "SNAME"), "Ann Buyer");
    EXPECT_EQ(Entry(form, "SCOMPANY"), "Ann Ltd");
    EXPECT_EQ(Entry(form, "SADDR2"), "Unit 2");
    EXPECT_EQ(Entry(form, "SCITY"), "Springfield");
    EXPECT_EQ(Entry(form, "SSTATE"), "CALIF");
    EXPECT_EQ(Entry(form, "SZIP"), "12345-6789");
    EXPECT_EQ(Entry(form, "SCOUNTRY"), "USA");
    EXPECT_EQ(Entry(form, "SPHONE"), "555-0100");

    // A required field left empty changes nothing.
    Response refused = ann.Details("BNAME=Someone+Else&BADDR1=x&BCITY=x&BSTATE=x&BZIP=x");
    EXPECT_EQ(ErrorOf(refused).rfind("Please fill in every billing and shipping field", 0), 0u);
    EXPECT_EQ(Entry(ann.Get("CMD=creg&DEST=s2"), "BNAME"), "Ann Buyer");
}

TEST_F(Checkout, AVerifiedUsersDetailsAreKeptAndOfferedAgain) {
    Shopper carol = At(11, "carol:carolpw"), anonymous = At(11);
    EXPECT_EQ(Entry(carol.Get("CMD=creg&DEST=s1"), "BNAME"), "");
    EXPECT_NE(carol.Post("CMD=submitreg&DEST=s1&BNAME=Carol+C&" + std::string(kAddress)).body.find("SAVED"),
              std::string::npos);
    EXPECT_EQ(Entry(carol.Get("CMD=creg&DEST=s1"), "BNAME"), "Carol C");
    EXPECT_EQ(Entry(carol.Get("CMD=creg&DEST=s1"), "SNAME"), "Carol C");

    // The order from this address holds other details; signed on, carol sees her own.
    anonymous.Add("Q25", 1);
    anonymous.Details("BNAME=Someone+Anonymous&" + std::string(kAddress));
    EXPECT_EQ(Entry(anonymous.Get("CMD=creg&DEST=s2"), "BNAME"), "Someone Anonymous");
    EXPECT_EQ(Entry(carol.Get("CMD=creg&DEST=s2"), "BNAME"), "Carol C");

    // A checkout submission updates her record as well as the order.
    carol.Details("BNAME=Carol+Checkout&" + std::string(kAddress));
    EXPECT_EQ(Entry(carol.Get("CMD=creg&DEST=s1"), "BNAME"), "Carol Checkout");
    EXPECT_EQ(Entry(anonymous.Get("CMD=creg&DEST=s2"), "BNAME"), "Carol Checkout");
}

// ---------------------------------------------------------------------------------------------
// Shipping methods

TEST_F(Checkout, TheShippingPageOffersTheStoresMethodsOrTheDefaultOne) {
    Shopper with_file = At(12), without_file = At(13), no_shipping = At(14);
    with_file.Add("Q25", 1);
    Response r = with_file.Details();
    EXPECT_EQ(Entry(r, "STORENAME"), "Check & Co");
    EXPECT_EQ(Entry(r, "WEIGHTFMT"), "lb");
    EXPECT_EQ(Lines(r, "METHOD"), (std::vector<std::string>{
                                      "Ground|5.00|2.00|YES|Ground~5.00~2.00~YES",
                                      "Air &quot;Express&quot; &lt;Co&gt;|15.00|4.00|NO|Air &quot;Express&quot; &lt;Co&gt;~15.00~4.00~NO"}))
        << "one method a line, the blank line passed over, every text escaped";

    without_file.Add("EXEMPT", 1, "CMP");
    EXPECT_EQ(Lines(without_file.Details(), "METHOD"),
              (std::vector<std::string>{"Standard shipping|0.00|0.00|NO|Standard shipping~0.00~0.00~NO"}));
    EXPECT_TRUE(TraceWrote("Unable to open KVZSV\\CMP\\KVZSVSHP.CFG"));

    no_shipping.Add("EBOOK", 1);
    no_shipping.Add("FREE", 2);
    EXPECT_EQ(Lines(no_shipping.Details(), "METHOD"),
              (std::vector<std::string>{"Standard shipping|0.00|0.00|NO|Standard shipping~0.00~0.00~NO"}));
}

TEST_F(Checkout, OnlyAnOfferedShippingLineIsTakenSoAShopperCannotSetTheCharges) {
    Shopper ann = At(15);
    ann.Add("Q25", 4);
    ann.Details();
    EXPECT_EQ(ErrorOf(ann.Pay("32")).rfind("Please choose a shipping method.", 0), 0u) << "no method chosen yet";
    EXPECT_EQ(ErrorOf(ann.Ship("")).rfind("Please choose a shipping method.", 0), 0u);
    EXPECT_NE(ann.Ship(std::string(kGround) + "\r\n").body.find("OPTIONS"), std::string::npos) << "a line end is ignored";
    for (const char *forged : {"Ground~0.00~0.00~YES", "Ground~5.00~2.00~NO", "Standard shipping~0.00~0.00~NO",
                               "Cheap~0~0~NO"}) {
        EXPECT_EQ(ErrorOf(ann.Ship(forged)).rfind("Please choose a shipping method.", 0), 0u) << forged;
    }
    // The order keeps the method it had.
    Response totals = ann.Pay("32");
    EXPECT_EQ(Entry(totals, "SHIPNAME"), "Ground");
    EXPECT_EQ(Entry(totals, "SHIPPING"), "5.00");
    EXPECT_EQ(Entry(totals, "HANDLING"), "2.50");

    // The method's name as the shopper saw it, escaped on the totals page too.
    EXPECT_EQ(Entry(ann.Totals(kAir), "SHIPNAME"), "Air &quot;Express&quot; &lt;Co&gt;");
}

// ---------------------------------------------------------------------------------------------
// Totals

TEST_F(Checkout, ShippingIsChargedByBegunUnitsOfWeightAndHandlingPerUnit) {
    struct Case { const char *product; int quantity; const char *weight, *shipping, *handling; };
    const Case cases[] = {{"Q25", 4, "1.0000", "5.00", "2.50"}, {"Q25", 6, "1.5000", "7.00", "3.50"},
                          {"Q25", 8, "2.0000", "7.00", "4.50"}, {"W201", 1, "2.0100", "9.00", "0.00"},
                          {"W0", 1, "0.0000", "5.00", "0.00"}};
    int n = 20;
    for (const Case &c : cases) {
        Shopper s = At(n++);
        s.Add(c.product, c.quantity);
        Response r = s.Totals();
        EXPECT_EQ(Entry(r, "WEIGHTTOTAL"), c.weight) << c.product << " x " << c.quantity;
        EXPECT_EQ(Entry(r, "SHIPPING"), c.shipping) << c.weight;
        EXPECT_EQ(Entry(r, "HANDLING"), c.handling) << c.weight;
    }
    // A method without handling charges none.
    Shopper air = At(n);
    air.Add("Q25", 4);
    Response r = air.Totals(kAir);
    EXPECT_EQ(Entry(r, "SHIPPING"), "15.00");
    EXPECT_EQ(Entry(r, "HANDLING"), "0.00");
    // 40.00 + 15.00 shipping + 5 % and 10 % tax on 40.00
    EXPECT_EQ(Entry(r, "TOTAL"), "61.00");
}

TEST_F(Checkout, TwoTaxRatesByShippingStateAndCityCompoundOnlyWithTheCompoundBit) {
    // CA matches the CALIFORNIA line and then the CA line; Springfield the second rate: 5 % and 10 %.
    Shopper plain = At(30), compound = At(31), first_only = At(32);
    plain.Add("EXEMPT", 1);
    EXPECT_EQ(Entry(plain.Totals(), "TAX"), "15.00");
    compound.Add("EXEMPT", 1, "CMP");
    Response r = compound.Totals(kDefault);
    EXPECT_EQ(Entry(r, "TAX"), "15.50");
    EXPECT_EQ(Entry(r, "TOTAL"), "115.50");
    // A line that begins with the first key sets the first rate only, whatever the second says.
    first_only.Add("EXEMPT", 1);
    EXPECT_EQ(Entry(first_only.Totals(kGround, "BSTATE=SPRIN&" + std::string(kAddress)), "TAX"), "10.00");
}

TEST_F(Checkout, TaxExemptionNeedsAVerifiedUserWithTheProductsKey) {
    struct Case { int from; const char *auth, *product, *tax; };
    const Case cases[] = {{33, "", "EXEMPT", "15.00"},         {34, "bob:bobpw", "EXEMPT", "15.00"},
                          {35, "alice:secret", "EXEMPT", "0.00"}, {36, "", "ANYEXEMPT", "15.00"},
                          {37, "bob:bobpw", "ANYEXEMPT", "0.00"}};
    for (const Case &c : cases) {
        Shopper s = At(c.from, c.auth);
        s.Add(c.product, 1);
        Response r = s.Totals();
        EXPECT_EQ(Entry(r, "TAX"), c.tax) << c.product << " " << c.auth;
        EXPECT_EQ(r.body.rfind(*c.auth ? "VERIFIED TOTALS" : "TOTALS", 0), 0u) << "the verified user's page";
    }
}

TEST_F(Checkout, ItemsArePricedWithMemberPricesDiscountBandsAndFormats) {
    Shopper member = At(38, "alice:secret"), guest = At(39);
    member.Add("MEMBER", 1);
    guest.Add("MEMBER", 1);
    guest.Add("BULK", 5);
    guest.Add("SHIRT", 2, "CHK", "&R1=1");
    EXPECT_EQ(Lines(member.Totals(), "ITEM"), (std::vector<std::string>{"MEMBER|Club price|-|-|1|40.00|40.00"}));
    Response r = guest.Totals();
    EXPECT_EQ(Lines(r, "ITEM"), (std::vector<std::string>{"MEMBER|Club price|-|-|1|50.00|50.00",
                                                          "BULK|Bulk|-|-|5|18.00|90.00",
                                                          "SHIRT|Shirt|Medium|-|2|8.00|16.00"}));
    EXPECT_EQ(Entry(r, "SUBTOTAL"), "156.00");
    EXPECT_EQ(Entry(r, "NITEMS"), "3");
    guest.Add("MEMBER", 0);
    guest.Add("SHIRT", 0);
    guest.Add("BULK", 10);
    EXPECT_EQ(Lines(guest.Totals(), "ITEM"), std::vector<std::string>{"BULK|Bulk|-|-|10|16.00|160.00"}) << "the next band";
    guest.Add("BULK", 4);
    EXPECT_EQ(Lines(guest.Totals(), "ITEM"), std::vector<std::string>{"BULK|Bulk|-|-|4|20.00|80.00"}) << "below every band";

    // The cart and the totals charge one unit price, the discounted price worked out in double
    // precision and kept as a float: 1.75 less 30 % is 1.225, kept as 1.22500002, shown 1.23 on
    // both pages (worked out in single precision it would be 1.2249999, shown 1.22).
    Shopper odd = At(52);
    odd.Add("ODD", 2);
    Response cart = odd.Get("CMD=shopcart");
    EXPECT_EQ(Lines(cart, "ITEM"), std::vector<std::string>{"ODD|Odd cents|-|-|2|1.23|2.45"}) << cart.body;
    EXPECT_EQ(Entry(cart, "SUBTOTAL"), "2.45");
    Response totals = odd.Totals();
    EXPECT_EQ(Lines(totals, "ITEM"), std::vector<std::string>{"ODD|Odd cents|-|-|2|1.23|2.45"});
    EXPECT_EQ(Entry(totals, "SUBTOTAL"), "2.45");

    // Two of the five questions asked: two blocks, under the names the submission reads.
    EXPECT_EQ(Lines(r, "QUESTION"), (std::vector<std::string>{"IA0 Gift wrap?", "IA3 Where did you hear of us?"}));
}

// ---------------------------------------------------------------------------------------------
// Purchase options and payment

TEST_F(Checkout, TheOptionsPageListsWhatTheStoreAllowsThisShopper) {
    auto listed = [](const Shopper &s, const std::string &line = kGround) {
        s.Details();
        std::vector<std::string> values;
        for (const std::string &option : Lines(s.Ship(line), "POPT")) values.push_back(option.substr(0, option.find(' ')));
        return values;
    };
    Shopper anonymous = At(40), bob = At(41, "bob:bobpw"), alice = At(42, "alice:secret"), downloads = At(43);
    for (const Shopper *s : {&anonymous, &bob, &alice}) s->Add("Q25", 1);
    using V = std::vector<std::string>;
    EXPECT_EQ(listed(anonymous), (V{"1", "2", "4", "8", "16", "32", "128", "256"}));
    EXPECT_EQ(listed(bob), (V{"1", "2", "4", "8", "16", "32", "128", "256", "512"})) << "no purchase-order key";
    EXPECT_EQ(listed(alice), (V{"1", "2", "4", "8", "16", "32", "64", "128", "256", "512"}));
    downloads.Add("Q25", 1);
    downloads.Add("EBOOK", 1);
    EXPECT_EQ(listed(downloads), (V{"1"})) << "the download set: Visa and the member account, for verified users only";

    // Nothing to pay: straight to the totals.
    Shopper free = At(44);
    free.Add("FREE", 1);
    free.Details();
    Response r = free.Ship(kDefault);
    EXPECT_EQ(r.body.rfind("TOTALS", 0), 0u) << r.body;
    EXPECT_EQ(Entry(r, "PAYTYPE"), "No payment needed");
}

TEST_F(Checkout, AWayToPayIsTakenOnlyWhenAllowedAndAPurchaseOrderOnlyWithTheKey) {
    Shopper anonymous = At(45), bob = At(46, "bob:bobpw"), alice = At(47, "alice:secret"), cmp = At(48);
    for (const Shopper *s : {&anonymous, &bob, &alice}) {
        s->Add("Q25", 1);
        s->Details();
        s->Ship(kGround);
    }
    for (const char *bad : {"0", "abc", "70000", "3x0"})
        EXPECT_EQ(ErrorOf(anonymous.Pay(bad)).rfind("That way to pay is not available for this order.", 0), 0u) << bad;
    EXPECT_EQ(ErrorOf(anonymous.Pay("512")).rfind("That way to pay is not available for this order.", 0), 0u);
    EXPECT_EQ(ErrorOf(anonymous.Pay("1024")), "Check purchases are not supported currently");
    EXPECT_EQ(Entry(bob.Pay("512"), "PAYTYPE"), "Member account");
    cmp.Add("EXEMPT", 1, "CMP");
    cmp.Details();
    cmp.Ship(kDefault);
    EXPECT_EQ(ErrorOf(cmp.Pay("1")).rfind("That way to pay is not available for this order.", 0), 0u) << "not in the store's set";

    const std::string refused_po = "Purchase orders are only accepted from the store's account customers.";
    EXPECT_EQ(ErrorOf(bob.Pay("64")).rfind(refused_po, 0), 0u);
    EXPECT_EQ(ErrorOf(bob.Post("CMD=complete&type=PO&PONUMBER=PO-1")).rfind(refused_po, 0), 0u)
        << "the option refused is no way round its key";
    EXPECT_EQ(bob.Pay("1").body.rfind("CARD FORM", 0), 0u);
    EXPECT_EQ(ErrorOf(alice.Post("CMD=complete&type=PO&PONUMBER=PO-1")).rfind("That way to pay is not available for this order.", 0), 0u)
        << "no way to pay chosen yet";
    alice.Pay("1");
    EXPECT_EQ(ErrorOf(alice.Post("CMD=complete&type=PO&PONUMBER=PO-1")).rfind("That way to pay is not available for this order.", 0), 0u)
        << "a purchase order in place of the card chosen";
    EXPECT_EQ(alice.Pay("64").body.rfind("PO FORM", 0), 0u);
    EXPECT_EQ(ErrorOf(alice.Post("CMD=complete&type=PO&PONUMBER=")).rfind("You have no order in progress.", 0), 0u);
    Response r = alice.Post("CMD=complete&type=PO&PONUMBER=PO-1");
    EXPECT_EQ(r.body.rfind("VERIFIED TOTALS", 0), 0u) << r.body;
    EXPECT_EQ(ErrorOf(alice.Post("CMD=complete&type=XX")).rfind("Please choose a way to pay.", 0), 0u);
}

TEST_F(Checkout, CardsAreCheckedByNumberListTypeAndExpiry) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    auto expiry = [](int month, int year) {
        char text[32];
        std::snprintf(text, sizeof text, "%02d/%02d", month, year % 100);
        return std::string(text);
    };
    int month = local.tm_mon + 1, year = local.tm_year + 1900;
    const std::string this_month = expiry(month, year), last_month = month == 1 ? expiry(12, year - 1) : expiry(month - 1, year);
    const std::string card_refused = "The card number was not accepted.";
    const std::string expiry_refused = "The card's expiry date is not valid or lies in the past.";

    Shopper ann = At(50);
    ann.Add("Q25", 1);
    ann.Details();
    ann.Ship(kGround);
    EXPECT_EQ(Entry(ann.Pay("1"), "POPT"), "Visa");
    EXPECT_EQ(ErrorOf(ann.Post("CMD=complete&type=CC&CCNAME=&CCNUM=4111111111111111")).rfind("Please enter the name on the card.", 0), 0u);
    EXPECT_EQ(ErrorOf(ann.Card("4111111111111112", this_month)).rfind(card_refused, 0), 0u) << "check digit";
    // A refused card empties only its number.
    Response form = ann.Pay("1");
    EXPECT_EQ(Entry(form, "CCNUM"), "");
    EXPECT_EQ(Entry(form, "CCNAME"), "Ann Buyer");
    EXPECT_EQ(Entry(form, "CCEXP"), this_month.substr(0, 2) + this_month.substr(3));
    EXPECT_EQ(ErrorOf(ann.Card("4000 0000 0000 0002", this_month)).rfind(card_refused, 0), 0u) << "listed as bad";
    EXPECT_TRUE(TraceWrote("CheckCreditCard() returned -2"));
    EXPECT_EQ(ErrorOf(ann.Card("5555555555554444", this_month)).rfind(card_refused, 0), 0u) << "a MasterCard for Visa";
    EXPECT_TRUE(TraceWrote("CheckCreditCard() returned -3"));

    EXPECT_EQ(ErrorOf(ann.Card("4111111111111111", last_month)).rfind(expiry_refused, 0), 0u);
    EXPECT_EQ(ErrorOf(ann.Card("4111111111111111", expiry(1, year + 11))).rfind(expiry_refused, 0), 0u) << "beyond max_card_years";
    EXPECT_EQ(ErrorOf(ann.Card("4111111111111111", "13/30")).rfind(expiry_refused, 0), 0u);
    EXPECT_EQ(ErrorOf(ann.Card("4111111111111111", this_month, " \t ")).rfind("Please enter the card's billing address.", 0), 0u);
    EXPECT_EQ(ErrorOf(ann.Card("4111111111111111", this_month, "1 Main St", "##"))
                  .rfind("Please enter the card's billing postal code.", 0),
              0u);
    Response r = ann.Card("4111-1111-1111-1111", this_month);
    EXPECT_EQ(Entry(r, "PAYTYPE"), "Visa") << r.body;
    EXPECT_EQ(Entry(ann.Card("4111111111111111", expiry(12, year + 10)), "PAYTYPE"), "Visa");

    // Option 16 is the card library's type 256.
    EXPECT_EQ(Entry(ann.Pay("16"), "POPT"), "JCB");
    EXPECT_EQ(Entry(ann.Card("3530111333300000", this_month), "PAYTYPE"), "JCB");
}

TEST_F(Checkout, WhatAShopperTypedIsShownAsText) {
    Shopper ann = At(51);
    ann.Add("Q25", 1);
    ann.Details("BNAME=" + Enc("<b>Ann</b>") + "&" + kAddress);
    EXPECT_EQ(Entry(ann.Get("CMD=creg&DEST=s2"), "BNAME"), "&lt;b&gt;Ann&lt;/b&gt;");
    ann.Ship(kGround);
    EXPECT_EQ(Entry(ann.Pay("32"), "BNAME"), "&lt;b&gt;Ann&lt;/b&gt;");
    ann.Pay("1");
    ann.Post("CMD=complete&type=CC&CCNAME=" + Enc("\"><script>") + "&CCNUM=1");
    EXPECT_EQ(Entry(ann.Pay("1"), "CCNAME"), "&quot;&gt;&lt;script&gt;");
}

// The shipped templates: each page's form posts what the next step reads.
TEST(CheckoutPages, TheShippedFormsCarryAPurchaseToTheTotals) {
    TempRoot root;
    ASSERT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
    e2e::write_file(root.file("catalogue.json"), kCatalogue);
    ASSERT_EQ(e2e::mallctl(root.path(), {"import", root.file("catalogue.json")}).status, 0);
    e2e::write_file(root.file("KVZSV/CHK/KVZSVSHP.CFG"), std::string(kGround) + "\n");
    Host host(root.path(), {"--time-scale", "10"});
    ASSERT_TRUE(host.ready()) << host.stderr_text();
    auto get = [&](const std::string &q) { return e2e::get(host.port(), "/webmall?" + q); };
    auto post = [&](const std::string &form) { return e2e::post(host.port(), "/webmall", form); };

    get("CMD=order&SID=CHK&DID=GOODS&PID=Q25&OrderQuant=2");
    Response form = get("CMD=creg&DEST=s2");
    for (const char *field : {"BNAME", "BCOMPANY", "BADDR1", "BADDR2", "BCITY", "BSTATE", "BZIP", "BCOUNTRY", "BPHONE",
                              "BFAX", "SNAME", "SCOMPANY", "SADDR1", "SADDR2", "SCITY", "SSTATE", "SZIP", "SCOUNTRY", "SPHONE"})
        EXPECT_NE(form.body.find(std::string("name=\"") + field + "\""), std::string::npos) << field;
    EXPECT_NE(form.body.find("name=\"DEST\" value=\"s2\""), std::string::npos);

    Response ship = post("CMD=submitreg&DEST=s2&BNAME=" + Enc("<script>x</script>") + "&" + kAddress);
    EXPECT_NE(ship.body.find("name=\"SHIPOPT\" value=\"Ground~5.00~2.00~YES\""), std::string::npos) << ship.body;
    Response options = post("CMD=purchopt&SHIPOPT=" + Enc(kGround));
    EXPECT_NE(options.body.find("name=\"popt\" value=\"1\""), std::string::npos) << options.body;
    Response card = post("CMD=startpurch&popt=1");
    for (const char *field : {"name=\"type\" value=\"CC\"", "name=\"CCNAME\"", "name=\"CCNUM\"", "name=\"CCEXP\"",
                              "name=\"CCADDR\"", "name=\"CCZIP\""})
        EXPECT_NE(card.body.find(field), std::string::npos) << field;
    Response totals = post("CMD=startpurch&popt=32");
    EXPECT_NE(totals.body.find("&lt;script&gt;x&lt;/script&gt;"), std::string::npos);
    EXPECT_EQ(totals.body.find("<script>"), std::string::npos);
    for (const char *field : {"name=\"CMD\" value=\"submit\"", "name=\"IA0\"", "name=\"IA3\"", "name=\"EMAIL\""})
        EXPECT_NE(totals.body.find(field), std::string::npos) << field;
    EXPECT_EQ(totals.body.find("name=\"IA1\""), std::string::npos);
    EXPECT_NE(totals.body.find("<dd class=\"total\"><span class=\"currency\">$</span>26.50</dd>"), std::string::npos) << totals.body;
}

}  // namespace
