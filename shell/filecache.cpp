// The root's files in memory: the listings of the directories module paths pass through, whether
// a file can be read, and the bytes of small files (templates, shipping files). inotify reports
// every change to a directory looked into; the reports are taken in at the start of each request,
// without waiting, so a file the operator adds, changes or removes is seen by the next request.
#include "shell/filecache.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

// A file larger than this is opened from the disk each time.
constexpr off_t kMaxCachedFile = 1 << 20;
// Bounds on what is kept, so that a root of many directories and pictures costs a bounded
// amount of memory (and of inotify watches): past them everything is forgotten and looked up
// again as it is needed.
constexpr size_t kMaxDirectories = 4096;
constexpr size_t kMaxEntries = 200000;
constexpr size_t kMaxBytes = 32 << 20;

// What a directory watch reports: every change to the entries, and a file closed after writing
// (its new bytes). A write that is still going on is not reported line by line.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

struct Entry {
    std::string name;
    unsigned char type;  // DT_REG, DT_DIR, DT_LNK, ... (never DT_UNKNOWN)
};

struct Listing {
    std::vector<Entry> entries;
};

struct FileState {
    int readable = -1;  // -1 not yet asked
    bool loaded = false;
    std::shared_ptr<const std::string> bytes;  // null: too large or not a regular file
};

int g_inotify = -1;
size_t g_entries = 0;  // in all listings
size_t g_bytes = 0;    // of all files kept
std::unordered_map<std::string, Listing> g_listings;      // by directory ("" the root)
std::unordered_map<std::string, FileState> g_files;       // by path as resolved
std::unordered_map<int, std::string> g_watches;           // watch descriptor -> directory

// Whole paths as asked for, with what Resolve made of them: a page asks for the same few
// paths again and again. Any change the cache takes in forgets them all.
struct Resolution {
    std::string resolved;
    unsigned char type;
    int readable = -1;  // what CachedReadable answered, -1 not yet asked
};
struct PathHash {
    using is_transparent = void;
    size_t operator()(std::string_view path) const { return std::hash<std::string_view>{}(path); }
};
constexpr size_t kMaxResolutions = 20000;
std::unordered_map<std::string, Resolution, PathHash, std::equal_to<>> g_resolutions;

void ForgetAll() {
    g_resolutions.clear();
    g_listings.clear();
    g_files.clear();
    g_entries = 0;
    g_bytes = 0;
}

void ForgetListing(std::unordered_map<std::string, Listing>::iterator it) {
    g_resolutions.clear();
    g_entries -= it->second.entries.size();
    g_listings.erase(it);
}

void ForgetFile(std::unordered_map<std::string, FileState>::iterator it) {
    if (it->second.bytes) g_bytes -= it->second.bytes->size();
    g_files.erase(it);
}

// Every watch goes: the directories are watched again as they are looked into.
void ForgetWatches() {
    for (auto &[wd, directory] : g_watches) inotify_rm_watch(g_inotify, wd);
    g_watches.clear();
}

// Everything known of path and below it.
void ForgetBelow(const std::string &path) {
    g_resolutions.clear();
    const std::string prefix = path.empty() ? "" : path + "/";
    for (auto it = g_listings.begin(); it != g_listings.end();) {
        auto next = std::next(it);
        if (it->first == path || it->first.compare(0, prefix.size(), prefix) == 0) ForgetListing(it);
        it = next;
    }
    for (auto it = g_files.begin(); it != g_files.end();) {
        auto next = std::next(it);
        if (it->first == path || it->first.compare(0, prefix.size(), prefix) == 0) ForgetFile(it);
        it = next;
    }
}

std::string Join(const std::string &directory, const std::string &name) {
    return directory.empty() ? name : directory + "/" + name;
}

// The entries of directory; null when the cache cannot answer (no watch to be had: the disk
// is asked instead).
const Listing *ListingOf(const std::string &directory) {
    auto found = g_listings.find(directory);
    if (found != g_listings.end()) return &found->second;
    if (g_listings.size() >= kMaxDirectories || g_entries >= kMaxEntries) {
        ForgetAll();
        ForgetWatches();
    }
    const char *open_as = directory.empty() ? "." : directory.c_str();
    static const Listing nothing;
    // The watch first: a change made while the listing is read is reported, not lost.
    int wd = inotify_add_watch(g_inotify, open_as, kWatchMask);
    if (wd < 0) {
        // Not a directory (or gone): nothing can be found below it. Nothing would tell when
        // that changes, so it is not remembered.
        return errno == ENOENT || errno == ENOTDIR ? &nothing : nullptr;
    }
    g_watches[wd] = directory;
    DIR *dir = opendir(open_as);
    if (dir == nullptr) return errno == ENOENT || errno == ENOTDIR ? &nothing : nullptr;
    Listing &listing = g_listings[directory];
    while (struct dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info;
            type = fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0 ? DT_REG
                   : S_ISDIR(info.st_mode)                                  ? DT_DIR
                   : S_ISLNK(info.st_mode)                                  ? DT_LNK
                   : S_ISREG(info.st_mode)                                  ? DT_REG
                                                                            : DT_UNKNOWN;
        }
        listing.entries.push_back({name, type});
    }
    closedir(dir);
    g_entries += listing.entries.size();
    return &listing;
}

const Entry *Find(const Listing &listing, const char *name) {
    for (const Entry &entry : listing.entries)
        if (entry.name == name) return &entry;
    return nullptr;
}

// The spelling of part among the entries that equals it ignoring case, the first in byte
// order; null when there is none.
const Entry *FindSpelling(const Listing &listing, const char *part) {
    const Entry *best = nullptr;
    for (const Entry &entry : listing.entries) {
        if (strcasecmp(entry.name.c_str(), part) != 0) continue;
        if (best == nullptr || entry.name < best->name) best = &entry;
    }
    return best;
}

// A path the cache can answer for: relative, without "." or ".." parts or parts too long for
// a name. Anything else goes to the disk.
bool Cacheable(const char *path) {
    if (path[0] == '/' || path[0] == '\\' || path[0] == '\0') return false;
    const char *at = path;
    while (*at != '\0') {
        size_t length = std::strcspn(at, "/\\");
        if (length > NAME_MAX) return false;
        if ((length == 1 && at[0] == '.') || (length == 2 && at[0] == '.' && at[1] == '.')) return false;
        at += length;
        while (*at == '/' || *at == '\\') ++at;
    }
    return true;
}

// The cached form of ResolveModulePath; *type receives the type of the last part when it was
// found (DT_UNKNOWN when it was not).
bool ResolveParts(const char *path, std::string *resolved, unsigned char *type) {
    resolved->clear();
    *type = DT_UNKNOWN;
    std::string directory;  // the resolved parts so far, without a trailing '/'
    bool searching = true;
    const char *at = path;
    while (*at != '\0') {
        size_t length = std::strcspn(at, "/\\");
        std::string part(at, length);
        std::string name = part;
        unsigned char found_type = DT_UNKNOWN;
        if (searching) {
            const Listing *listing = ListingOf(directory);
            if (listing == nullptr) return false;
            const Entry *entry = Find(*listing, part.c_str());
            if (entry == nullptr) entry = FindSpelling(*listing, part.c_str());
            if (entry != nullptr) {
                name = entry->name;
                found_type = entry->type;
            } else {
                searching = false;
            }
        }
        directory = Join(directory, name);
        at += length;
        bool last = true;
        const char *rest = at;
        while (*rest == '/' || *rest == '\\') ++rest;
        last = *rest == '\0';
        if (last) {
            *type = searching ? found_type : static_cast<unsigned char>(DT_UNKNOWN);
            // A trailing separator stays, as the disk's resolution keeps it.
            if (rest != at) directory += '/';
        }
        at = rest;
    }
    if (directory.size() >= PATH_MAX) return false;
    *resolved = directory;
    return true;
}

bool Resolve(const char *path, std::string *resolved, unsigned char *type) {
    std::string_view asked(path);
    if (auto known = g_resolutions.find(asked); known != g_resolutions.end()) {
        *resolved = known->second.resolved;
        *type = known->second.type;
        return true;
    }
    if (!ResolveParts(path, resolved, type)) return false;
    if (g_resolutions.size() >= kMaxResolutions) g_resolutions.clear();
    g_resolutions.emplace(std::string(asked), Resolution{*resolved, *type, -1});
    return true;
}

FileState &StateOf(const std::string &path) {
    if (g_files.size() >= kMaxEntries && g_files.find(path) == g_files.end()) ForgetAll();
    return g_files[path];
}

bool Readable(const std::string &path, unsigned char type) {
    if (type == DT_DIR) return false;
    FileState &state = StateOf(path);
    if (state.readable < 0) {
        struct stat info;
        // Followed through a link; a directory does not count, nor does a file not readable
        // by this process.
        state.readable = stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode) &&
                         faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
    }
    return state.readable == 1;
}

// The bytes of a regular file, read once; null when it is too large or cannot be read.
std::shared_ptr<const std::string> BytesOf(const std::string &path) {
    FileState &state = StateOf(path);
    if (state.loaded) return state.bytes;
    state.loaded = true;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxCachedFile ||
        g_bytes + static_cast<size_t>(info.st_size) > kMaxBytes) {
        close(fd);
        return nullptr;
    }
    auto bytes = std::make_shared<std::string>(static_cast<size_t>(info.st_size), '\0');
    size_t got = 0;
    while (got < bytes->size()) {
        ssize_t n = read(fd, bytes->data() + got, bytes->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    bytes->resize(got);
    g_bytes += got;
    state.bytes = bytes;
    state.readable = 1;
    return state.bytes;
}

// ---- a FILE over bytes in memory

struct Reader {
    std::shared_ptr<const std::string> bytes;
    off64_t position = 0;
};

ssize_t ReaderRead(void *cookie, char *buffer, size_t size) {
    auto *reader = static_cast<Reader *>(cookie);
    const std::string &bytes = *reader->bytes;
    if (reader->position >= static_cast<off64_t>(bytes.size())) return 0;
    size_t count = bytes.size() - static_cast<size_t>(reader->position);
    if (count > size) count = size;
    std::memcpy(buffer, bytes.data() + reader->position, count);
    reader->position += static_cast<off64_t>(count);
    return static_cast<ssize_t>(count);
}

int ReaderSeek(void *cookie, off64_t *offset, int whence) {
    auto *reader = static_cast<Reader *>(cookie);
    off64_t base = 0;
    if (whence == SEEK_CUR) base = reader->position;
    if (whence == SEEK_END) base = static_cast<off64_t>(reader->bytes->size());
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
    off64_t target = base + *offset;
    if (target < 0) {
        errno = EINVAL;
        return -1;
    }
    reader->position = target;
    *offset = target;
    return 0;
}

int ReaderClose(void *cookie) {
    delete static_cast<Reader *>(cookie);
    return 0;
}

FILE *OpenBytes(std::shared_ptr<const std::string> bytes) {
    auto *reader = new Reader{std::move(bytes), 0};
    cookie_io_functions_t functions{ReaderRead, nullptr, ReaderSeek, ReaderClose};
    FILE *file = fopencookie(reader, "rb", functions);
    if (file == nullptr) delete reader;
    return file;
}

bool ReadOnlyMode(const char *mode) {
    return (mode[0] == 'r') && std::strchr(mode, '+') == nullptr;
}

}  // namespace

bool EnableFileCache() {
    if (g_inotify >= 0) return true;
    g_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return g_inotify >= 0;
}

void DisableFileCache() {
    if (g_inotify >= 0) close(g_inotify);
    g_inotify = -1;
    g_watches.clear();
    ForgetAll();
}

bool FileCacheEnabled() { return g_inotify >= 0; }

void RefreshFileCache() {
    if (g_inotify < 0) return;
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
        ssize_t n = read(g_inotify, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // EAGAIN: nothing more has changed
        for (char *at = buffer; at < buffer + n;) {
            auto *event = reinterpret_cast<struct inotify_event *>(at);
            at += sizeof(struct inotify_event) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                ForgetAll();
                continue;
            }
            auto watch = g_watches.find(event->wd);
            if (watch == g_watches.end()) continue;
            const std::string directory = watch->second;
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                // The directory itself went (or moved): all of it is looked up again.
                ForgetBelow(directory);
                if (event->mask & IN_IGNORED) g_watches.erase(watch);
                continue;
            }
            std::string path = event->len > 0 ? Join(directory, event->name) : directory;
            if (event->mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) {
                auto listing = g_listings.find(directory);
                if (listing != g_listings.end()) ForgetListing(listing);
            }
            ForgetBelow(path);
        }
    }
}

bool CachedResolve(const char *path, char *resolved, size_t size) {
    if (g_inotify < 0 || path == nullptr || !Cacheable(path)) return false;
    std::string out;
    unsigned char type;
    if (!Resolve(path, &out, &type) || out.size() >= size) return false;
    std::memcpy(resolved, out.c_str(), out.size() + 1);
    return true;
}

int CachedBytes(const char *path, std::shared_ptr<const std::string> *bytes) {
    bytes->reset();
    if (g_inotify < 0 || path == nullptr || !Cacheable(path)) return -1;
    std::string resolved;
    unsigned char type;
    if (!Resolve(path, &resolved, &type)) return -1;
    if (type == DT_UNKNOWN) {
        errno = ENOENT;
        return 0;
    }
    if (type == DT_DIR) {
        errno = EISDIR;
        return 0;
    }
    if (type != DT_REG) return -1;  // a link or something special: the disk decides
    *bytes = BytesOf(resolved);
    return *bytes != nullptr ? 1 : -1;
}

int CachedOpen(const char *path, const char *mode, FILE **file) {
    *file = nullptr;
    if (mode == nullptr || !ReadOnlyMode(mode)) return -1;
    std::shared_ptr<const std::string> bytes;
    int found = CachedBytes(path, &bytes);
    if (found <= 0) return found;
    *file = OpenBytes(std::move(bytes));
    return *file != nullptr ? 1 : -1;
}

int CachedReadable(const char *path) {
    if (g_inotify < 0 || path == nullptr) return -1;
    // A page asks for the same pictures every time: the answer stays with the path's
    // resolution, which any change below the root takes away.
    auto known = g_resolutions.find(std::string_view(path));
    if (known != g_resolutions.end() && known->second.readable >= 0) return known->second.readable;
    if (!Cacheable(path)) return -1;
    std::string resolved;
    unsigned char type;
    if (!Resolve(path, &resolved, &type)) return -1;
    int readable = type == DT_UNKNOWN || type == DT_DIR ? 0 : Readable(resolved, type) ? 1 : 0;
    known = g_resolutions.find(std::string_view(path));  // Readable may have forgotten it
    if (known != g_resolutions.end()) known->second.readable = readable;
    return readable;
}
