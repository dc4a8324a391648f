// Module loading from the root's .mdf files, module registration, and the library layer that
// modules use to load their own companions by name.
#include "host/modules.h"

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <vector>

#include "host/log.h"
#include "host/loop.h"
#include "host/messages.h"

namespace host {
namespace {

std::string g_library_dir = ".";
std::vector<HostModule *> g_modules;

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// "KVZPOS", "KVZPOS.DLL" or "some\\dir\\kvzpos.dll" all name the file kvzpos.so in the library
// directory.
std::string library_file(const std::string &name) {
    std::string base = name;
    size_t slash = base.find_last_of("/\\");
    if (slash != std::string::npos) base = base.substr(slash + 1);
    std::string low = lower(base);
    if (low.size() > 4 && (low.ends_with(".dll") || low.ends_with(".so")))
        low = low.substr(0, low.rfind('.'));
    return g_library_dir + "/" + low + ".so";
}

std::vector<std::string> mdf_files() {
    std::vector<std::string> files;
    if (DIR *dir = opendir(".")) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && lower(name).ends_with(".mdf")) files.push_back(name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

void load_module(const std::string &mdf) {
    std::map<std::string, KeyedLine> lines;
    std::string error;
    KeyedFileRules rules;
    rules.inline_comments = true;
    if (!read_keyed_lines(mdf, rules, &lines, &error)) fatal(error);
    for (const auto &[key, line] : lines) {
        if (key != "name" && key != "library")
            fatal(mdf + ":" + std::to_string(line.line) + ": unknown setting '" + key + "'");
    }
    auto library = lines.find("library");
    if (library == lines.end() || library->second.text.empty())
        fatal(mdf + ": no 'library:' line naming the module's library");
    const std::string name = library->second.text;
    const std::string file = library_file(name);
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        fatal(mdf + ":" + std::to_string(library->second.line) + ": cannot load module library " + file +
              ": " + dlerror());
    const std::string entry = "_init__" + lower(name);
    auto init = reinterpret_cast<void (*)(void)>(dlsym(handle, entry.c_str()));
    if (init == nullptr)
        fatal(mdf + ":" + std::to_string(library->second.line) + ": " + file + " has no " + entry);
    begin_module_call();
    init();
}

}  // namespace

void set_library_directory(const std::string &dir) { g_library_dir = dir; }
const std::string &library_directory() { return g_library_dir; }

void load_modules() {
    for (const auto &mdf : mdf_files()) load_module(mdf);
}

HostModule *module_by_number(int n) {
    if (n < 1 || n > static_cast<int>(g_modules.size())) return nullptr;
    return g_modules[static_cast<size_t>(n - 1)];
}

void shutdown_modules() {
    for (HostModule *module : g_modules) {
        if (module->shutdown != nullptr) {
            begin_module_call();
            module->shutdown();
        }
    }
}

}  // namespace host

extern "C" int16_t _register_module(struct HostModule *module) {
    if (module == nullptr) return 0;
    module->description[HOST_MODULE_NAME_SIZE - 1] = '\0';
    host::g_modules.push_back(module);
    host::trace_line(std::string("module ") + std::to_string(host::g_modules.size()) + " registered: " +
                     module->description);
    return static_cast<int16_t>(host::g_modules.size());
}

extern "C" void *LoadLibraryA(const char *name) {
    if (name == nullptr) return nullptr;
    std::string file = host::library_file(name);
    void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) host::trace_line(std::string("LoadLibraryA ") + name + ": " + dlerror());
    return handle;
}

extern "C" void *GetProcAddress(void *library, const char *name) {
    if (library == nullptr || name == nullptr) return nullptr;
    return dlsym(library, name);
}

extern "C" int FreeLibrary(void *library) {
    if (library == nullptr) return 0;
    return dlclose(library) == 0 ? 1 : 0;
}
