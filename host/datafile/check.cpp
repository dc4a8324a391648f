// The start-up check of the root's data files: each one there must be a database of this
// mall's data files, so that a damaged or foreign file stops hostd at once with its name
// instead of failing page by page later.
#include <dirent.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/datafile.h"

namespace host {
namespace {

// Empty when path is a database this mall can use; else what is wrong with it.
std::string check_one(const std::string &path) {
    sqlite3 *db = nullptr;
    std::string problem;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        problem = std::string("cannot be opened: ") + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return problem;
    }
    sqlite3_busy_timeout(db, 5000);
    // Reading the schema reads the file's header and first page: a file that is not a database
    // fails here. A database with tables but without the table of files is someone else's.
    sqlite3_stmt *stmt = nullptr;
    int tables = 0;
    bool files = false;
    if (sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &stmt, nullptr) != SQLITE_OK) {
        problem = std::string("not a database of this mall (") + sqlite3_errmsg(db) + ")";
    } else {
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const unsigned char *name = sqlite3_column_text(stmt, 0);
            std::string table = name != nullptr ? reinterpret_cast<const char *>(name) : "";
            if (table.rfind("sqlite_", 0) == 0) continue;
            ++tables;
            if (table == "dfa_files") files = true;
        }
        if (rc != SQLITE_DONE) problem = std::string("not a database of this mall (") + sqlite3_errmsg(db) + ")";
        else if (tables > 0 && !files) problem = "not a database of this mall (it has tables, but not its table of files)";
    }
    sqlite3_finalize(stmt);
    stmt = nullptr;
    if (problem.empty() && files &&
        sqlite3_prepare_v2(db, "SELECT name, record_size, keys FROM dfa_files", -1, &stmt, nullptr) != SQLITE_OK) {
        problem = "not a database of this mall (its table of files has another layout)";
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return problem;
}

}  // namespace

bool datafile_check_server(const std::string &url, std::string *error) {
    PGconn *conn = PQconnectdb(url.c_str());
    const bool ok = PQstatus(conn) == CONNECTION_OK;
    if (!ok) {
        // libpq's message runs over several lines (the error, then a hint); the start-up line is one.
        std::string text;
        bool gap = false;
        for (const char *p = PQerrorMessage(conn); *p != '\0'; ++p) {
            if (*p == '\n' || *p == '\t' || *p == '\r') {
                gap = true;
                continue;
            }
            if (gap && !text.empty()) text += *p == ' ' ? ";" : "; ";
            gap = false;
            text += *p;
        }
        *error = text.empty() ? "no answer" : text;
    }
    PQfinish(conn);
    return ok;
}

bool datafile_check_directory(const std::string &dir, std::string *error) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return true;  // created when the first file opens
    std::vector<std::string> names;
    while (dirent *entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".db") == 0) names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        std::string path = dir + "/" + name;
        std::string problem = check_one(path);
        if (!problem.empty()) {
            *error = path + ": " + problem;
            return false;
        }
    }
    return true;
}

}  // namespace host
