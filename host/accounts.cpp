// User accounts, keys and aliases, and the mail address check.
#include "host/accounts.h"

#include <cctype>
#include <cstring>

#include "host/log.h"

extern "C" {
HostFile _accbb = -1;
}

namespace host {
namespace {

const HostKeyDef kAccountKeys[] = {
    {1, 1, {{0, HOST_USERID_SIZE, HOST_KEY_TEXT}}},
};
static_assert(sizeof(HostAccount) == HOST_ACCOUNT_SIZE);
static_assert(offsetof(HostAccount, password) == 30);

char *default_alias(const char *userid) {
    static char alias[HOST_ALIAS_SIZE];
    HostAccount account;
    if (userid != nullptr && account_find(userid, &account) && account.alias[0] != '\0')
        _stzcpy(alias, account.alias, sizeof alias);
    else
        _stzcpy(alias, userid ? userid : "", sizeof alias);
    return alias;
}

bool valid_local_part(const std::string &s) {
    if (s.empty() || s.size() > 64 || s.front() == '.' || s.back() == '.') return false;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '.' && i + 1 < s.size() && s[i + 1] == '.') return false;
        if (std::isalnum(c) || std::strchr("!#$%&'*+/=?^_`{|}~.-", c) != nullptr) continue;
        return false;
    }
    return true;
}

bool valid_domain(const std::string &s) {
    if (s.empty() || s.size() > 253) return false;
    size_t start = 0;
    int labels = 0;
    std::string last;
    while (true) {
        size_t dot = s.find('.', start);
        std::string label = s.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (unsigned char c : label)
            if (!std::isalnum(c) && c != '-') return false;
        ++labels;
        last = label;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (labels < 2 || last.size() < 2) return false;
    for (unsigned char c : last)
        if (!std::isalpha(c)) return false;
    return true;
}

}  // namespace

bool accounts_open() {
    _accbb = _dfaOpen("accounts.db", "accounts", HOST_ACCOUNT_SIZE, 1, kAccountKeys);
    return _accbb >= 0;
}

bool account_find(const std::string &userid, HostAccount *out) {
    if (_accbb < 0 || userid.empty() || userid.size() >= HOST_USERID_SIZE) return false;
    char key[HOST_USERID_SIZE] = {};
    _stzcpy(key, userid.c_str(), sizeof key);
    _dfaSetBlk(_accbb);
    bool found = _dfaAcqLock(out, key, 0, HOST_GET_EQUAL, 0) != 0;
    _dfaRstBlk();
    return found;
}

bool account_add(const std::string &userid, const std::string &password, const std::string &alias,
                 const std::vector<std::string> &keys, std::string *error) {
    std::string joined;
    for (const auto &k : keys) {
        if (k.empty() || k.find(' ') != std::string::npos) {
            *error = "key '" + k + "' must be one word";
            return false;
        }
        joined += (joined.empty() ? "" : " ") + k;
    }
    if (userid.empty() || userid.size() > HOST_USERID_SIZE - 1) {
        *error = "user id must have 1 to 29 characters";
        return false;
    }
    if (password.empty() || password.size() > HOST_PASSWORD_SIZE - 1) {
        *error = "password must have 1 to 9 characters";
        return false;
    }
    if (alias.size() > HOST_ALIAS_SIZE - 1) {
        *error = "alias must have at most 29 characters";
        return false;
    }
    if (joined.size() > HOST_KEYS_SIZE - 1) {
        *error = "the keys take more than 233 characters together";
        return false;
    }
    HostAccount account{};
    _stlcpy(account.userid, userid.c_str(), sizeof account.userid);
    _stlcpy(account.password, password.c_str(), sizeof account.password);
    _stlcpy(account.alias, (alias.empty() ? userid : alias).c_str(), sizeof account.alias);
    _stlcpy(account.keys, joined.c_str(), sizeof account.keys);
    _dfaSetBlk(_accbb);
    bool added = _dfaInsert(&account) != 0;
    _dfaRstBlk();
    if (!added) *error = "user '" + userid + "' already exists (or the account file cannot be written)";
    return added;
}

bool valid_mail_address(const std::string &address) {
    if (address.size() > 254) return false;
    size_t at = address.rfind('@');
    if (at == std::string::npos) return false;
    return valid_local_part(address.substr(0, at)) && valid_domain(address.substr(at + 1));
}

}  // namespace host

extern "C" {
char *(*_alsofusr)(const char *userid) = host::default_alias;
}

extern "C" HostBool _uhskey(const char *userid, const char *key) {
    HostAccount account;
    if (userid == nullptr || key == nullptr || !host::account_find(userid, &account)) return 0;
    if (key[0] == '\0') return 1;
    char keys[HOST_KEYS_SIZE];
    _stzcpy(keys, account.keys, sizeof keys);
    for (char *save = nullptr, *word = strtok_r(keys, " ", &save); word != nullptr;
         word = strtok_r(nullptr, " ", &save)) {
        if (_sameas(word, key)) return 1;
    }
    return 0;
}

extern "C" HostBool _adrxst(const char *address) {
    if (address == nullptr) return 0;
    std::string text = address;
    // A transport prefix such as "INTERNET:" may stand in front of the address itself.
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) text = text.substr(colon + 1);
    if (text.empty()) return 0;
    HostAccount account;
    if (text.find('@') == std::string::npos) return host::account_find(text, &account);
    return host::valid_mail_address(text);
}
