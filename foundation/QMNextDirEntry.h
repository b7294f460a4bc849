#pragma once

#include <cerrno>
#include <cstring>

#include <dirent.h>

// The next entry of `dir`, "." and ".." left out; null at the end or on a read error,
// which errno tells apart (0 at the end). errno is cleared before each read, so the body
// of a loop over the entries may leave it as it likes.
inline struct dirent *QMNextDirEntry(DIR *dir)
{
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(dir);
        if (!entry)
            return nullptr;
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        return entry;
    }
}
