// Request parameters by name, and the shopper's identity from the Basic Authorization header,
// verified against the host's accounts.
#pragma once

#include <cstddef>

#include "shell/module.h"

constexpr int kParamSize = 256;  // the parameter value buffer
constexpr int kDecodeSize = 256; // the authorization decode buffer

// Module-wide scratch that receives the decoded authorization text; pages use it too.
extern char DecodeBuffer[kDecodeSize];

// The header-line hook: keeps the Authorization header of the current channel.
MODULE_EXPORT int kvzsvwparse(char *line);

// Empties the whole authorization table (start-up) or the current channel's entry (request end).
void ClearAuthorizations();
void ClearChannelAuthorization();

void VerifyUser();
const char *CurrentUserId();
HostBool UserVerified();

// The value of parameter name from the query (GET) or the form body (POST), decoded once and
// cut to 255 characters, in a buffer the next call overwrites; "" when absent.
char *GetParam(const char *name);

// Decodes %XX and '+' in place.
void UrlDecode(char *text);
// Decodes base64 text into out (out_size bytes, terminated). Returns the number of bytes
// decoded, or -1 when they would not fit (out then holds what fitted).
int Base64Decode(char *text, char *out, size_t out_size = kDecodeSize);
