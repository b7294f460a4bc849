#include "QMHiddenFilenames.h"

#include <cstring>

namespace {

struct Name
{
    const char *bytes;
    size_t length;
};

bool equals(const char *name, size_t length, const Name &n)
{
    return length == n.length && std::memcmp(name, n.bytes, length) == 0;
}

bool inTable(const char *name, size_t length, const Name *table, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (equals(name, length, table[i]))
            return true;
    }
    return false;
}

#define QM_NAME(s) Name{s, sizeof(s) - 1}

const Name kVolumeRootNames[] = {
    QM_NAME(".vol"),
    QM_NAME(".file"),
    QM_NAME(".Trashes"),
    QM_NAME(".fseventsd"),
    QM_NAME(".Spotlight-V100"),
    QM_NAME(".hotfiles.btree"),
    QM_NAME(".DocumentRevisions-V100"),
    QM_NAME(".HFS+ Private Directory Data\r"),
    QM_NAME(".PKInstallSandboxManager-SystemSoftware"),
};

const Name kSystemNames[] = {
    QM_NAME("dev"), QM_NAME("net"), QM_NAME("home"), QM_NAME("cores"), QM_NAME("mach_kernel"),
    QM_NAME("mach.sym"), QM_NAME("mach"), QM_NAME("Network"), QM_NAME("Volumes"),
};

const Name kUnixNames[] = {
    QM_NAME("etc"), QM_NAME("var"), QM_NAME("tmp"), QM_NAME("bin"), QM_NAME("sbin"), QM_NAME("usr"), QM_NAME("private"),
};

// Composed once; static initialisation of a constant is thread-safe.
const Name &fileTransferFolder()
{
    static const Name name = QM_NAME("File Transfer Folder\x03\r");
    return name;
}

#undef QM_NAME

template<size_t N>
constexpr size_t countOf(const Name (&)[N])
{
    return N;
}

} // namespace

bool QMIsFilenameHiddenExcluded(const char *name, size_t length, int mode)
{
    if (!name || length < 1 || length > 22)
        return false;
    if (equals(name, length, Name{".file", 5}) || equals(name, length, Name{".Trash", 6})
        || equals(name, length, Name{".localized", 10}) || equals(name, length, fileTransferFolder()))
        return true;
    if (mode & 1)
        return false;
    return equals(name, length, Name{".DS_Store", 9}) || equals(name, length, Name{"Icon\r", 5});
}

bool QMIsVolumeHiddenFilename(const char *name, size_t length)
{
    if (!name || length < 1 || length > 40)
        return false;
    if (length < 4 || length > 39 || name[0] != '.')
        return false;
    return inTable(name, length, kVolumeRootNames, countOf(kVolumeRootNames));
}

bool QMIsVolumeSystemHiddenFilename(const char *name, size_t length, int mode)
{
    if (!name || length < 1 || length > 50)
        return false;
    if (QMIsVolumeHiddenFilename(name, length))
        return true;
    if (inTable(name, length, kSystemNames, countOf(kSystemNames)))
        return true;
    return mode == 0 && inTable(name, length, kUnixNames, countOf(kUnixNames));
}
