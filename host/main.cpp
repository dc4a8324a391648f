// hostd: the host server. Loads the modules of the root, serves HTTP and runs their timers on
// one event loop until SIGTERM or SIGINT.
#include <dirent.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "host/accounts.h"
#include "host/datafile.h"
#include "host/datafile/store.h"
#include "host/durability.h"
#include "host/log.h"
#include "host/loop.h"
#include "host/messages.h"
#include "host/modules.h"
#include "host/web.h"

namespace {

const char kUsage[] =
    "usage: hostd --root DIR [--port N] [--bind ADDR] [--lib-dir DIR] [--time-scale N] [--verbose]\n"
    "             [--trusted-proxy ADDR] [--cache-seconds N] [--max-connections N]\n"
    "             [--max-per-address N]\n";

[[noreturn]] void usage(const std::string &problem) {
    std::fprintf(stderr, "hostd: %s\n%s", problem.c_str(), kUsage);
    std::exit(1);
}

long number_arg(const std::string &flag, const char *text, long low, long high) {
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value < low || value > high)
        usage(flag + " wants a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
              ", not '" + text + "'");
    return value;
}

std::string executable_dir() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string s = path;
    return s.substr(0, s.rfind('/'));
}

std::string absolute(const std::string &path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return path;
    return resolved;
}

const char kSpool[] = "KVZSVTMP";
// A private directory of hostd's on the shared-memory file system, for the spool:
// /dev/shm/shopvera-spool-PID-XXXXXX.
const char kShm[] = "/dev/shm";
const char kSpoolPrefix[] = "/dev/shm/shopvera-spool-";

// Spool files of an earlier run are of no use to anyone: the spool directory starts empty.
void empty_spool_directory() {
    DIR *dir = opendir(kSpool);
    if (dir == nullptr) return;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string path = std::string(kSpool) + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(path.c_str());
    }
    closedir(dir);
}

bool in_memory(const char *path) {
    struct statfs fs {};
    return statfs(path, &fs) == 0 && (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC);
}

// Where the link KVZSVTMP points, when it is one of hostd's own; "" otherwise.
std::string own_spool_link() {
    char target[PATH_MAX];
    ssize_t n = readlink(kSpool, target, sizeof target - 1);
    if (n <= 0) return "";
    target[n] = '\0';
    return std::strncmp(target, kSpoolPrefix, sizeof kSpoolPrefix - 1) == 0 ? target : "";
}

// The private directories of hostd processes that are gone (killed, or the machine stopped)
// would stay in memory for ever: each start removes those of this user.
void sweep_spool_directories() {
    DIR *shm = opendir(kShm);
    if (shm == nullptr) return;
    const std::string name_prefix = std::string(kSpoolPrefix).substr(sizeof kShm);
    while (dirent *entry = readdir(shm)) {
        std::string name = entry->d_name;
        if (name.compare(0, name_prefix.size(), name_prefix) != 0) continue;
        long pid = std::strtol(name.c_str() + name_prefix.size(), nullptr, 10);
        std::string path = std::string(kShm) + "/" + name;
        struct stat st {};
        if (pid <= 0 || lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
            continue;
        if (pid == getpid() || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        if (DIR *dir = opendir(path.c_str())) {
            while (dirent *file = readdir(dir)) {
                std::string inner = path + "/" + file->d_name;
                struct stat fst {};
                if (lstat(inner.c_str(), &fst) == 0 && S_ISREG(fst.st_mode)) unlink(inner.c_str());
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    }
    closedir(shm);
}

// Pages are spooled in KVZSVTMP and read back at once: the directory belongs in memory. One
// the service mounted there (or a link to memory the operator made) is used as it is; otherwise
// KVZSVTMP becomes a link to a private directory on /dev/shm, and back to an empty directory at
// shutdown (restore_spool_directory); a link left by a killed run is replaced. Without a shared-memory file system it stays on disk.
// Returns the private directory ("" when there is none).
std::string place_spool_directory() {
    std::string private_dir;
    // A link an earlier run left (it was killed): its directory is swept, a new one made.
    if (!own_spool_link().empty()) unlink(kSpool);
    sweep_spool_directories();
    if (!in_memory(kSpool)) {
        empty_spool_directory();
        struct stat st {};
        bool free = lstat(kSpool, &st) != 0 || (S_ISDIR(st.st_mode) && rmdir(kSpool) == 0);
        if (free && in_memory(kShm)) {
            std::string pattern = std::string(kSpoolPrefix) + std::to_string(getpid()) + "-XXXXXX";
            if (mkdtemp(pattern.data()) != nullptr) {
                if (symlink(pattern.c_str(), kSpool) == 0) private_dir = pattern;
                else rmdir(pattern.c_str());
            }
        }
        if (private_dir.empty()) mkdir(kSpool, 0755);
    }
    empty_spool_directory();
    if (!private_dir.empty())
        host::trace_line(std::string("spool directory KVZSVTMP: in memory, ") + private_dir);
    else if (in_memory(kSpool))
        host::trace_line("spool directory KVZSVTMP: in memory");
    else
        host::trace_line("spool directory KVZSVTMP: on disk");
    return private_dir;
}

// At shutdown: the private directory goes, and KVZSVTMP is an empty directory again.
void restore_spool_directory(const std::string &private_dir) {
    if (private_dir.empty() || own_spool_link() != private_dir) return;
    empty_spool_directory();
    if (unlink(kSpool) == 0) mkdir(kSpool, 0755);
    rmdir(private_dir.c_str());
}

// Every open connection holds a descriptor: the soft limit goes up to the hard one. Returns
// how many descriptors connections may take, leaving room for the data files, logs, spool
// files and libraries.
long raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024 - 128;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 1048576 : limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    long usable = static_cast<long>(limit.rlim_cur == RLIM_INFINITY ? 1048576 : limit.rlim_cur) - 128;
    return usable < 16 ? 16 : usable;
}

}  // namespace

int main(int argc, char **argv) {
    std::string root = ".";
    std::string lib_dir = executable_dir();
    host::WebOptions web;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) usage(flag + " wants a value");
            return argv[++i];
        };
        if (flag == "--root") root = value();
        else if (flag == "--port") web.port = static_cast<int>(number_arg(flag, value(), 0, 65535));
        else if (flag == "--bind") web.bind = value();
        else if (flag == "--lib-dir") lib_dir = absolute(value());
        else if (flag == "--time-scale") host::set_time_scale(static_cast<int>(number_arg(flag, value(), 1, 1000000)));
        else if (flag == "--verbose") host::set_verbose(true);
        else if (flag == "--trusted-proxy") web.trusted_proxy = value();
        else if (flag == "--cache-seconds") host::set_static_max_age(number_arg(flag, value(), 0, 31536000));
        else if (flag == "--max-connections")
            web.max_connections = static_cast<int>(number_arg(flag, value(), 1, 1000000));
        else if (flag == "--max-per-address")
            web.max_per_address = static_cast<int>(number_arg(flag, value(), 1, 1000000));
        else if (flag == "--help" || flag == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else usage("unknown argument '" + flag + "'");
    }

    long descriptors = raise_descriptor_limit();
    if (web.max_connections > descriptors) web.max_connections = static_cast<int>(descriptors);
    // A write past the file-size limit fails with an error the writer handles (a full disk, in
    // effect) instead of ending the host.
    signal(SIGXFSZ, SIG_IGN);

    struct stat st {};
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) usage("root directory '" + root + "' not found");
    if (chdir(root.c_str()) != 0) usage("cannot enter root directory '" + root + "': " + std::strerror(errno));
    host::set_library_directory(lib_dir);

    mkdir("data", 0755);
    host::datafile_set_directory("data");
    std::string url, why;
    if (!host::datafile_read_config("data.cfg", &url, &why)) usage(why);
    host::datafile_set_url(url);
    // SQLite databases of the root are checked before anything opens them.
    std::string damaged;
    if (url.empty() && !host::datafile_check_directory("data", &damaged)) host::fatal(damaged);
    if (!url.empty() && !host::datafile_check_server(url, &damaged))
        host::fatal("data.cfg: cannot connect to the database server: " + damaged);
    host::durability_start();
    if (!host::accounts_open())
        host::fatal(url.empty() ? "cannot open the account file data/accounts.db"
                                : "cannot open the account file in the database of data.cfg");
    empty_spool_directory();

    host::begin_initialisers();
    host::load_modules();
    host::end_initialisers();
    host::messages_started();

    int port = host::web_listen(web);
    // Placed once nothing can stop the start any more, so that a failed start leaves the root
    // as it was.
    const std::string private_spool = place_spool_directory();
    host::on_initial_timers_done([&web, port] {
        std::printf("listening on http://%s:%d/\n", web.bind.c_str(), port);
        std::fflush(stdout);
    });

    asio::signal_set signals(host::loop(), SIGTERM, SIGINT);
    signals.async_wait([](const asio::error_code &ec, int) {
        if (ec) return;
        host::shutdown_modules();
        host::web_stop();
        host::loop().stop();
    });
    // SIGHUP: logrotate has moved the logs away; the next line of each opens a new file.
    asio::signal_set hangup(host::loop(), SIGHUP);
    std::function<void(const asio::error_code &, int)> on_hangup = [&](const asio::error_code &ec, int) {
        if (ec) return;
        host::reopen_logs();
        hangup.async_wait(on_hangup);
    };
    hangup.async_wait(on_hangup);
    // A read transaction the last call left open on the database server ends after 100 ms idle.
    asio::steady_timer idle(host::loop());
    std::function<void(const asio::error_code &)> on_idle = [&](const asio::error_code &ec) {
        if (ec) return;
        host::datafile::store_release_idle(std::chrono::milliseconds(100));
        idle.expires_after(std::chrono::milliseconds(50));
        idle.async_wait(on_idle);
    };
    if (!url.empty()) on_idle({});
    host::loop().run();
    host::durability_stop();
    host::datafile_close_all();
    restore_spool_directory(private_spool);
    return 0;
}
