// The mall and card libraries as the module meets them: the built kvzsvall.so and kvzpos.so,
// loaded from the build's bin directory and called through their exported entries, on real
// data files and a real mall.cfg in a temporary root.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "catalogue/records.h"
#include "orders/customer_record.h"
#include "host/datafile.h"
#include "host/log.h"
#include "orders/records.h"
#include "shell/companions.h"
#include "shell/host.h"

namespace {

namespace fs = std::filesystem;

// <build>/tests/unit_tests -> <build>/bin/NAME
void *OpenLibrary(const char *name) {
    fs::path bin = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin" / name;
    void *library = dlopen(bin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) ADD_FAILURE() << "cannot load " << bin << ": " << dlerror();
    return library;
}

template <typename Fn>
Fn Entry(void *library, const char *name) {
    void *entry = library ? dlsym(library, name) : nullptr;
    if (entry == nullptr) ADD_FAILURE() << "no entry " << name;
    return reinterpret_cast<Fn>(entry);
}

struct Libraries {
    GetVarsFn get_vars = nullptr;
    Strip2AddrFn strip_addr = nullptr;
    Strip2ZipFn strip_zip = nullptr;
    SubmitOrderFn submit_order = nullptr;
    PosAvlFn pos_avl = nullptr;
    CardNumCheckFn card_num_check = nullptr;
    BadCardCheckFn bad_card_check = nullptr;
    CardTypeCheckFn card_type_check = nullptr;
    CheckExpirationFn check_expiration = nullptr;
};

// Loaded once and kept: the option texts of MallVars live as long as the library.
const Libraries &Libs() {
    static Libraries libs = [] {
        Libraries l;
        // The libraries take the host's services from the process that loads them, as from hostd.
        if (dlsym(RTLD_DEFAULT, "_dfaOpen") == nullptr)
            ADD_FAILURE() << "unit_tests must export the host interface (ENABLE_EXPORTS)";
        void *mall = OpenLibrary("kvzsvall.so");
        void *pos = OpenLibrary("kvzpos.so");
        l.get_vars = Entry<GetVarsFn>(mall, "_GetVars");
        l.strip_addr = Entry<Strip2AddrFn>(mall, "_Strip2Addr");
        l.strip_zip = Entry<Strip2ZipFn>(mall, "_Strip2Zip");
        l.submit_order = Entry<SubmitOrderFn>(mall, "_SubmitOrder");
        l.pos_avl = Entry<PosAvlFn>(pos, "_pos_avl");
        l.card_num_check = Entry<CardNumCheckFn>(pos, "_card_num_check");
        l.bad_card_check = Entry<BadCardCheckFn>(pos, "_bad_card_check");
        l.card_type_check = Entry<CardTypeCheckFn>(pos, "_card_type_check");
        l.check_expiration = Entry<CheckExpirationFn>(pos, "_check_expiration");
        return l;
    }();
    return libs;
}

// A temporary mall root as the working directory, as hostd runs in one.
class MallRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(Libs().get_vars, nullptr);
        char pattern[] = "/tmp/companions_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        previous_ = fs::current_path();
        fs::current_path(root_);
        host::reopen_logs();  // the logs are kept open: open them in this root
        host::datafile_close_all();
        host::datafile_set_directory("data");  // as hostd has it: data/ of the root
    }
    void TearDown() override {
        host::datafile_close_all();
        fs::current_path(previous_);
        fs::remove_all(root_);
    }
    static void WriteConfig(const std::string &text) { std::ofstream("mall.cfg", std::ios::binary) << text; }
    static std::string Audit() {
        std::ifstream in("audit.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    MallVars GetVars(int16_t *result = nullptr) {
        MallVars vars;
        std::memset(&vars, 0xAA, sizeof vars);
        int16_t r = Libs().get_vars(&vars);
        if (result) *result = r;
        return vars;
    }

    fs::path root_, previous_;
};

constexpr char kGoodConfig[] =
    "# the mall's settings\n"
    "data_version: 7           # what the module checks\n"
    "max_card_years: 12\n"
    "\n"
    "accept_orders: yes\n"
    "option_text_0: Visa\n"
    "option_text_4: JCB\n"
    "option_text_10: House \\\n"
    "account\n"
    "bad_card: 4000 0000 0000 0002\n"
    "bad_card: 5555-5555-5555-4444\n";

// ---------------------------------------------------------------------------------------------
// _GetVars and _SubmitOrder

TEST_F(MallRoot, GetVarsFillsTheWholeBlockFromMallCfg) {
    WriteConfig(kGoodConfig);
    int16_t result = 0;
    MallVars vars = GetVars(&result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(vars.version, 7);
    EXPECT_EQ(vars.max_card_years, 12);
    EXPECT_STREQ(vars.option_text[0], "Visa");
    EXPECT_STREQ(vars.option_text[4], "JCB");
    EXPECT_STREQ(vars.option_text[10], "House \naccount");
    EXPECT_STREQ(vars.option_text[1], "");
    EXPECT_EQ(vars.unused_2, 0);
    EXPECT_EQ(vars.unused_28, 0);
    EXPECT_EQ(vars.unused_122, 0);
    const HostFile handles[] = {vars.store_file, vars.product_file, vars.format_file,
                                vars.customer_file, vars.order_file, vars.keyword_file};
    for (int i = 0; i < 6; ++i) {
        EXPECT_GE(handles[i], 0) << "file " << i;
        for (int j = 0; j < i; ++j) EXPECT_NE(handles[i], handles[j]);
    }
    EXPECT_TRUE(fs::exists("data/catalogue.db"));
    EXPECT_TRUE(fs::exists("data/customers.db"));
    EXPECT_TRUE(fs::exists("data/orders.db"));
    // An order the library cannot read back from the order file is never accepted: it could
    // neither lower the stock nor tell the store.
    EXPECT_EQ(Libs().submit_order("ACME", 1), 0);

    // Texts handed out earlier stay readable after the block is filled again.
    const char *first = vars.option_text[0];
    WriteConfig("data_version: 7\noption_text_0: Other\n");
    MallVars again = GetVars();
    EXPECT_STREQ(again.option_text[0], "Other");
    EXPECT_STREQ(first, "Visa");
    EXPECT_EQ(again.max_card_years, 10);  // not given: ten years
}

TEST_F(MallRoot, AcceptOrdersNoRefusesEveryOrder) {
    WriteConfig("data_version: 7\naccept_orders: NO\n");
    MallVars vars = GetVars();
    EXPECT_EQ(vars.version, 7);
    EXPECT_EQ(Libs().submit_order("ACME", 1), 0);
    EXPECT_NE(Audit().find("Order ACME 1 refused"), std::string::npos);
}

TEST_F(MallRoot, AFaultyMallCfgDisablesTheMallAndNamesTheLine) {
    struct Case {
        const char *config;
        const char *audit;
    } cases[] = {
        {"data_version: 7\n\nmax_card_years ten\n", "mall.cfg:3: expected 'name: value'"},
        {"data_version: 7\ndata_version: 7\n", "mall.cfg:2: data_version given twice"},
        {"data_version: 7\nacept_orders: no\n", "mall.cfg:2: unknown setting 'acept_orders'"},
        {"data_version: seven\n", "mall.cfg:1: data_version is not a number"},
        {"data_version: 7\naccept_orders: maybe\n", "mall.cfg:2: accept_orders is not yes or no"},
        {"data_version: 7\nmax_card_years: 100\n", "mall.cfg:2: max_card_years is not a number"},
        {"data_version: 7\nbad_card: 4000x\n", "mall.cfg:2: bad_card is not a card number"},
        {"data_version: 7\noption_text_11: Other\n", "mall.cfg:2: unknown setting 'option_text_11'"},
        // The line of a continued entry is the line it starts on.
        {"option_text_1: a \\\nb\nnonsense\n", "mall.cfg:3: expected"},
        {"accept_orders: yes\n", "mall.cfg: data_version missing"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.config);
        WriteConfig(c.config);
        fs::remove("audit.log");
        host::reopen_logs();
        int16_t result = 1;
        MallVars vars = GetVars(&result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(vars.version, 0);
        EXPECT_NE(Audit().find(std::string("KVZSVALL\t") + c.audit), std::string::npos) << Audit();
        EXPECT_EQ(Libs().submit_order("ACME", 1), 0);
        for (const char *text : vars.option_text) EXPECT_NE(text, nullptr);
    }
}

TEST_F(MallRoot, AMissingMallCfgDisablesTheMall) {
    MallVars vars = GetVars();
    EXPECT_EQ(vars.version, 0);
    EXPECT_NE(Audit().find("KVZSVALL\tmall.cfg: cannot be read"), std::string::npos);
}

// The keys the module relies on, through the handles the module gets.
TEST_F(MallRoot, OrderFileKeysOrderAStoresNumbersNumerically) {
    WriteConfig("data_version: 7\n");
    MallVars vars = GetVars();
    _dfaSetBlk(vars.order_file);
    StoredOrderBuffer order{};
    auto insert = [&](const char *store, int32_t number) {
        std::memset(&order, 0, sizeof order);
        order.order.order_number = number;
        std::strcpy(order.order.store_id, store);
        return _dfaInsertV(&order, StoredOrderLength(0, false));
    };
    // Numbers whose bytes sort otherwise than the numbers do.
    EXPECT_EQ(insert("ACME", 2), 1);
    EXPECT_EQ(insert("ACME", 256), 1);
    EXPECT_EQ(insert("ACME", 255), 1);
    EXPECT_EQ(insert("BOLT", 300), 1);
    EXPECT_EQ(insert("acme", 256), 0);  // same store and number: refused, letter case aside

    // The last order of ACME: the record below (ACME, highest number).
    OrderKey0 key0{};
    std::strcpy(key0.store_id, "ACME");
    key0.order_number = INT32_MAX;
    ASSERT_EQ(_dfaAcqLock(&order, &key0, kOrderKeyStore, HOST_GET_LESS, 0), 1);
    EXPECT_EQ(order.order.order_number, 256);

    // Key 1 is the record's first 13 bytes: order number, then store.
    OrderKey1 key1{};
    key1.order_number = 300;
    std::strcpy(key1.store_id, "bolt");
    ASSERT_EQ(_dfaAcqLock(&order, &key1, kOrderKeyNumber, HOST_GET_EQUAL, 0), 1);
    EXPECT_STREQ(order.order.store_id, "BOLT");
    _dfaRstBlk();
}

TEST_F(MallRoot, StoreFileHoldsStoresDepartmentsAndExtendedRecords) {
    WriteConfig("data_version: 7\n");
    MallVars vars = GetVars();
    _dfaSetBlk(vars.store_file);
    StoreRecord store{};
    store.record_type = kRecordStore;
    std::strcpy(store.store_id, "ACME");
    std::strcpy(store.name, "Acme Goods");
    ASSERT_EQ(_dfaInsertV(&store, kStoreRecordSize), 1);
    EXPECT_EQ(_dfaInsertV(&store, kStoreRecordSize), 0);  // one store record per store
    DepartmentRecord dept{};
    dept.record_type = kRecordDepartment;
    std::strcpy(dept.store_id, "ACME");
    for (const char *id : {"TOOLS", "PAINT"}) {
        std::strcpy(dept.dept_id, id);
        ASSERT_EQ(_dfaInsert(&dept), 1);
    }
    EXPECT_EQ(_dfaInsert(&dept), 0);  // PAINT again
    ExtendedStoreRecord extended{};
    extended.record_type = kRecordExtended;
    std::strcpy(extended.store_id, "ACME");
    ASSERT_EQ(_dfaInsert(&extended), 1);
    EXPECT_EQ(_dfaInsert(&extended), 0);

    unsigned char buffer[kStoreFileRecordSize];
    StoreKey0 key{kRecordStore, "acme"};
    ASSERT_EQ(_dfaAcqLock(buffer, &key, kStoreFileKeyType, HOST_GET_EQUAL, 0), 1);
    EXPECT_STREQ(reinterpret_cast<StoreRecord *>(buffer)->name, "Acme Goods");
    // Walking on from the last store lands on a department, a full-size record of the file.
    ASSERT_EQ(_dfaAcqLock(buffer, &key, kStoreFileKeyType, HOST_GET_GREATER, 0), 1);
    EXPECT_EQ(buffer[0], kRecordDepartment);
    EXPECT_EQ(_dfaRecLen(), kStoreFileRecordSize);
    StoreKey1 dept_key{kRecordDepartment, "ACME", "tools"};
    ASSERT_EQ(_dfaAcqLock(buffer, &dept_key, kStoreFileKeyDept, HOST_GET_EQUAL, 0), 1);
    EXPECT_STREQ(reinterpret_cast<DepartmentRecord *>(buffer)->dept_id, "TOOLS");
    _dfaRstBlk();
}

TEST_F(MallRoot, KeywordsMayRepeatAndCustomersMayNot) {
    WriteConfig("data_version: 7\n");
    MallVars vars = GetVars();
    _dfaSetBlk(vars.keyword_file);
    KeywordRecord keyword{"ACME", "TOOLS", "LAMP", "DESK LAMP"};
    EXPECT_EQ(_dfaInsert(&keyword), 1);
    std::strcpy(keyword.product_id, "FLOOR LAMP");
    EXPECT_EQ(_dfaInsert(&keyword), 1);
    KeywordKey1 key{"ACME", "lam"};
    KeywordRecord found{};
    ASSERT_EQ(_dfaAcqLock(&found, &key, kKeywordKeyStore, HOST_GET_GREATER_EQUAL, 0), 1);
    EXPECT_STREQ(found.product_id, "DESK LAMP");
    _dfaRstBlk();

    _dfaSetBlk(vars.customer_file);
    CustomerRecord customer{};
    std::strcpy(customer.user_id, "SYSOP");
    EXPECT_EQ(_dfaInsert(&customer), 1);
    std::strcpy(customer.user_id, "sysop");
    EXPECT_EQ(_dfaInsert(&customer), 0);
    _dfaRstBlk();
}

// ---------------------------------------------------------------------------------------------
// Strip functions

std::string StripAddr(const char *typed) {
    char field[kPaymentTextSize] = {};
    std::strncpy(field, typed, sizeof field - 1);
    return Libs().strip_addr(field);
}

std::string StripZip(const char *typed) {
    char field[kPaymentTextSize] = {};
    std::strncpy(field, typed, sizeof field - 1);
    return Libs().strip_zip(field);
}

TEST(Strip2Addr, TidiesBlanksAndControlCharacters) {
    ASSERT_NE(Libs().strip_addr, nullptr);
    EXPECT_EQ(StripAddr("  12   Main\tStreet \r\n"), "12 Main Street");
    EXPECT_EQ(StripAddr("12\x01Main\x7f St"), "12Main St");
    EXPECT_EQ(StripAddr("K\xc3\xb6nigstra\xc3\x9f" "e 5"), "K\xc3\xb6nigstra\xc3\x9f" "e 5");
    // Nothing usable left: empty, which the payment page refuses.
    EXPECT_EQ(StripAddr("   "), "");
    EXPECT_EQ(StripAddr(" -- . "), "");
    EXPECT_EQ(StripAddr(""), "");
}

TEST(Strip2Addr, KeepsTwentyNineBytesWithoutSplittingACharacter) {
    ASSERT_NE(Libs().strip_addr, nullptr);
    char field[64] = "1234567890123456789012345678\xc3\x9f";  // 28 bytes, then a 2-byte letter
    EXPECT_STREQ(Libs().strip_addr(field), "1234567890123456789012345678");
    std::strcpy(field, "12345678901234567890123456789012");
    EXPECT_STREQ(Libs().strip_addr(field), "12345678901234567890123456789");
    std::strcpy(field, "1234567890123456789012345678 9");  // the cut leaves no trailing blank
    EXPECT_STREQ(Libs().strip_addr(field), "1234567890123456789012345678");
}

TEST(Strip2Zip, KeepsCapitalsDigitsBlanksAndDashes) {
    ASSERT_NE(Libs().strip_zip, nullptr);
    EXPECT_EQ(StripZip(" sw1a   1aa "), "SW1A 1AA");
    EXPECT_EQ(StripZip("12345-6789"), "12345-678");
    EXPECT_EQ(StripZip("D-10115"), "D-10115");
    EXPECT_EQ(StripZip("#12.345!"), "12345");
    EXPECT_EQ(StripZip("12\t345"), "12 345");
    EXPECT_EQ(StripZip("- -"), "");
    EXPECT_EQ(StripZip("\xc3\x9f"), "");
}

// ---------------------------------------------------------------------------------------------
// Card checks

TEST(CardNumCheck, WantsThirteenToNineteenDigitsWithAGoodCheckDigit) {
    const Libraries &l = Libs();
    ASSERT_NE(l.card_num_check, nullptr);
    EXPECT_EQ(l.pos_avl(), 1);
    for (const char *good : {"4111111111111111", "4222222222222", "4000000000000000006",
                             "378282246310005", "4111 1111 1111 1111", "4111-1111-1111-1111"})
        EXPECT_EQ(l.card_num_check(good), 0) << good;
    for (const char *bad : {"4111111111111112", "411111111111", "41111111111111111110",
                            "4111x11111111111", "", "0000000000000000a"})
        EXPECT_NE(l.card_num_check(bad), 0) << bad;
    EXPECT_NE(l.card_num_check(nullptr), 0);
}

TEST(CardTypeCheck, LeadingDigitsAndLengthMustFitTheType) {
    const Libraries &l = Libs();
    ASSERT_NE(l.card_type_check, nullptr);
    struct Case {
        const char *number;
        int16_t type;
        bool fits;
    } cases[] = {
        {"4222222222222", kCardTypeVisa, true},      {"4111111111111111", kCardTypeVisa, true},
        {"4000000000000000006", kCardTypeVisa, true}, {"411111111111111", kCardTypeVisa, false},
        {"5111111111111111", kCardTypeVisa, false},
        {"5100000000000000", kCardTypeMasterCard, true}, {"5599999999999999", kCardTypeMasterCard, true},
        {"2221000000000009", kCardTypeMasterCard, true}, {"2720999999999996", kCardTypeMasterCard, true},
        {"2220999999999999", kCardTypeMasterCard, false}, {"2721000000000000", kCardTypeMasterCard, false},
        {"5000000000000000", kCardTypeMasterCard, false}, {"5600000000000000", kCardTypeMasterCard, false},
        {"555555555555444", kCardTypeMasterCard, false},
        {"378282246310005", kCardTypeAmex, true}, {"341111111111111", kCardTypeAmex, true},
        {"351111111111111", kCardTypeAmex, false}, {"3782822463100050", kCardTypeAmex, false},
        {"6011111111111117", kCardTypeDiscover, true}, {"6011000000000000001", kCardTypeDiscover, true},
        {"6440000000000000", kCardTypeDiscover, true}, {"6499999999999999", kCardTypeDiscover, true},
        {"6500000000000000", kCardTypeDiscover, true}, {"6430000000000000", kCardTypeDiscover, false},
        {"6012000000000000", kCardTypeDiscover, false}, {"60110000000000000", kCardTypeDiscover, false},
        {"3528000000000000", kCardTypeJcb, true}, {"3589000000000000000", kCardTypeJcb, true},
        {"3527999999999999", kCardTypeJcb, false}, {"3590000000000000", kCardTypeJcb, false},
        {"352800000000000", kCardTypeJcb, false},
        // The mall's card options are the five above; JCB is known as 256, not as its option 16.
        {"3528000000000000", 16, false}, {"4111111111111111", 0, false}, {"4111111111111111", 3, false},
        {"4111111111111111", 512, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(l.card_type_check(c.number, c.type) == 0, c.fits) << c.number << " type " << c.type;
    EXPECT_EQ(l.card_type_check("4111 1111 1111 1111", kCardTypeVisa), 0);
    EXPECT_NE(l.card_type_check("4111/1111/1111/1111", kCardTypeVisa), 0);
    EXPECT_NE(l.card_type_check("", kCardTypeVisa), 0);
}

TEST_F(MallRoot, BadCardCheckReadsTheListEachTime) {
    const Libraries &l = Libs();
    EXPECT_EQ(l.bad_card_check("4000000000000002", "", 2), 0);  // no mall.cfg: no list
    WriteConfig(kGoodConfig);
    EXPECT_NE(l.bad_card_check("4000000000000002", "", 2), 0);
    EXPECT_NE(l.bad_card_check("5555555555554444", "", 2), 0);
    EXPECT_NE(l.bad_card_check("5555 5555 5555 4444", "", 2), 0);
    EXPECT_EQ(l.bad_card_check("4111111111111111", "", 2), 0);
    EXPECT_EQ(l.bad_card_check("400000000000000", "", 2), 0);  // a prefix of a listed card

    WriteConfig("data_version: 7\n");
    EXPECT_EQ(l.bad_card_check("4000000000000002", "", 2), 0);

    // Whether a card is listed cannot be told from a broken file: refused, and the operator told.
    WriteConfig("data_version: 7\nbad_card 4111111111111111\n");
    EXPECT_NE(l.bad_card_check("4111111111111111", "", 2), 0);
    EXPECT_NE(Audit().find("KVZPOS\tCard refused: mall.cfg:2:"), std::string::npos) << Audit();
}

std::string Expiry(int months_ahead, bool slash) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    int month = local.tm_year * 12 + local.tm_mon + months_ahead;
    char text[8];
    std::snprintf(text, sizeof text, slash ? "%02d/%02d" : "%02d%02d", month % 12 + 1, month / 12 % 100);
    return text;
}

TEST(CheckExpiration, GoodThroughTheEndOfItsMonth) {
    const Libraries &l = Libs();
    ASSERT_NE(l.check_expiration, nullptr);
    EXPECT_EQ(l.check_expiration(Expiry(0, false).c_str()), 0);
    EXPECT_EQ(l.check_expiration(Expiry(0, true).c_str()), 0);
    EXPECT_EQ(l.check_expiration(Expiry(13, true).c_str()), 0);
    EXPECT_NE(l.check_expiration(Expiry(-1, false).c_str()), 0);
    EXPECT_NE(l.check_expiration(Expiry(-12, true).c_str()), 0);
    for (const char *bad : {"0030", "1330", "13/30", "1/30", "12-30", "12300", "", "ab/cd"})
        EXPECT_NE(l.check_expiration(bad), 0) << bad;
    EXPECT_NE(l.check_expiration(nullptr), 0);
}

}  // namespace
