// A scratch directory for the targets that read files: made once per process, and the process
// works in it, as hostd works in its root.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fuzz {

inline void EnterScratch() {
    static bool entered = false;
    if (entered) return;
    entered = true;
    char dir[] = "/tmp/shopvera_fuzz_XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
        std::perror("scratch directory");
        std::abort();
    }
    // Removed when the run ends; a crash leaves it for a look.
    static std::string path = dir;
    std::atexit([] { std::filesystem::remove_all(path); });
}

inline void WriteFile(const std::string &path, const char *data, size_t size) {
    std::filesystem::path file(path);
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(data, static_cast<std::streamsize>(size));
}

// Splits the input at the first occurrence of separator: the part before and the rest.
inline void Split(const char *data, size_t size, char separator, std::string *first, std::string *rest) {
    std::string text(data, size);
    size_t at = text.find(separator);
    if (at == std::string::npos) {
        *first = text;
        rest->clear();
    } else {
        *first = text.substr(0, at);
        *rest = text.substr(at + 1);
    }
}

}  // namespace fuzz
