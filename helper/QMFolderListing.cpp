#include "QMFolderListing.h"

#include "QMFinderTools.h"

#include <QFile>

#include <algorithm>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

} // namespace

int QMFolderListing::naturalCompare(const QString &a, const QString &b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Leading zeros do not change a number; the longer number is the bigger one.
            while (i < a.size() - 1 && a[i] == QLatin1Char('0') && isDigit(a[i + 1]))
                ++i;
            while (j < b.size() - 1 && b[j] == QLatin1Char('0') && isDigit(b[j + 1]))
                ++j;
            qsizetype ei = i, ej = j;
            while (ei < a.size() && isDigit(a[ei]))
                ++ei;
            while (ej < b.size() && isDigit(b[ej]))
                ++ej;
            if (ei - i != ej - j)
                return ei - i < ej - j ? -1 : 1;
            for (; i < ei; ++i, ++j)
                if (a[i] != b[j])
                    return a[i] < b[j] ? -1 : 1;
            continue;
        }
        const QChar ca = a[i].toCaseFolded(), cb = b[j].toCaseFolded();
        if (ca != cb)
            return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size())
        return i < a.size() ? 1 : -1;
    return a.compare(b);
}

bool QMFolderListing::lessThan(const Entry &a, const Entry &b)
{
    if ((a.kind == Folder) != (b.kind == Folder))
        return a.kind == Folder;
    return naturalCompare(a.name, b.name) < 0;
}

QMFolderListing::Listing QMFolderListing::list(int dirFd, bool volumeRoot, int limit)
{
    Listing listing;
    const int listingFd = fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = listingFd >= 0 ? fdopendir(listingFd) : nullptr;
    if (!dir) {
        if (listingFd >= 0)
            close(listingFd);
        return listing;
    }
    // The whole folder is read to be sorted; names only, its files are not opened.
    QList<Entry> all;
    while (const struct dirent *entry = readdir(dir)) {
        const QByteArray raw(entry->d_name);
        if (raw == "." || raw == "..")
            continue;
        const QString name = QFile::decodeName(raw);
        if (volumeRoot && QMFinderTools::isVolumeSystemHiddenFilename(name, 0))
            continue;
        if (QMFinderTools::isSystemFileNameInFolder(name, 0))
            continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
        }
        all.append({name, raw, type == DT_DIR ? Folder : type == DT_LNK ? Link : File});
    }
    closedir(dir);
    const qsizetype shown = std::min<qsizetype>(std::max(limit, 0), all.size());
    std::partial_sort(all.begin(), all.begin() + shown, all.end(), lessThan);
    listing.truncated = all.size() > shown;
    all.resize(shown);
    listing.entries = std::move(all);
    return listing;
}
