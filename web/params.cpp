// Parameters of the request, and who the shopper is.
#include "web/params.h"

#include <cstdint>
#include <cstring>

#include "web/hooks.h"

char DecodeBuffer[kDecodeSize];

namespace {

char *Authorization[HOST_CHANNELS];   // the header text the host stored, per channel
HostAccount VerifiedAccount;           // all zero when nobody is verified
char ParamValue[kParamSize];

// 0..63 for the alphabet, kSkip for every other byte, kEnd for '='.
constexpr signed char kSkip = -1;
constexpr signed char kEnd = -2;

struct Base64Table {
    signed char value[256];
    constexpr Base64Table() : value() {
        for (int i = 0; i < 256; ++i) value[i] = kSkip;
        const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
        value[static_cast<unsigned char>('=')] = kEnd;
    }
};
constexpr Base64Table kBase64;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void ClearVerified() { std::memset(&VerifiedAccount, 0, sizeof VerifiedAccount); }

}  // namespace

void ClearAuthorizations() {
    for (char *&entry : Authorization) entry = nullptr;
}

void ClearChannelAuthorization() {
    if (_usrnum >= 0 && _usrnum < HOST_CHANNELS) Authorization[_usrnum] = nullptr;
}

MODULE_EXPORT int kvzsvwparse(char *line) {
    if (_usrnum >= 0 && _usrnum < HOST_CHANNELS) _hdrstg(line, "Authorization:", &Authorization[_usrnum]);
    return PassHeaderLineOn(line);
}

void VerifyUser() {
    const char *entry = (_usrnum >= 0 && _usrnum < HOST_CHANNELS) ? Authorization[_usrnum] : nullptr;
    if (entry == nullptr || entry[0] == '\0') {
        ClearVerified();
        return;
    }
    // The scheme word and its blank ("Basic ") are skipped unread. Base64Decode trims the text
    // in place, so it works on a copy: the host's header text stays as it came.
    static char encoded[1024];
    size_t length = std::strlen(entry);
    if (length <= 6 || length - 6 >= sizeof encoded) {
        ClearVerified();
        return;
    }
    std::memcpy(encoded, entry + 6, length - 6 + 1);
    // A text that decodes to more than the buffer holds verifies nobody.
    if (Base64Decode(encoded, DecodeBuffer, sizeof DecodeBuffer) < 0) {
        ClearVerified();
        return;
    }
    char *colon = std::strchr(DecodeBuffer, ':');
    if (colon == nullptr) {
        ClearVerified();
        return;
    }
    *colon = '\0';
    const char *userid = DecodeBuffer;
    // The account key holds 29 characters; a longer id can match no account.
    if (std::strlen(userid) >= HOST_USERID_SIZE) {
        ClearVerified();
        return;
    }
    char key[HOST_USERID_SIZE] = {};
    _stzcpy(key, userid, sizeof key);
    _dfaSetBlk(_accbb);
    HostBool found = _dfaAcqLock(&VerifiedAccount, key, 0, HOST_GET_EQUAL, 0);
    _dfaRstBlk();
    if (!found) {
        ClearVerified();
        return;
    }
    char typed[HOST_PASSWORD_SIZE];
    _stzcpy(typed, colon + 1, sizeof typed);
    char stored[HOST_PASSWORD_SIZE];
    _stzcpy(stored, VerifiedAccount.password, sizeof stored);
    if (!_sameas(typed, stored)) ClearVerified();
}

const char *CurrentUserId() {
    static char userid[HOST_USERID_SIZE];
    _stzcpy(userid, VerifiedAccount.userid, sizeof userid);
    return userid;
}

HostBool UserVerified() { return VerifiedAccount.userid[0] != '\0'; }

namespace {

// Decodes from in to out, at most room - 1 bytes, up to the end of the text or, with stop, up
// to the next '&'; terminates out. out may be in itself: the decoded text is never longer.
void DecodeUpTo(const char *in, char *out, size_t room, char stop) {
    size_t n = 0;
    while (*in != '\0' && *in != stop && n + 1 < room) {
        if (in[0] == '%' && HexValue(in[1]) >= 0 && HexValue(in[2]) >= 0) {
            out[n++] = static_cast<char>(HexValue(in[1]) * 16 + HexValue(in[2]));
            in += 3;
        } else if (*in == '+') {
            out[n++] = ' ';
            ++in;
        } else {
            out[n++] = *in++;
        }
    }
    out[n] = '\0';
}

}  // namespace

void UrlDecode(char *text) {
    if (text != nullptr) DecodeUpTo(text, text, SIZE_MAX, '\0');
}

int Base64Decode(char *text, char *out, size_t out_size) {
    _depad(text);
    size_t written = 0;
    bool overflow = false;
    auto emit = [&](unsigned value) {
        if (written + 1 < out_size) out[written++] = static_cast<char>(value & 0xff);
        else overflow = true;
    };
    unsigned bits = 0;
    int collected = 0;
    for (const unsigned char *p = reinterpret_cast<unsigned char *>(text); *p != '\0'; ++p) {
        signed char v = kBase64.value[*p];
        if (v == kSkip) continue;
        if (v == kEnd) {
            if (collected == 3) {
                emit(bits >> 10);
                emit(bits >> 2);
            } else if (collected == 2) {
                emit(bits >> 4);
            }
            collected = 0;
            break;
        }
        bits = bits << 6 | static_cast<unsigned>(v);
        if (++collected == 4) {
            emit(bits >> 16);
            emit(bits >> 8);
            emit(bits);
            bits = 0;
            collected = 0;
        }
    }
    if (out_size > 0) out[written] = '\0';
    return overflow ? -1 : static_cast<int>(written);
}

char *GetParam(const char *name) {
    ParamValue[0] = '\0';
    if (_vdaptr == nullptr || name == nullptr) return ParamValue;
    const char *text;
    if (_sameas(_vdaptr->method, "POST")) {
        text = _vdaptr->body;
    } else {
        text = _vdaptr->url != nullptr ? std::strchr(_vdaptr->url, '?') : nullptr;
        if (text != nullptr) ++text;
    }
    if (text == nullptr) return ParamValue;
    // The text is split at '&' and the name matched as it came; only the value found is decoded,
    // once, into the value buffer. An encoded '&', '=', '+' or '%' typed into a field stays part
    // of its value, and the request text is never changed, so every call sees the same values.
    size_t name_length = std::strlen(name);
    for (const char *p = text; p != nullptr; p = std::strchr(p, '&') ? std::strchr(p, '&') + 1 : nullptr) {
        if (_sameto(name, p) && p[name_length] == '=') {
            DecodeUpTo(p + name_length + 1, ParamValue, kParamSize, '&');
            return ParamValue;
        }
    }
    return ParamValue;
}
