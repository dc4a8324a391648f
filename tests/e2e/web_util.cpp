// The web tests' client connection over plain sockets.
#include "tests/e2e/web_util.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

namespace e2e {

WebSite::WebSite(std::vector<std::string> extra_args) {
    const std::string r = root.path();
    write_mdf(r, "webmod.mdf", "Web Test Module", "webmod");
    write_file(r + "/www/hello.txt", "hello from www\n");
    write_file(r + "/www/index.html", "<p>home page</p>\n");
    write_file(r + "/www/style.css", "p { color: red; }\n");
    write_file(r + "/www/KVZSV/ACME/Logo.GIF", "GIF89a-not-really");
    write_file(r + "/www/KVZSV/ACME/Icons/.keep", "");
    write_file(r + "/secret.txt", "top secret\n");
    int ignored = symlink((r + "/secret.txt").c_str(), (r + "/www/leak.txt").c_str());
    ignored += symlink(r.c_str(), (r + "/www/up").c_str());
    (void)ignored;
    host = std::make_unique<Host>(r, std::move(extra_args), testlib_dir());
}

WebSite &shared_site() {
    static WebSite site;
    return site;
}

std::string big_pattern(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131u + i / 4093u) & 0xFF);
    return out;
}

Client::Client(int port, const std::string &from, int receive_buffer) {
    fd_ = e2e::connect_from(port, from, false, receive_buffer);
}

Client::~Client() { close(); }

void Client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Client::send(const std::string &bytes) {
    size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return fd_ >= 0;
}

long Client::read_some(int timeout_ms, size_t max) {
    if (fd_ < 0 || closed_) return 0;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return -1;
    std::vector<char> buf(max);
    ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
    if (n <= 0) {
        closed_ = true;
        return 0;
    }
    received.append(buf.data(), static_cast<size_t>(n));
    return n;
}

namespace {
int left_ms(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
}  // namespace

bool Client::read_until(const std::string &marker, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (received.find(marker) == std::string::npos) {
        int left = left_ms(deadline);
        if (left == 0 || closed_ || read_some(left) <= 0) return received.find(marker) != std::string::npos;
    }
    return true;
}

bool Client::read_to_end(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!closed_) {
        int left = left_ms(deadline);
        if (left == 0 || read_some(left) < 0) return closed_;
    }
    return true;
}

}  // namespace e2e
