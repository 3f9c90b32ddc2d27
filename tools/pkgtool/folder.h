// A folder packed as the payload of an application or diagnostics record:
// the gzip-compressed tar archive that the board unpacks in /tmp, member
// paths relative to the folder.  The same folder always gives the same
// bytes: entries sorted by name, owner and group 0, modes kept, times 0,
// no time stamp in the gzip header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <sys/stat.h>

#include "pkgfile.h"

// Takes the archive piece by piece; returns PKG_OK, or the exit status
// after printing its own one-line error.
using ArchiveSink = std::function<int(const uint8_t *p, size_t n)>;

// Opens `path` when it is a folder; false with errno ENOTDIR when it is
// something else, or with the error that kept it from being opened.
bool open_folder(const char *path, Fd &f);

// Checks, before any output is begun, that every entry can be packed:
// files, folders and symbolic links only, each readable, with a path the
// board can unpack.  `out_dir`, when given, is the folder the output goes
// to, which must not be inside the one packed.  `name` is the folder as the
// user named it, for messages.
int folder_check(int dirfd, const char *name, const struct stat *out_dir);

// Streams the archive of the folder into `sink`.  An entry that has changed
// since folder_check, or changes while it is read, is an error: the
// archive would not hold what the folder holds.
int folder_archive(int dirfd, const char *name, const ArchiveSink &sink);
