#include "QMExtendedAttributes.h"

#include <cstdlib>
#include <sys/types.h>
#include <sys/xattr.h>

const char *const QMVolumeTagAttributeName = "user.org.quilmo.ramdisk-info";

bool QMSetExtendedAttribute(const void *value, size_t length, const char *name, const char *path)
{
    if (!name || !path)
        return false;
    if (value)
        return lsetxattr(path, name, value, length, 0) == 0;
    return lremovexattr(path, name) == 0;
}

bool QMGetExtentedAttribute(void **value, size_t *length, const char *name, const char *path)
{
    if (!name || !path)
        return false;
    const ssize_t size = lgetxattr(path, name, nullptr, 0);
    if (size < 0)
        return false;
    auto *buffer = static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1));
    if (!buffer)
        return false;
    // The value may have changed size since it was measured; a short or failed read is a failure.
    const ssize_t read = lgetxattr(path, name, buffer, static_cast<size_t>(size));
    if (read != size) {
        std::free(buffer);
        return false;
    }
    if (value)
        *value = buffer;
    else
        std::free(buffer);
    if (length)
        *length = static_cast<size_t>(size);
    return true;
}
