// The root's files as module paths find them, kept in memory while the host runs: directory
// listings, whether a file can be read, and the bytes of small files. inotify tells of every
// change; RefreshFileCache takes the news in. Off until EnableFileCache: a tool or a test that
// never turns it on reads the disk every time.
#ifndef SHELL_FILECACHE_H
#define SHELL_FILECACHE_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

// Turns the cache on (once; false when inotify is not available, and the disk is read as before).
bool EnableFileCache();
void DisableFileCache();
bool FileCacheEnabled();
// Takes in every change reported since the last call, without waiting. At the start of every
// request: what the operator changed before it is what the request sees.
void RefreshFileCache();

// The cached forms of the path functions of paths.h, with their meaning. Each answers -1 (or
// false) when the cache cannot answer (off, an absolute path, "." or "..", a link to open):
// the caller then asks the disk.
bool CachedResolve(const char *path, char *resolved, size_t size);
// 1 with *file open on the bytes in memory; 0 when there is no such file (errno set).
int CachedOpen(const char *path, const char *mode, FILE **file);
// 1 with *bytes holding the file's bytes, for a reader that takes them straight from memory;
// 0 when there is no such file (errno set). The bytes stay valid while held, even when the file
// changes meanwhile.
int CachedBytes(const char *path, std::shared_ptr<const std::string> *bytes);
// 1 when the path names a file this process can read, 0 when not.
int CachedReadable(const char *path);

#endif // SHELL_FILECACHE_H
