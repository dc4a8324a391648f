// Module paths on a case-sensitive file system: '\' becomes '/', and a part not found as written
// is matched ignoring letter case in its directory, as the module's first platform did.
#include "shell/paths.h"

#include "shell/filecache.h"

#include <dirent.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

// Appends count bytes of text to out (length used, PATH_MAX bytes); false when it would not fit.
bool Append(char *out, size_t &length, const char *text, size_t count) {
    if (length + count >= PATH_MAX) return false;
    std::memcpy(out + length, text, count);
    length += count;
    out[length] = '\0';
    return true;
}

bool Exists(const char *path) {
    struct stat info;
    return lstat(path, &info) == 0;
}

// The spelling of part in directory (the resolved prefix, "" for the current directory) that
// equals it ignoring case: the first in byte order, so the choice does not depend on the order
// the directory lists its entries. Empty when there is none.
void FindSpelling(const char *directory, const char *part, char *spelling, size_t size) {
    spelling[0] = '\0';
    DIR *dir = opendir(directory[0] != '\0' ? directory : ".");
    if (dir == nullptr) return;
    while (struct dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (strcasecmp(name, part) != 0) continue;
        if (std::strlen(name) >= size) continue;
        if (spelling[0] == '\0' || std::strcmp(name, spelling) < 0) std::strcpy(spelling, name);
    }
    closedir(dir);
}

// ResolveModulePath on the disk.
bool ResolveOnDisk(const char *path, char *resolved, size_t size) {
    if (path == nullptr || resolved == nullptr || size == 0) return false;
    size_t written_length = std::strlen(path);
    if (written_length >= PATH_MAX) return false;

    char written[PATH_MAX];
    for (size_t i = 0; i <= written_length; ++i) written[i] = path[i] == '\\' ? '/' : path[i];

    char out[PATH_MAX];
    size_t length = 0;
    out[0] = '\0';
    const char *at = written;
    if (*at == '/') {
        Append(out, length, "/", 1);
        while (*at == '/') ++at;
    }

    // Once a part exists in no spelling, nothing below it can exist either: the rest is kept
    // as written.
    bool searching = true;
    while (*at != '\0') {
        const char *end = std::strchr(at, '/');
        size_t part_length = end ? static_cast<size_t>(end - at) : std::strlen(at);
        char part[NAME_MAX + 1];
        if (part_length > NAME_MAX) {
            searching = false;
            if (!Append(out, length, at, part_length)) return false;
        } else {
            std::memcpy(part, at, part_length);
            part[part_length] = '\0';
            size_t prefix_length = length;
            if (!Append(out, length, part, part_length)) return false;
            bool special = std::strcmp(part, ".") == 0 || std::strcmp(part, "..") == 0;
            if (searching && !special && !Exists(out)) {
                out[prefix_length] = '\0';
                char spelling[NAME_MAX + 1];
                // opendir wants the directory without its trailing '/' ("/" itself stays).
                if (prefix_length > 1) out[prefix_length - 1] = '\0';
                FindSpelling(out, part, spelling, sizeof spelling);
                if (prefix_length > 1) out[prefix_length - 1] = '/';
                length = prefix_length;
                if (spelling[0] != '\0') {
                    Append(out, length, spelling, std::strlen(spelling));
                } else {
                    searching = false;
                    Append(out, length, part, part_length);
                }
            }
        }
        if (end == nullptr) break;
        at = end;
        while (*at == '/') ++at;
        if (!Append(out, length, "/", 1)) return false;
    }

    if (length >= size) return false;
    std::memcpy(resolved, out, length + 1);
    return true;
}

} // namespace

bool ResolveModulePath(const char *path, char *resolved, size_t size) {
    if (path == nullptr || resolved == nullptr || size == 0) return false;
    return CachedResolve(path, resolved, size) || ResolveOnDisk(path, resolved, size);
}

FILE *OpenModuleFile(const char *path, const char *mode) {
    if (path == nullptr || mode == nullptr) return nullptr;
    FILE *cached = nullptr;
    if (CachedOpen(path, mode, &cached) >= 0) return cached;
    // Reading falls back to the disk only where the cache cannot answer; writing always goes
    // to the disk, and what it creates is known to the cache at once.
    bool reading = mode[0] == 'r' && std::strchr(mode, '+') == nullptr;
    char resolved[PATH_MAX];
    if (!(reading ? ResolveModulePath(path, resolved, sizeof resolved) : ResolveOnDisk(path, resolved, sizeof resolved)))
        return nullptr;
    FILE *file = std::fopen(resolved, mode);
    if (!reading) RefreshFileCache();
    // fopen reads a directory without complaint and then finds nothing in it; a caller asking
    // for a file gets none.
    struct stat info;
    if (file != nullptr && fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

bool IsSafePathPart(const char *text) {
    if (text == nullptr || text[0] == '\0') return false;
    if (std::strchr(text, '/') != nullptr || std::strchr(text, '\\') != nullptr) return false;
    return std::strstr(text, "..") == nullptr;
}

bool ModuleFileReadable(const char *path) {
    int cached = CachedReadable(path);
    if (cached >= 0) return cached == 1;
    FILE *file = OpenModuleFile(path, "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}
