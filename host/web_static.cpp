// The host's own request handler: the files under the root's www/, for every path a module
// does not take. Nothing outside www/ is ever served, whatever the URL spells.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "host/channels.h"
#include "host/http_answer.h"

namespace host {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The path of the URL, decoded; nothing when it decodes to a NUL byte.
std::optional<std::string> decoded_path(const char *url) {
    std::string path(url, std::strcspn(url, "?#"));
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) {
        int hi = 0, lo = 0;
        if (path[i] == '%' && i + 2 < path.size() && (hi = hex_value(path[i + 1])) >= 0 &&
            (lo = hex_value(path[i + 2])) >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += path[i];
        }
    }
    if (out.find('\0') != std::string::npos) return std::nullopt;
    return out;
}

// A name in dir equal to name ignoring letter case, as the shop's files were named on the
// system they came from; "" when there is none.
std::string find_ignoring_case(const std::string &dir, const std::string &name) {
    std::string found;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (strcasecmp(e->d_name, name.c_str()) == 0) {
                found = e->d_name;
                break;
            }
        }
        closedir(d);
    }
    return found;
}

// The real path of the file a URL path names under www/, or nothing. Dot segments are refused
// outright; what a symbolic link leads to must lie under www/ too.
std::optional<std::string> resolve_under_www(const std::string &path) {
    char root_buf[PATH_MAX];
    if (realpath("www", root_buf) == nullptr) return std::nullopt;
    const std::string root = root_buf;
    std::string at = root;
    size_t i = 0;
    while (i <= path.size()) {
        size_t end = path.find_first_of("/\\", i);
        if (end == std::string::npos) end = path.size();
        std::string segment = path.substr(i, end - i);
        i = end + 1;
        if (segment.empty()) continue;
        if (segment == "." || segment == "..") return std::nullopt;
        std::string next = at + "/" + segment;
        struct stat st {};
        if (lstat(next.c_str(), &st) != 0) {
            std::string other = find_ignoring_case(at, segment);
            if (other.empty()) return std::nullopt;
            next = at + "/" + other;
        }
        at = next;
    }
    char real[PATH_MAX];
    if (realpath(at.c_str(), real) == nullptr) return std::nullopt;
    std::string r = real;
    if (r != root && r.compare(0, root.size() + 1, root + "/") != 0) return std::nullopt;
    return r;
}

void not_found(Channel &c) { queue_answer(c, 404, "There is no such page here."); }

}  // namespace

void host_request_handler(char *url) {
    Channel *c = current_channel();
    if (c == nullptr || c->phase != Channel::Phase::serving || c->reset_requested || url == nullptr) return;
    const std::string method = c->reader.request.method;
    const bool head = method == "HEAD";
    if (method != "GET" && !head) {
        queue_answer(*c, 501, "The method " + html_escape(method) + " is not implemented for " + html_escape(url) + ".");
        return;
    }
    // The mall's own paths belong to its module; without it they are simply not here.
    if (strncasecmp(url, "/webmall", 8) == 0) return not_found(*c);
    std::optional<std::string> path = decoded_path(url);
    if (!path) return not_found(*c);
    std::optional<std::string> file = resolve_under_www(*path);
    if (!file) return not_found(*c);

    int fd = ::open(file->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return not_found(*c);
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        // A folder shows its index page, never a listing.
        ::close(fd);
        file = resolve_under_www(*path + "/index.html");
        fd = file ? ::open(file->c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (fd < 0 || fstat(fd, &st) != 0) {
            if (fd >= 0) ::close(fd);
            return not_found(*c);
        }
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return not_found(*c);
    }

    Connection &k = *c->conn;
    const int protocol = c->reader.request.protocol;
    c->pending.clear();
    k.queued.clear();
    k.queued += file_head(content_type_for(*file), static_cast<unsigned long long>(st.st_size), protocol);
    if (head) {
        ::close(fd);
    } else {
        if (k.file_fd >= 0) ::close(k.file_fd);
        k.file_fd = fd;
        k.file_left = static_cast<unsigned long long>(st.st_size);
    }
    c->phase = Channel::Phase::finishing;
}

}  // namespace host
