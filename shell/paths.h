// Module paths: the module names its files the way its first platform did ("kvzsvw\ACME\x.htm",
// any letter case); these helpers find them on a case-sensitive file system with '/' separators.
#ifndef SHELL_PATHS_H
#define SHELL_PATHS_H

#include <cstddef>
#include <cstdio>

// Opens a module path with fopen's mode. '\' counts as '/'. A path found as written is opened as
// written; otherwise each part is looked up in its directory ignoring ASCII letter case, one
// level at a time (an exact spelling wins over other spellings; among those the first in byte
// order). Relative paths start at the current directory, the mall root. A last part that
// exists in no spelling is kept as written, so "wb" creates it. Null when fopen fails.
//
// The path is used as given: "." and ".." parts are followed, not refused. A caller that puts
// request or record text into a path checks that text with IsSafePathPart first.
FILE *OpenModuleFile(const char *path, const char *mode);

// True when the path names a file that OpenModuleFile(path, "rb") would open: it exists, is not a
// directory, and can be read.
bool ModuleFileReadable(const char *path);

// The on-disk spelling of a module path, as OpenModuleFile would open it, into resolved
// (size bytes). Parts not found in any spelling are kept as written, as are all parts behind
// them. False when the path is null or the result does not fit.
bool ResolveModulePath(const char *path, char *resolved, size_t size);

// True when text can be one part of a module path: not empty, no '/' or '\', and no "..",
// so it cannot climb out of the directory it is put under.
bool IsSafePathPart(const char *text);

#endif // SHELL_PATHS_H
