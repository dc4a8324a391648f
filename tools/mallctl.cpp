// mallctl, the operator's tool: lays out a mall root and manages its accounts (and, as they
// come, its catalogue and orders) while hostd may be running on the same root.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host/accounts.h"
#include "host/datafile.h"
#include "tools/commands.h"

namespace mallctl {

std::string site_directory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) {
        path[n] = '\0';
        std::string beside = std::string(path).substr(0, std::string(path).rfind('/')) + "/site";
        struct stat st {};
        if (stat(beside.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return beside;
    }
    return SHOPVERA_SITE_DIR;
}

bool open_root(const std::string &root) {
    if (chdir(root.c_str()) != 0) {
        std::fprintf(stderr, "mallctl: cannot enter root '%s': %s\n", root.c_str(), std::strerror(errno));
        return false;
    }
    mkdir("data", 0755);
    host::datafile_set_directory("data");
    std::string url, why;
    if (!host::datafile_read_config("data.cfg", &url, &why)) {
        std::fprintf(stderr, "mallctl: %s\n", why.c_str());
        return false;
    }
    host::datafile_set_url(url);
    if (!host::accounts_open()) {
        std::fprintf(stderr, url.empty() ? "mallctl: cannot open the account file data/accounts.db\n"
                                         : "mallctl: cannot open the account file in the database of data.cfg\n");
        return false;
    }
    return true;
}

}  // namespace mallctl

namespace {

const char kUsage[] =
    "usage: mallctl --root DIR init [--demo] [--data postgresql://...]\n"
    "       mallctl --root DIR import FILE.json\n"
    "       mallctl --root DIR export\n"
    "       mallctl --root DIR remove SID [DID [PID]]\n"
    "       mallctl --root DIR user add ID --password PW [--alias ALIAS] [--key KEY]...\n"
    "       mallctl --root DIR orders [--store SID]\n"
    "       mallctl --root DIR order SID NUMBER\n";

}  // namespace

int main(int argc, char **argv) {
    std::string root;
    mallctl::Args args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--root" && i + 1 < argc && root.empty()) root = argv[++i];
        else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else args.push_back(a);
    }
    if (root.empty() || args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string command = args.front();
    args.erase(args.begin());
    int status;
    if (command == "init") status = mallctl::cmd_init(root, args);
    else if (command == "user") status = mallctl::cmd_user(root, args);
    else if (command == "orders") status = mallctl::cmd_orders(root, args);
    else if (command == "order") status = mallctl::cmd_order(root, args);
    else if (command == "import") status = mallctl::cmd_import(root, args);
    else if (command == "export") status = mallctl::cmd_export(root, args);
    else if (command == "remove") status = mallctl::cmd_remove(root, args);
    else {
        std::fprintf(stderr, "mallctl: unknown command '%s'\n%s", command.c_str(), kUsage);
        return 2;
    }
    host::datafile_close_all();
    return status;
}
