/* The host server's interface as a module sees it: every service the host exports to the
 * libraries it loads, with C linkage. hostd implements all of it (host/); a module, the mall
 * library and the card library include this header and nothing of host/.
 *
 * The host calls a module one call at a time from a single thread: the current channel, user
 * record and web record below are valid for the duration of one hook, status or timer call. */
#ifndef SHELL_HOST_H
#define SHELL_HOST_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A check's result: 1 or 0. */
typedef int16_t HostBool;

/* ------------------------------------------------------------------------------------------ */
/* Modules */

#define HOST_MODULE_NAME_SIZE 25

/* The registration record. The nine routine entries come in this fixed order; an empty entry
 * is never called. The host calls `status` for a channel whose user record names the module. */
struct HostModule {
    char description[HOST_MODULE_NAME_SIZE];
    int (*logon)(void);        /* 1: a user enters the module */
    int (*input)(void);        /* 2: a line of input from a user in the module */
    void (*status)(void);      /* 3: a status call for a channel the module owns (_status) */
    int (*injected)(void);     /* 4: a message injected for a user of the module */
    int (*logoff)(void);       /* 5: a user leaves the module */
    void (*hangup)(void);      /* 6: a user's connection was lost */
    void (*cleanup)(void);     /* 7: the nightly clean-up */
    void (*delete_account)(const char *userid); /* 8: an account is being deleted */
    void (*shutdown)(void);    /* 9: the host is shutting down */
};

/* The module name of a module definition file ("name:" line); "" when the file has none. */
char *_gmdnam(const char *mdf_file);
/* Registers a module; the result is its module number (1 and up). The record must live as
 * long as the module. */
int16_t _register_module(struct HostModule *module);

/* ------------------------------------------------------------------------------------------ */
/* Options and messages */

typedef struct HostMessageBlock HostMessageBlock;

/* Opens an option and message file. A missing or malformed file is a start-up error: the host
 * prints the file and line on standard error and exits with status 1. */
HostMessageBlock *_opnmsg(const char *file);
/* Selects a block, remembering the previous selection; _rstmbk goes back to it. The host
 * empties the selection stack at the start of every request, status and timer call. */
void _setmbk(HostMessageBlock *block);
void _rstmbk(void);
void _clsmsg(HostMessageBlock *block);
/* Option n of the selected block as a text the caller owns (free with _hfree); "" when the
 * block has no entry n. */
char *_stgopt(int n);
/* Option n as a decimal number, kept within [low, high]. */
int _numopt(int n, int low, int high);
/* Option n as yes (1) or no (0): YES, NO, Y or N in any letter case. */
HostBool _ynopt(int n);
/* The text of message n; "(message n missing)" when the block lacks it. The text lives until
 * the block is closed. */
char *_getMsgBlk(int n);
/* The text of message n of the selected block, or NULL when the block has none; unlike
   _getMsgBlk it writes no trace line, for messages an installation may leave out. */
char *_fndmsg(int n);

/* Writes one audit entry: the summary, a tab and the formatted detail, to audit.log. */
void _shocst(const char *summary, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* Calls routine once, seconds from now (host seconds: --time-scale speeds them up). */
void _rtkick(int seconds, void (*routine)(void));

/* ------------------------------------------------------------------------------------------ */
/* Memory */

/* Never fails: the host ends the process when memory is exhausted. */
void *_alcmem(size_t size);
/* May fail: NULL when no memory is left. */
void *_hmalloc(size_t size);
void _hfree(void *block);

/* ------------------------------------------------------------------------------------------ */
/* Channels */

#define HOST_CHANNELS 256

/* User record flag: the channel is being taken down; leave it alone. */
#define HOST_USER_LEAVE_ALONE 4

struct HostUser {
    int16_t flags;
    int16_t module;   /* number of the module that owns the channel's status calls; 0 the host */
    int16_t substate; /* the owning module's own state of the channel */
};

struct HostTcpInfo {
    struct in_addr peer; /* the shopper's IPv4 address, network byte order */
    uint16_t peer_port;  /* host byte order */
};

extern int _usrnum;                    /* the current channel, 0 to HOST_CHANNELS - 1; HOST_CHANNELS outside a call */
extern struct HostUser *_usrptr;       /* the current channel's user record */
extern int _status;                    /* the status value of the current status call */
extern struct HostTcpInfo *_tcpipinf;  /* by channel */
extern int _outbsz;                    /* size of a channel's output buffer */
/* Activity flag of a status call: 1 when it starts; a routine that made no progress sets it
 * to 0, and the host holds the channel's next status call until its output moves or the next
 * clock tick. */
extern int _actdet;

/* Posts a status call with value status for channel; it never calls the routine itself. */
void _btuinj(int channel, int status);
/* Free room in channel's output buffer; an empty buffer reports _outbsz / 2 - 1. */
int _btuoba(int channel);
/* Discards what the peer sent and nobody has read. */
void _btucli(int channel);
/* Discards output queued for channel that the socket has not taken. */
void _btuclo(int channel);
/* The host clock in 1/65536 seconds (runs --time-scale times faster). */
unsigned long _hrtval(void);
/* Ends the current channel's connection at once: the peer has gone. */
void _rstchn(void);
/* Formats text into the current channel's pending output. */
void _prf(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* Moves the pending output into the channel's output buffer. */
void _powprf(void);
/* Hands the current channel back to the host; it closes once its output has drained. */
void _byendl(int keep);
/* Shows a line of activity for the current channel on the operator's console. */
void _shochl(const char *text, char letter, int colour);

/* ------------------------------------------------------------------------------------------ */
/* Web daemon */

#define HOST_PROTOCOL_HTTP10 100
#define HOST_PROTOCOL_HTTP11 101

/* The web record of a channel, for the request it carries. */
struct HostWebRecord {
    char method[16];          /* "GET", "POST", "HEAD", ... as sent */
    char *url;                /* path and query, writable, NUL-terminated */
    char *request;            /* the whole request as read, writable, NUL-terminated */
    char *body;               /* start of the body within request; "" when none */
    int protocol;             /* 100 HTTP/1.0, 101 HTTP/1.1, below 100 no version given */
    uint16_t last_activity;   /* sixteenths of a second (_hrtval() >> 12) */
    int32_t bytes_sent;       /* body bytes sent, kept by the module that sends them */
    FILE *file;               /* a file the module keeps open for this request */
    char file_name[64];       /* its name */
};

/* Starts the web daemon; further calls do nothing. */
void _init__webd(void);
/* The request handler: called with the URL of every request, after every header line has
 * gone through _prshdrlin. A module replaces it and chains to the value it found. */
extern void (*_hdlwebreq)(char *url);
/* The header-line parser: called with each header line, without its line end. */
extern int (*_prshdrlin)(char *line);
/* When line is the header name (e.g. "Authorization:", letter case ignored), stores its value,
 * without the name and the blanks after the colon, in *slot and returns 1. The text lives until
 * the request ends. */
HostBool _hdrstg(const char *line, const char *name, char **slot);
extern struct HostWebRecord *_vdaptr; /* the current channel's web record */
extern char *_vdatmp;                 /* scratch area of _vdasiz bytes */
extern int _vdasiz;
/* Sends body bytes on the current channel: takes as many as the output buffer has room for
 * and returns how many it took. */
int _hdlrspbdy(const char *data, int count);
/* Ends the current transfer: closes the web record's file; the connection closes once the
 * output has drained. */
void _endwebd(int close_connection);
/* The host's own answers on the current channel, which then closes:
 *   53 401 Unauthorized, asking for a user id and password (no further arguments)
 *   54 501 Not Implemented (const char *url, const char *url)
 *   55 500 Internal Server Error (no further arguments)
 *   56 closes an idle transfer (int seconds) */
void _byeweb(int answer, ...);

/* ------------------------------------------------------------------------------------------ */
/* Data files */

/* A data-file handle: an index into the host's table of open files. */
typedef int32_t HostFile;

/* Operations of _dfaAcqLock, _dfaQuery and _dfaQueryNP. */
#define HOST_GET_EQUAL 5
#define HOST_GET_GREATER 8
#define HOST_GET_GREATER_EQUAL 9
#define HOST_GET_LESS 10
#define HOST_QUERY_EQUAL 55
#define HOST_QUERY_NEXT 56
#define HOST_QUERY_PREVIOUS 57
#define HOST_QUERY_GREATER 58
#define HOST_QUERY_GREATER_EQUAL 59
#define HOST_QUERY_LESS 60

/* Key segment types. Text compares up to its terminator ignoring ASCII letter case; integers
 * compare as signed numbers; a byte as an unsigned number. */
#define HOST_KEY_TEXT 1
#define HOST_KEY_BYTE 2
#define HOST_KEY_INT16 3
#define HOST_KEY_INT32 4

#define HOST_KEY_MAX_SEGMENTS 8
#define HOST_KEY_MAX_FILE_KEYS 8

struct HostKeySegment {
    int16_t offset; /* in the record */
    int16_t width;  /* bytes; 1, 2 and 4 for BYTE, INT16 and INT32 */
    int16_t type;
};

/* A key: its segments in order. A key buffer holds the segments' values one after another. */
struct HostKeyDef {
    int16_t unique; /* 1: a second record with the same key is refused */
    int16_t segment_count;
    struct HostKeySegment segments[HOST_KEY_MAX_SEGMENTS];
};

/* Opens (creating when absent) table in database (a file under the root's data/ directory,
 * e.g. "catalogue.db") with records of record_size bytes at most and the given keys.
 * The result is the handle, or -1 after a line on standard error. */
HostFile _dfaOpen(const char *database, const char *table, int record_size, int key_count,
                  const struct HostKeyDef *keys);

/* Selects a file for the calls below, remembering the previous selection. */
void _dfaSetBlk(HostFile file);
void _dfaRstBlk(void);
/* Reads the record that op finds on key keynum into buffer and makes it the current one.
 * key is a full-length key buffer. 1 when a record was read. lock is ignored. */
HostBool _dfaAcqLock(void *buffer, const void *key, int keynum, int op, int lock);
/* The same without reading the record: ops 55, 58, 59, 60 act as 5, 8, 9, 10. */
HostBool _dfaQuery(const void *key, int keynum, int op);
/* Steps along the key of the last look-up: 56 next, 57 previous (duplicates in position
 * order). */
HostBool _dfaQueryNP(int op);
/* The position of the current record: stable for the record's life; 0 when none. */
long _dfaAbs(void);
/* Reads the record at position; the current record does not change. */
HostBool _dfaGetAbsLock(void *buffer, long position, int keynum, int lock);
/* Reads the record at position and makes it the current one on key keynum. */
HostBool _dfaAcqAbsLock(void *buffer, long position, int keynum, int lock);
/* Adds a record of the file's record size (or length bytes); 1 when added, 0 when refused
 * (a duplicate on a unique key, or the file could not be written). Durable when it returns. */
HostBool _dfaInsert(const void *buffer);
HostBool _dfaInsertV(const void *buffer, int length);
/* Replaces or deletes the current record. */
HostBool _dfaUpdate(const void *buffer);
/* Replaces the current record only while it still holds the length bytes of before (the
 * record as read, length as _dfaRecLen gave it), with nobody else's write in between. 0 when
 * it holds something else by now or is gone (read it again and decide again), or when the
 * file could not be written. */
HostBool _dfaUpdateIf(const void *before, int length, const void *buffer);
HostBool _dfaDelete(void);
/* The length of the record read last. */
int _dfaRecLen(void);

/* ------------------------------------------------------------------------------------------ */
/* Accounts */

#define HOST_ACCOUNT_SIZE 304
#define HOST_USERID_SIZE 30
#define HOST_PASSWORD_SIZE 10
#define HOST_ALIAS_SIZE 30
#define HOST_KEYS_SIZE 234

/* The account record: key 0 is the user id. */
struct HostAccount {
    char userid[HOST_USERID_SIZE];     /* 0 */
    char password[HOST_PASSWORD_SIZE]; /* 30 */
    char alias[HOST_ALIAS_SIZE];       /* 40 */
    char keys[HOST_KEYS_SIZE];         /* 70: the keys the user holds, separated by blanks */
};

extern HostFile _accbb; /* the account file */

/* 1 when the user holds key (letter case ignored). */
HostBool _uhskey(const char *userid, const char *key);
/* The alias of a user id (the id itself when the account has none, or there is no account). */
extern char *(*_alsofusr)(const char *userid);
/* 1 when address is a host user id, or a valid internet mail address, optionally behind a
 * prefix that ends with ':'. */
HostBool _adrxst(const char *address);

/* ------------------------------------------------------------------------------------------ */
/* Texts and dates. Routines that return text return a static buffer that a later call
 * overwrites. */

/* Copy at most size - 1 characters and terminate. */
char *_stzcpy(char *dst, const char *src, int size);
/* The same, and zero the rest of the size bytes. */
char *_stlcpy(char *dst, const char *src, int size);
/* Append, keeping the whole text within size - 1 characters. */
char *_stzcat(char *dst, const char *src, int size);
/* Equal, ignoring letter case. */
HostBool _sameas(const char *a, const char *b);
/* text begins with prefix, ignoring letter case. */
HostBool _sameto(const char *prefix, const char *text);
/* Replaces every character from by to, in place. */
char *_strrpl(char *text, char from, char to);
/* Drops trailing blanks, in place. */
char *_depad(char *text);
/* Formats into one of a few rotating 1024-byte buffers. */
char *_spr(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* A long as decimal text. */
char *_l2as(long value);
/* Item index (from 0) of a list whose items are separated by any of the separator characters;
 * "" when the list has fewer items. */
char *_itemidxd(const char *list, int index, const char *separators);

/* Packed dates: (year - 1980) << 9 | month << 5 | day. Packed times: hour << 11 | minute << 5 |
 * second / 2. Day counts: days since 1 January 1980 (day 0). */
uint16_t _today(void);
uint16_t _now(void);
int _cofdat(uint16_t date);
uint16_t _datofc(int count);
char *_ncdate(uint16_t date); /* "MM/DD/YY" */
char *_nctime(uint16_t time); /* "HH:MM:SS" */

/* ------------------------------------------------------------------------------------------ */
/* Libraries and the debugger output, as the module's original platform named them. A library
 * "X" is the file x.so (lower case) in the host's library directory. */

void *LoadLibraryA(const char *name);
void *GetProcAddress(void *library, const char *name);
int FreeLibrary(void *library);
/* Appends text to trace.log (a line end is added when text has none). */
void OutputDebugStringA(const char *text);

#ifdef __cplusplus
}
#endif

#endif /* SHELL_HOST_H */
