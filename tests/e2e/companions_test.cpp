// The mall library in a real hostd: what an operator sees when mall.cfg cannot be used.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/e2e/harness.h"

namespace {

TEST(MallLibrary, AFaultyOrMissingMallCfgIsAuditedAndLeavesTheMallUnhooked) {
    struct Case {
        const char *name;
        const char *config;  // nullptr: no mall.cfg at all
        const char *audit;
    } cases[] = {
        {"faulty line", "data_version: 7\n# options\naccept_orders yes\n",
         "KVZSVALL\tmall.cfg:3: expected 'name: value', found 'accept_orders yes'"},
        {"repeated name", "data_version: 7\nmax_card_years: 5\nmax_card_years: 6\n",
         "KVZSVALL\tmall.cfg:3: max_card_years given twice"},
        {"missing file", nullptr, "KVZSVALL\tmall.cfg: cannot be read"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::TempRoot root;
        ASSERT_EQ(e2e::mallctl(root.path(), {"init"}).status, 0);
        if (c.config) e2e::write_file(root.file("mall.cfg"), c.config);
        else std::remove(root.file("mall.cfg").c_str());
        e2e::Host host(root.path(), {"--time-scale", "10"});
        ASSERT_TRUE(host.ready()) << host.stderr_text();
        std::string audit = e2e::read_file(root.file("audit.log"));
        EXPECT_NE(audit.find(c.audit), std::string::npos) << audit;
        EXPECT_NE(audit.find("Shopvera Version error 0 7"), std::string::npos) << audit;
        EXPECT_EQ(e2e::get(host.port(), "/webmall?CMD=storelist").status, 404);
    }
}

}  // namespace
