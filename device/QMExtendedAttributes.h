#pragma once

#include <cstddef>

// Extended attributes of a path, never following a symbolic link at the path itself.

// The name of the volume tag written on the root of every mounted RAM disk.
extern const char *const QMVolumeTagAttributeName; // "user.org.quilmo.ramdisk-info"

// Sets `name` to `length` bytes of `value` at `path`; with a null `value` the attribute is
// removed instead. True on success.
bool QMSetExtendedAttribute(const void *value, size_t length, const char *name, const char *path);

// Reads `name` of `path` into a new buffer (size + 1 bytes, released by the caller with
// free()) and its size into *length. True on success.
bool QMGetExtentedAttribute(void **value, size_t *length, const char *name, const char *path);
