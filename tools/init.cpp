// mallctl init: lays out a new mall root from the shipped installation.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "companions/mall/files.h"
#include "tools/commands.h"

namespace mallctl {
namespace fs = std::filesystem;

int cmd_init(const std::string &root, const Args &args) {
    bool demo = false;
    for (const auto &a : args) {
        if (a == "--demo") demo = true;
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
    if (!open_root(root)) return 1;
    MallVars files{};
    if (!OpenMallFiles(&files)) {
        std::fprintf(stderr, "mallctl init: cannot create the mall's data files in %s/data\n", root.c_str());
        return 1;
    }
    if (demo) {
        std::fprintf(stderr, "mallctl init: the demo catalogue is not part of this installation yet\n");
        return 1;
    }
    std::printf("mall root laid out in %s\n", root.c_str());
    return 0;
}

}  // namespace mallctl
