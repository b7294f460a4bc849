#include "QMUpdateArchive.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sched.h>
#include <thread>
#include <unistd.h>
#include <memory>

namespace {

// A release of Quilmo is a few megabytes; these leave a wide margin and still stop an
// archive that unpacks into the whole disk.
std::atomic<qint64> gEntryLimit{256LL << 20};
std::atomic<qint64> gTotalLimit{1LL << 30};

struct ReadDeleter
{
    void operator()(struct archive *a) const { archive_read_free(a); }
};
struct WriteDeleter
{
    void operator()(struct archive *a) const { archive_write_free(a); }
};
using ReadArchive = std::unique_ptr<struct archive, ReadDeleter>;
using WriteArchive = std::unique_ptr<struct archive, WriteDeleter>;

ReadArchive openZip(const QByteArray &zip, QString *error)
{
    ReadArchive a(archive_read_new());
    archive_read_support_format_zip(a.get());
    if (archive_read_open_memory(a.get(), zip.constData(), size_t(zip.size())) != ARCHIVE_OK) {
        *error = QString::fromLocal8Bit(archive_error_string(a.get()));
        return nullptr;
    }
    return a;
}

QString libarchiveError(struct archive *a)
{
    const char *text = archive_error_string(a);
    return text ? QString::fromLocal8Bit(text) : QStringLiteral("libarchive error %1").arg(archive_errno(a));
}

// The entry's name as path components, or an empty list when it would not stay below
// the destination.
QStringList safeComponents(const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QChar(0)))
        return {};
    QStringList parts;
    for (const QString &part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String(".."))
            return {};
        parts << part;
    }
    return parts;
}

// A link target, resolved from the link's own directory, must stay inside the link's
// top-level directory, which becomes the installation.
bool linkStaysInside(const QStringList &linkParts, const QString &target)
{
    if (target.isEmpty() || target.startsWith(QLatin1Char('/')) || linkParts.size() < 2)
        return false;
    QStringList resolved = linkParts.mid(0, linkParts.size() - 1);
    for (const QString &part : target.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            resolved.removeLast();
            if (resolved.isEmpty())
                return false;
            continue;
        }
        resolved << part;
    }
    return !resolved.isEmpty();
}

QString entryName(struct archive_entry *entry)
{
    const char *utf8 = archive_entry_pathname_utf8(entry);
    if (utf8)
        return QString::fromUtf8(utf8);
    const char *raw = archive_entry_pathname(entry);
    return raw ? QString::fromLocal8Bit(raw) : QString();
}

// The whole archive, entry by entry, before anything is written.
bool checkEntries(const QByteArray &zip, QString *error)
{
    ReadArchive a = openZip(zip, error);
    if (!a)
        return false;
    const qint64 entryLimit = gEntryLimit.load();
    const qint64 totalLimit = gTotalLimit.load();
    qint64 total = 0;
    struct archive_entry *entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK) {
        const QString name = entryName(entry);
        const QStringList parts = safeComponents(name);
        if (parts.isEmpty()) {
            *error = QStringLiteral("entry outside the destination: %1").arg(name);
            return false;
        }
        if (archive_entry_hardlink(entry)) {
            *error = QStringLiteral("hard link: %1").arg(name);
            return false;
        }
        switch (archive_entry_filetype(entry)) {
        case AE_IFDIR:
            break;
        case AE_IFREG:
            if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > entryLimit) {
                *error = QStringLiteral("entry too large: %1 (%2 bytes)").arg(name).arg(archive_entry_size(entry));
                return false;
            }
            total += archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
            if (total > totalLimit) {
                *error = QStringLiteral("archive too large: %1 bytes").arg(total);
                return false;
            }
            break;
        case AE_IFLNK: {
            const char *target = archive_entry_symlink_utf8(entry);
            if (!target)
                target = archive_entry_symlink(entry);
            if (!linkStaysInside(parts, target ? QString::fromUtf8(target) : QString())) {
                *error = QStringLiteral("link leaving its directory: %1 -> %2")
                             .arg(name, target ? QString::fromUtf8(target) : QString());
                return false;
            }
            break;
        }
        default:
            *error = QStringLiteral("not a file, directory or link: %1").arg(name);
            return false;
        }
    }
    if (rc != ARCHIVE_EOF) {
        *error = libarchiveError(a.get());
        return false;
    }
    return true;
}

// Writes every entry below the working directory; the names were checked already.
bool extractHere(const QByteArray &zip, QString *error)
{
    ReadArchive in = openZip(zip, error);
    if (!in)
        return false;
    WriteArchive out(archive_write_disk_new());
    // libarchive checks the names again where it writes.
    archive_write_disk_set_options(out.get(), ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM
                                                  | ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS
                                                  | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS
                                                  | ARCHIVE_EXTRACT_NO_OVERWRITE);
    const qint64 entryLimit = gEntryLimit.load();
    const qint64 totalLimit = gTotalLimit.load();
    qint64 total = 0;
    struct archive_entry *entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(in.get(), &entry)) == ARCHIVE_OK) {
        const QStringList parts = safeComponents(entryName(entry));
        const QByteArray path = QFile::encodeName(parts.join(QLatin1Char('/')));
        archive_entry_set_pathname(entry, path.constData());
        // Never a set-user-id program out of a download; the owner is whoever unpacks.
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);
        if (archive_write_header(out.get(), entry) != ARCHIVE_OK) {
            *error = libarchiveError(out.get());
            return false;
        }
        if (archive_entry_filetype(entry) == AE_IFREG) {
            qint64 written = 0;
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            int r;
            while ((r = archive_read_data_block(in.get(), &block, &size, &offset)) == ARCHIVE_OK) {
                // A size in the header is a claim; the data is what counts.
                written = std::max<qint64>(written, qint64(offset) + qint64(size));
                total += qint64(size);
                if (written > entryLimit || total > totalLimit) {
                    *error = QStringLiteral("entry too large: %1").arg(parts.join(QLatin1Char('/')));
                    return false;
                }
                if (archive_write_data_block(out.get(), block, size, offset) != ARCHIVE_OK) {
                    *error = libarchiveError(out.get());
                    return false;
                }
            }
            if (r != ARCHIVE_EOF) {
                *error = libarchiveError(in.get());
                return false;
            }
        }
        if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) {
            *error = libarchiveError(out.get());
            return false;
        }
    }
    if (rc != ARCHIVE_EOF) {
        *error = libarchiveError(in.get());
        return false;
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK) {
        *error = libarchiveError(out.get());
        return false;
    }
    return true;
}

} // namespace

qint64 QMUpdateArchive::entrySizeLimit()
{
    return gEntryLimit.load();
}

qint64 QMUpdateArchive::totalSizeLimit()
{
    return gTotalLimit.load();
}

void QMUpdateArchive::setSizeLimits(qint64 entryLimit, qint64 totalLimit)
{
    gEntryLimit.store(entryLimit);
    gTotalLimit.store(totalLimit);
}

bool QMUpdateArchive::extract(const QByteArray &zip, const QString &destination, QString *error)
{
    QString reason;
    if (!error)
        error = &reason;
    const QString root = QDir(destination).absolutePath();
    if (!QFileInfo(root).isDir()) {
        *error = QStringLiteral("no directory: %1").arg(root);
        return false;
    }
    if (!checkEntries(zip, error))
        return false;

    // libarchive's guards work on names relative to the working directory. A thread of our
    // own, with a working directory of its own, unpacks there; the rest of the program keeps
    // its own.
    bool ok = false;
    std::thread worker([&] {
        if (::unshare(CLONE_FS) != 0 || ::chdir(QFile::encodeName(root).constData()) != 0) {
            *error = QStringLiteral("%1: %2").arg(root, QString::fromLocal8Bit(strerror(errno)));
            return;
        }
        ok = extractHere(zip, error);
    });
    worker.join();
    return ok;
}
