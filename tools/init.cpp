// mallctl init: lays out a new mall root from the shipped installation.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "companions/mall/files.h"
#include "host/accounts.h"
#include "host/datafile.h"
#include "tools/commands.h"

namespace mallctl {
namespace fs = std::filesystem;

namespace {

// The demo's users: one holds the members-only store's access key and the member-price key,
// the other is a plain member who sees the open stores at the everyday prices.
struct DemoUser {
    const char *id, *password, *alias;
    std::vector<std::string> keys;
};
const DemoUser kDemoUsers[] = {
    {"member", "member1", "Morgan Lee", {"NLCLUB", "BAYCLUB"}},
    {"shopper", "shopper1", "Sam Rivera", {}},
};

// Copies the files of a demo folder over the root's, leaving the root's other files alone.
bool copy_tree(const fs::path &from, const fs::path &to) {
    if (!fs::exists(from)) return true;
    std::error_code ec;
    fs::create_directories(to, ec);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    if (ec) {
        std::fprintf(stderr, "mallctl init: cannot copy %s: %s\n", from.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

// The demo mall in the root just laid out (the working directory): its catalogue, its
// pictures under www/KVZSV/, the stores' own files under KVZSV/, a store's own templates
// under kvzsvw/SID/, and its users.
int install_demo(const fs::path &demo) {
    const fs::path catalogue = demo / "catalogue.json";
    std::string text, error;
    if (!read_text_file(catalogue, &text, &error)) {
        std::fprintf(stderr, "mallctl init: cannot read %s: %s\n", catalogue.c_str(), error.c_str());
        return 1;
    }
    if (import_catalogue(catalogue, text) != 0) return 1;
    if (!copy_tree(demo / "www" / "KVZSV", fs::path("www") / "KVZSV")) return 1;
    if (!copy_tree(demo / "KVZSV", "KVZSV")) return 1;
    if (!copy_tree(demo / "kvzsvw", "kvzsvw")) return 1;
    for (const DemoUser &u : kDemoUsers) {
        if (!host::account_add(u.id, u.password, u.alias, u.keys, &error)) {
            std::fprintf(stderr, "mallctl init: cannot add the demo user %s: %s\n", u.id, error.c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace

int cmd_init(const std::string &root, const Args &args) {
    bool demo = false;
    std::string data_url;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--demo") demo = true;
        else if (a == "--data" && i + 1 < args.size()) data_url = args[++i];
        else {
            std::fprintf(stderr, "mallctl init: unknown argument '%s'\n", a.c_str());
            return 2;
        }
    }
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec) {
        std::fprintf(stderr, "mallctl init: cannot create '%s': %s\n", root.c_str(), ec.message().c_str());
        return 1;
    }
    // An existing mall is never overwritten: its options and templates are the operator's work.
    if (fs::exists(fs::path(root) / "kvzsvw.mdf") || fs::exists(fs::path(root) / "data")) {
        std::fprintf(stderr, "mallctl init: '%s' already holds a mall; nothing changed\n", root.c_str());
        return 1;
    }
    // The data files in PostgreSQL: data.cfg says where, for hostd and every later mallctl. A
    // data.cfg already in the root is kept.
    const fs::path config = fs::path(root) / "data.cfg";
    std::string url = data_url, why;
    if (url.empty() && !host::datafile_read_config(config, &url, &why)) {
        std::fprintf(stderr, "mallctl init: %s\n", why.c_str());
        return 1;
    }
    if (!data_url.empty()) {
        if (data_url.rfind("postgresql://", 0) != 0 && data_url.rfind("postgres://", 0) != 0) {
            std::fprintf(stderr, "mallctl init: --data wants a postgresql://... address\n");
            return 2;
        }
        url = data_url;
    }
    if (!url.empty()) {
        host::datafile_set_url(url);
        if (!host::datafile_create_database(&why)) {
            std::fprintf(stderr, "mallctl init: %s\n", why.c_str());
            return 1;
        }
    }

    const fs::path site = site_directory();
    const char *shipped[] = {"kvzsvw.mdf", "kvzsvw.mcv", "mall.cfg", "kvzsvw", "www"};
    for (const char *name : shipped) {
        fs::path from = site / name;
        if (!fs::exists(from)) continue;
        fs::copy(from, fs::path(root) / name, fs::copy_options::recursive, ec);
        if (ec) {
            std::fprintf(stderr, "mallctl init: cannot copy %s: %s\n", from.c_str(), ec.message().c_str());
            return 1;
        }
    }
    for (const char *dir : {"data", "KVZSV", "KVZSVTMP", "outbox"}) fs::create_directories(fs::path(root) / dir, ec);
    if (!data_url.empty()) {
        FILE *f = std::fopen(config.c_str(), "w");
        if (f == nullptr || std::fprintf(f, "url: %s\n", data_url.c_str()) < 0 || std::fclose(f) != 0) {
            std::fprintf(stderr, "mallctl init: cannot write %s\n", config.c_str());
            return 1;
        }
    }
    if (!open_root(root)) return 1;
    MallVars files{};
    if (!OpenMallFiles(&files)) {
        std::fprintf(stderr, "mallctl init: cannot create the mall's data files in %s\n",
                     url.empty() ? (root + "/data").c_str() : "the database of data.cfg");
        return 1;
    }
    if (demo && install_demo(site / "demo") != 0) return 1;
    std::printf("mall root laid out in %s%s\n", root.c_str(), demo ? " with the demo mall" : "");
    return 0;
}

}  // namespace mallctl
