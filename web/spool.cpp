// Response spooling and streaming.
#include "web/spool.h"

#include "shell/options.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kSendingSpool = 3;  // user-record sub-state: a spool file is being sent
constexpr int kStatusSend = 240;  // the module's own status: send the next piece
constexpr int kStatusGone = 1;    // the peer has gone

const char kSpoolTemplate[] = "KVZSVTMP\\SVWTXXXXXX";

// The stream buffer of each channel's spool file, so that opening one costs no look at the
// file to size a buffer. A channel has one spool file open at a time. Most pages fit it whole:
// written with one write, read back with one read.
constexpr size_t kSpoolBufferSize = 16384;
char SpoolBuffers[HOST_CHANNELS][kSpoolBufferSize];
// What each channel's spool file holds and what of it is still to be read: the transfer knows
// its end without a read that finds nothing.
long SpoolLeft[HOST_CHANNELS];

long *LeftOf(int channel) { return channel >= 0 && channel < HOST_CHANNELS ? &SpoolLeft[channel] : nullptr; }

uint16_t Now16() { return static_cast<uint16_t>(_hrtval() >> 12); }

// Only files of the spool directory are ever deleted here.
void DeleteSpool(const char *name) {
    if (_sameto("KVZSVTMP", name)) unlink(name);
}

}  // namespace

MODULE_EXPORT void WebOut(const char *text) {
    HostWebRecord *web = _vdaptr;
    if (web == nullptr || text == nullptr) return;
    if (web->file == nullptr) {
        _stzcpy(web->file_name, kSpoolTemplate, sizeof web->file_name);
        _strrpl(web->file_name, '\\', '/');
        int fd = mkstemp(web->file_name);
        if (fd < 0) {
            TraceLine("Failed to create %s", web->file_name);
            web->file_name[0] = '\0';
            return;
        }
        // Written now, read back by the status calls through the same descriptor.
        web->file = fdopen(fd, "w+b");
        if (web->file == nullptr) {
            TraceLine("Failed to open %s", web->file_name);
            close(fd);
            unlink(web->file_name);
            web->file_name[0] = '\0';
            return;
        }
        if (_usrnum >= 0 && _usrnum < HOST_CHANNELS)
            setvbuf(web->file, SpoolBuffers[_usrnum], _IOFBF, kSpoolBufferSize);
        if (long *left = LeftOf(_usrnum)) *left = 0;
    }
    size_t length = std::strlen(text);
    if (fwrite_unlocked(text, 1, length, web->file) == length)  // one thread writes a spool file
        if (long *left = LeftOf(_usrnum)) *left += static_cast<long>(length);
}

void BeginTransfer() {
    HostWebRecord *web = _vdaptr;
    if (web == nullptr || web->file == nullptr) return;
    // A page that could not be written whole (a full disk, a file-size limit) is never sent
    // cut short: the shopper gets the host's error answer instead, and the file goes.
    if (ferror(web->file) != 0 || fflush(web->file) != 0 || fseek(web->file, 0, SEEK_SET) != 0) {
        TraceLine("Failed to write %s", web->file_name);
        fclose(web->file);
        web->file = nullptr;
    }
    if (web->file == nullptr) {
        DeleteSpool(web->file_name);
        _byeweb(55);
        return;
    }
    if (web->protocol >= HOST_PROTOCOL_HTTP10) {
        _prf("HTTP/1.0 200 OK: \r\n");
        _prf("Content-Type: text/html\r\n");
        _prf("\r\n");
        _powprf();
    }
    _usrptr->substate = kSendingSpool;
    _usrptr->module = ModuleNumber;
    _btuinj(_usrnum, kStatusSend);
    _shochl("Shopvera Web Activity", 'O', 31);
}

MODULE_EXPORT void svwStatus(void) {
    if (_status == kStatusGone) {
        _rstchn();
        return;
    }
    if (_status != kStatusSend) return;
    if (_usrptr->flags & HOST_USER_LEAVE_ALONE) return;
    _setmbk(MessageBlock);
    HostWebRecord *web = _vdaptr;
    uint16_t now = Now16();
    // 16-bit times: the difference is taken modulo 2^16, so a transfer across the clock's wrap
    // is not cut off.
    uint16_t elapsed = static_cast<uint16_t>(now - web->last_activity);
    if (OptIdleTimeout != 0 && elapsed > OptIdleTimeout) {
        _btuclo(_usrnum);
        _byeweb(56, OptIdleTimeout / 16);
        DeleteSpool(web->file_name);
        return;
    }
    if (_usrptr->substate != kSendingSpool) return;
    _btucli(_usrnum);
    int room = _btuoba(_usrnum);
    if (room <= 0) {
        _actdet = 0;
    } else {
        size_t want = static_cast<size_t>(room < _vdasiz ? room : _vdasiz);
        // Once the end of the file has been read there is nothing more to read: the file
        // does not grow while it is sent.
        long *left = LeftOf(_usrnum);
        if (left != nullptr && static_cast<long>(want) > *left) want = static_cast<size_t>(*left);
        size_t count = web->file != nullptr && !feof(web->file) && want > 0 ? fread(_vdatmp, 1, want, web->file) : 0;
        if (left != nullptr) *left -= static_cast<long>(count);
        if (count > 0) {
            web->bytes_sent += _hdlrspbdy(_vdatmp, static_cast<int>(count));
            web->last_activity = now;
        } else if (room == _outbsz / 2 - 1) {
            _endwebd(1);
            _byendl(0);
            DeleteSpool(web->file_name);
            return;
        } else {
            _actdet = 0;
        }
    }
    _btuinj(_usrnum, kStatusSend);
}
