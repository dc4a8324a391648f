// data.cfg: where a root's data files are kept.
#include <fstream>
#include <string>

#include "host/datafile.h"
#include "host/datafile/store.h"

namespace host {

void datafile_set_url(const std::string &url) { datafile::store_configure(url); }

const std::string &datafile_url() { return datafile::store_url(); }

bool datafile_create_database(std::string *why) { return datafile::store_create_database(why); }

bool datafile_read_config(const std::string &path, std::string *url, std::string *why) {
    url->clear();
    std::ifstream in(path);
    if (!in) return true; // no data.cfg: SQLite under data/
    std::string line;
    int number = 0;
    auto trim = [](std::string s) {
        size_t b = s.find_first_not_of(" \t\r");
        size_t e = s.find_last_not_of(" \t\r");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    while (std::getline(in, line)) {
        ++number;
        std::string text = trim(line);
        if (text.empty() || text[0] == '#') continue;
        size_t colon = text.find(':');
        std::string name = colon == std::string::npos ? text : trim(text.substr(0, colon));
        if (colon == std::string::npos || name != "url") {
            *why = path + ":" + std::to_string(number) + ": expected 'url: postgresql://...'";
            return false;
        }
        std::string value = trim(text.substr(colon + 1));
        if (value.rfind("postgresql://", 0) != 0 && value.rfind("postgres://", 0) != 0) {
            *why = path + ":" + std::to_string(number) +
                   ": the url must start with postgresql:// (no data.cfg keeps the data in SQLite)";
            return false;
        }
        *url = value;
    }
    return true;
}

}  // namespace host
