// The end-to-end harness: temporary roots, hostd processes and a small HTTP client.
#include "tests/e2e/harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {
namespace fs = std::filesystem;

std::string bin_dir() { return SHOPVERA_BIN_DIR; }
std::string testlib_dir() { return SHOPVERA_TESTLIB_DIR; }
std::string source_dir() { return SHOPVERA_SOURCE_DIR; }

std::string postgres_socket() {
    const char *dir = std::getenv("SHOPVERA_TEST_POSTGRES");
    return dir != nullptr ? dir : "";
}

std::string postgres_url(const std::string &name) {
    return "postgresql://shopvera@/" + name + "?host=" + postgres_socket();
}

TempRoot::TempRoot() {
    char tmpl[] = "/tmp/shopvera-e2e-XXXXXX";
    char *made = mkdtemp(tmpl);
    path_ = made ? made : "/tmp/shopvera-e2e-failed";
    if (made != nullptr && !postgres_socket().empty()) {
        database_ = "e2e_" + path_.substr(path_.rfind('-') + 1);
        for (char &c : database_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        RunResult created = run({"/usr/bin/createdb", "-h", postgres_socket(), "-U", "shopvera", database_});
        if (created.status != 0) std::fprintf(stderr, "createdb %s: %s", database_.c_str(), created.err.c_str());
        write_file(path_ + "/data.cfg", "url: " + postgres_url(database_) + "\n");
    }
}

TempRoot::~TempRoot() {
    std::error_code ec;
    fs::remove_all(path_, ec);
    if (!database_.empty())
        run({"/usr/bin/dropdb", "-h", postgres_socket(), "-U", "shopvera", "--force", database_});
}

void write_file(const std::string &path, const std::string &text) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> LogReader::new_lines() {
    std::string text = read_file(path_);
    std::vector<std::string> lines;
    if (text.size() < read_) read_ = 0;  // a log moved away and begun anew
    size_t at = read_;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at);
        // "YYYY-MM-DD HH:MM:SS " in front of every line.
        if (line.size() >= 20 && line[4] == '-' && line[10] == ' ' && line[19] == ' ') line.erase(0, 20);
        lines.push_back(std::move(line));
    }
    read_ = at;
    return lines;
}

bool has_line(const std::vector<std::string> &lines, const std::string &line) {
    for (const std::string &l : lines)
        if (l == line) return true;
    return false;
}

bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(path, ec)) names.push_back(entry.path().filename());
    return names;
}

void write_mdf(const std::string &root, const std::string &file, const std::string &name,
               const std::string &library) {
    write_file(root + "/" + file, "name: " + name + "\nlibrary: " + library + "\n");
}

namespace {

std::string slurp_fd(int fd) {
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

int decode_status(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

}  // namespace

RunResult run(const std::vector<std::string> &argv, const std::string &stdin_text) {
    RunResult result;
    char out_tmpl[] = "/tmp/shopvera-run-out-XXXXXX";
    char err_tmpl[] = "/tmp/shopvera-run-err-XXXXXX";
    int out_fd = mkstemp(out_tmpl);
    int err_fd = mkstemp(err_tmpl);
    int in_pipe[2];
    if (out_fd < 0 || err_fd < 0 || pipe(in_pipe) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        close(in_pipe[1]);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    if (!stdin_text.empty()) {
        ssize_t ignored = write(in_pipe[1], stdin_text.data(), stdin_text.size());
        (void)ignored;
    }
    close(in_pipe[1]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    result.status = decode_status(raw);
    lseek(out_fd, 0, SEEK_SET);
    lseek(err_fd, 0, SEEK_SET);
    result.out = slurp_fd(out_fd);
    result.err = slurp_fd(err_fd);
    close(out_fd);
    close(err_fd);
    unlink(out_tmpl);
    unlink(err_tmpl);
    return result;
}

RunResult mallctl(const std::string &root, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {bin_dir() + "/mallctl", "--root", root};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

Host::Host(const std::string &root, std::vector<std::string> extra_args, const std::string &lib_dir,
           double timeout_s) {
    stderr_path_ = root + "/.hostd-stderr";
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return;
    std::vector<std::string> argv = {bin_dir() + "/hostd", "--root", root, "--port", "0"};
    if (!lib_dir.empty()) {
        argv.push_back("--lib-dir");
        argv.push_back(lib_dir);
    }
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    pid_ = fork();
    if (pid_ == 0) {
        int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out_pipe[1], 1);
        if (err >= 0) dup2(err, 2);
        close(out_pipe[0]);
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    // Read standard output until the ready line, hostd's exit, or the time-out.
    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{out_pipe[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[512];
            ssize_t n = read(out_pipe[0], buf, sizeof buf);
            if (n <= 0) break;
            seen.append(buf, static_cast<size_t>(n));
            size_t pos = seen.find("listening on http://");
            size_t end = seen.find('\n', pos == std::string::npos ? 0 : pos);
            if (pos != std::string::npos && end != std::string::npos) {
                ready_line_ = seen.substr(pos, end - pos);
                size_t colon = ready_line_.rfind(':');
                port_ = std::atoi(ready_line_.c_str() + colon + 1);
                break;
            }
        }
    }
    // Keep the pipe drained in the background would complicate things; hostd writes one line.
    close(out_pipe[0]);
    if (port_ == 0) {
        // Standard output closed or the time ran out: hostd has exited, or is about to.
        int raw = 0;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = decode_status(raw);
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

Host::~Host() {
    if (pid_ > 0) stop(SIGKILL);
}

int Host::stop(int sig) {
    if (pid_ <= 0) return status_;
    kill(pid_, sig);
    int raw = 0;
    // hostd shuts down promptly; a hang is a failure the caller sees as a killed process.
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = decode_status(raw);
            pid_ = -1;
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &raw, 0);
    status_ = decode_status(raw);
    pid_ = -1;
    return status_;
}

std::string Host::stderr_text() const { return read_file(stderr_path_); }

double Host::cpu_seconds() const {
    if (pid_ <= 0) return 0;
    std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return 0;
    std::istringstream in(stat.substr(paren + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int connect_from(int port, const std::string &from, bool nonblocking, int receive_buffer) {
    int fd = socket(AF_INET, SOCK_STREAM | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -1;
    if (receive_buffer > 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer) != 0) {
        close(fd);
        return -1;
    }
    // A client that cannot take its own address would silently be another shopper.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0 &&
        !(nonblocking && errno == EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string http_raw(int port, const std::string &request, const std::string &from, int timeout_ms) {
    int fd = connect_from(port, from, false);
    if (fd < 0) return "";
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return out;
}

Response parse_response(const std::string &raw) {
    Response r;
    r.raw = raw;
    if (raw.rfind("HTTP/", 0) != 0) {
        r.body = raw;
        return r;
    }
    size_t head_end = raw.find("\r\n\r\n");
    std::string head = raw.substr(0, head_end);
    r.body = head_end == std::string::npos ? "" : raw.substr(head_end + 4);
    std::istringstream in(head);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    r.status_line = line;
    size_t sp = line.find(' ');
    if (sp != std::string::npos) r.status = std::atoi(line.c_str() + sp + 1);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value[0] == ' ') value.erase(0, 1);
        r.headers[name] = value;
    }
    return r;
}

std::string base64(const std::string &text) {
    static const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < text.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(text[i]) << 16 | static_cast<unsigned char>(text[i + 1]) << 8 |
                     static_cast<unsigned char>(text[i + 2]);
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += alphabet[v >> 6 & 63];
        out += alphabet[v & 63];
    }
    if (i < text.size()) {
        unsigned v = static_cast<unsigned char>(text[i]) << 16;
        if (i + 1 < text.size()) v |= static_cast<unsigned char>(text[i + 1]) << 8;
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += i + 1 < text.size() ? alphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

Response get(int port, const std::string &path, const std::string &from, const std::string &user_password) {
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n";
    if (!user_password.empty()) request += "Authorization: Basic " + base64(user_password) + "\r\n";
    request += "\r\n";
    return parse_response(http_raw(port, request, from));
}

Response post(int port, const std::string &path, const std::string &form, const std::string &from,
              const std::string &user_password) {
    std::string request = "POST " + path + " HTTP/1.0\r\nHost: localhost\r\n"
                          "Content-Type: application/x-www-form-urlencoded\r\n"
                          "Content-Length: " + std::to_string(form.size()) + "\r\n";
    if (!user_password.empty()) request += "Authorization: Basic " + base64(user_password) + "\r\n";
    request += "\r\n" + form;
    return parse_response(http_raw(port, request, from));
}

bool wait_for_text(const std::string &path, const std::string &text, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (read_file(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return read_file(path).find(text) != std::string::npos;
}

}  // namespace e2e
