// What the end-to-end tests share: a temporary mall root, a real hostd started in it, and an
// HTTP client that connects from a chosen loopback address (each address is one shopper).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// Directories of the build: hostd, mallctl and the shipped libraries; the test modules; the
// source tree (for site/).
std::string bin_dir();
std::string testlib_dir();
std::string source_dir();

// The socket directory of the PostgreSQL server the tests run against (SHOPVERA_TEST_POSTGRES,
// set by tests/postgres/with-cluster.sh); "" when they run on SQLite.
std::string postgres_socket();
// The address of database name on that server.
std::string postgres_url(const std::string &name);

// A fresh directory under /tmp, removed with everything in it when the object goes. On
// PostgreSQL it comes with a fresh database of its own, named in its data.cfg, dropped with it.
class TempRoot {
  public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &relative) const { return path_ + "/" + relative; }
    const std::string &database() const { return database_; } // "" on SQLite

  private:
    std::string path_;
    std::string database_;
};

void write_file(const std::string &path, const std::string &text);  // creates parent folders
std::string read_file(const std::string &path);                     // "" when absent

// Reads a log (trace.log, audit.log) as it grows: each call gives the lines written since the
// call before, whole, with their time stamps cut off; a test that checks a line then checks
// what the requests since its last look wrote, not a line like it from earlier on.
class LogReader {
  public:
    explicit LogReader(std::string path) : path_(std::move(path)) {}
    std::vector<std::string> new_lines();

  private:
    std::string path_;
    size_t read_ = 0;
};
// Whether lines hold exactly line.
bool has_line(const std::vector<std::string> &lines, const std::string &line);
bool file_exists(const std::string &path);
std::vector<std::string> list_dir(const std::string &path);         // names, without . and ..

// A test module's definition file in root: name and library.
void write_mdf(const std::string &root, const std::string &file, const std::string &name,
               const std::string &library);

// Runs a program to its end; returns its exit status, with standard output and error.
struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};
RunResult run(const std::vector<std::string> &argv, const std::string &stdin_text = "");
// mallctl --root ROOT args...
RunResult mallctl(const std::string &root, const std::vector<std::string> &args);

// A hostd serving root. The constructor waits for the ready line (at most timeout_s seconds);
// when hostd exits first, ready() is false and exit_status()/stderr_text() say why.
class Host {
  public:
    Host(const std::string &root, std::vector<std::string> extra_args = {},
         const std::string &lib_dir = "", double timeout_s = 30);
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    bool ready() const { return port_ > 0; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // SIGTERM (or sig) and wait; the exit status (128 + signal when killed by one).
    int stop(int sig = 15);
    int exit_status() const { return status_; }
    std::string stderr_text() const;
    std::string ready_line() const { return ready_line_; }
    // CPU seconds (user + system) hostd has used so far.
    double cpu_seconds() const;

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = -1;
    std::string stderr_path_;
    std::string ready_line_;
};

// A loopback connection to port from the address `from`; -1 when it cannot be made as that address.
// receive_buffer, when above 0, is the socket's receive buffer, set before it connects.
int connect_from(int port, const std::string &from, bool nonblocking, int receive_buffer = 0);
// Connects to 127.0.0.1:port from the address from (any 127.x.y.z), sends request, and reads
// until the server closes or timeout_ms passes. Returns everything read.
std::string http_raw(int port, const std::string &request, const std::string &from = "127.0.0.1",
                     int timeout_ms = 10000);

struct Response {
    std::string raw;
    int status = 0;          // 0 when there is no status line
    std::string status_line;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};
Response parse_response(const std::string &raw);

// GET path (with an optional Authorization user:password) over HTTP/1.0.
Response get(int port, const std::string &path, const std::string &from = "127.0.0.1",
             const std::string &user_password = "");
// POST a form body to path.
Response post(int port, const std::string &path, const std::string &form,
              const std::string &from = "127.0.0.1", const std::string &user_password = "");

std::string base64(const std::string &text);
// Waits up to timeout_ms for a file to contain text; true when it does.
bool wait_for_text(const std::string &path, const std::string &text, int timeout_ms = 10000);

}  // namespace e2e
