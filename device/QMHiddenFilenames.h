#pragma once

#include <cstddef>

// Names that the file browser or the system keeps on volumes and in folders. Names are
// bytes of the file-system representation; comparisons are exact and case-sensitive.

// Folder bookkeeping names (lengths 1 to 22). Bit 0 of `mode` set: ".DS_Store" and the
// "Icon\r" file count as content.
bool QMIsFilenameHiddenExcluded(const char *name, size_t length, int mode);

// Names kept at the root of a volume (lengths 1 to 40).
bool QMIsVolumeHiddenFilename(const char *name, size_t length);

// Names of a system volume (lengths 1 to 50): the volume-root names, the always-hidden
// system names and, for `mode` 0 only, the Unix directories.
bool QMIsVolumeSystemHiddenFilename(const char *name, size_t length, int mode);
