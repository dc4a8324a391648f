// The host's own request handler: the files under the root's www/, for every path a module
// does not take. Nothing outside www/ is ever served, whatever the URL spells.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "host/channels.h"
#include "host/http_answer.h"
#include "host/web.h"

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

long g_static_max_age = kDefaultStaticMaxAge;

// Pictures, the style sheet and fonts change seldom: browsers keep them for the time set;
// everything else they ask again for each time, and get a 304 when it has not changed.
std::string cache_control(const std::string &type) {
    const bool lasting = type.compare(0, 6, "image/") == 0 || type.compare(0, 8, "text/css") == 0 ||
                         type.compare(0, 5, "font/") == 0;
    if (!lasting || g_static_max_age <= 0) return "Cache-Control: no-cache\r\n";
    return "Cache-Control: max-age=" + std::to_string(g_static_max_age) + "\r\n";
}

// The file's entity tag: its size and modification time, which change with every rewrite.
std::string entity_tag(const struct stat &st) {
    char tag[64];
    std::snprintf(tag, sizeof tag, "\"%llx-%llx-%lx\"", static_cast<unsigned long long>(st.st_size),
                  static_cast<unsigned long long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec));
    return tag;
}

// If-None-Match decides when it is there (a list of tags, weak ones compared weakly, or "*");
// If-Modified-Since only without it.
bool not_modified(const HttpRequest &rq, const std::string &tag, std::time_t modified) {
    std::string match = header_value(rq, "If-None-Match");
    if (!match.empty()) {
        size_t i = 0;
        while (i < match.size()) {
            size_t end = match.find(',', i);
            if (end == std::string::npos) end = match.size();
            std::string one = match.substr(i, end - i);
            i = end + 1;
            size_t b = one.find_first_not_of(" \t");
            size_t e = one.find_last_not_of(" \t");
            if (b == std::string::npos) continue;
            one = one.substr(b, e - b + 1);
            if (one.compare(0, 2, "W/") == 0) one = one.substr(2);
            if (one == "*" || one == tag) return true;
        }
        return false;
    }
    std::time_t since = 0;
    return parse_http_date(header_value(rq, "If-Modified-Since"), &since) && modified <= since;
}

}  // namespace

void set_static_max_age(long seconds) { g_static_max_age = seconds; }

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
    const std::string type = content_type_for(*file);
    const std::string tag = entity_tag(st);
    const std::string validators =
        "ETag: " + tag + "\r\nLast-Modified: " + http_date(st.st_mtim.tv_sec) + "\r\n" + cache_control(type);
    c->pending.clear();
    k.queued.clear();
    // A request without a version has no headers to ask with, and always gets the file.
    if (protocol >= 100 && not_modified(c->reader.request, tag, st.st_mtim.tv_sec)) {
        ::close(fd);
        k.status = 304;
        k.queued += not_modified_head(protocol, validators);
        c->phase = Channel::Phase::finishing;
        return;
    }
    k.queued += file_head(type, static_cast<unsigned long long>(st.st_size), protocol, validators);
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
