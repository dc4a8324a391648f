// mallctl user add: host accounts with their password, alias and keys.
#include <cstdio>

#include "host/accounts.h"
#include "tools/commands.h"

namespace mallctl {

int cmd_user(const std::string &root, const Args &args) {
    if (args.size() < 2 || args[0] != "add") {
        std::fprintf(stderr, "usage: mallctl --root DIR user add ID --password PW [--alias ALIAS] [--key KEY]...\n");
        return 2;
    }
    std::string id = args[1], password, alias;
    bool have_password = false;
    std::vector<std::string> keys;
    for (size_t i = 2; i < args.size(); ++i) {
        const std::string &flag = args[i];
        if (i + 1 >= args.size()) {
            std::fprintf(stderr, "mallctl user add: %s wants a value\n", flag.c_str());
            return 2;
        }
        const std::string &value = args[++i];
        if (flag == "--password") {
            password = value;
            have_password = true;
        } else if (flag == "--alias") alias = value;
        else if (flag == "--key") keys.push_back(value);
        else {
            std::fprintf(stderr, "mallctl user add: unknown argument '%s'\n", flag.c_str());
            return 2;
        }
    }
    if (!have_password) {
        std::fprintf(stderr, "mallctl user add: --password is required\n");
        return 2;
    }
    if (!open_root(root)) return 1;
    std::string error;
    if (!host::account_add(id, password, alias, keys, &error)) {
        std::fprintf(stderr, "mallctl user add: %s\n", error.c_str());
        return 1;
    }
    std::printf("user %s added\n", id.c_str());
    return 0;
}

}  // namespace mallctl
