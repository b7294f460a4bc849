// What a folder submenu of the tray lists, read from a real directory through its
// descriptor: the order a person reads, folders first, links as links, hidden names.
#include "QMFolderListing.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMUniqueFd.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <fcntl.h>

namespace {

void touch(const QString &path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
}

QStringList names(const QMFolderListing::Listing &listing)
{
    QStringList all;
    for (const QMFolderListing::Entry &e : listing.entries)
        all << e.name + (e.kind == QMFolderListing::Folder ? QStringLiteral("/")
                         : e.kind == QMFolderListing::Link ? QStringLiteral("@")
                                                           : QString());
    return all;
}

QMFolderListing::Listing listOf(const QString &dir, bool volumeRoot, int limit = 250)
{
    const QMUniqueFd fd(open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_TRUE(fd.isValid()) << dir.toStdString();
    return QMFolderListing::list(fd.get(), volumeRoot, limit);
}

} // namespace

TEST(QMFolderListing, NamesCompareAsAPersonReadsThem)
{
    auto before = [](const char *a, const char *b) {
        return QMFolderListing::naturalCompare(QString::fromUtf8(a), QString::fromUtf8(b)) < 0
               && QMFolderListing::naturalCompare(QString::fromUtf8(b), QString::fromUtf8(a)) > 0;
    };
    EXPECT_TRUE(before("f2", "f10"));
    EXPECT_TRUE(before("f9", "f19"));
    EXPECT_TRUE(before("file 2 copy", "file 10"));
    EXPECT_TRUE(before("v1.9.2", "v1.10"));
    EXPECT_TRUE(before("99", "100"));
    EXPECT_TRUE(before("x99999999999999999999", "x100000000000000000000")) << "longer than any integer type";
    EXPECT_TRUE(before("apple", "Banana")) << "capitals and small letters alike";
    EXPECT_TRUE(before("f", "f1"));
    EXPECT_TRUE(before("f2a", "f2b"));
    // Equal numbers written differently, or names that differ only in case: still a total,
    // stable order.
    EXPECT_NE(QMFolderListing::naturalCompare(QStringLiteral("f007"), QStringLiteral("f7")), 0);
    EXPECT_NE(QMFolderListing::naturalCompare(QStringLiteral("Read"), QStringLiteral("read")), 0);
    EXPECT_TRUE(before("f007", "f8"));
    EXPECT_EQ(QMFolderListing::naturalCompare(QStringLiteral("same 12"), QStringLiteral("same 12")), 0);
}

TEST(QMFolderListing, FoldersComeFirstThenEverythingElseInNaturalOrder)
{
    QMTemporaryDir dir(QMTest::testHome() + QStringLiteral("/listing-XXXXXX"));
    for (const char *name : {"f19", "f2", "f9", "f16", "Notes.txt", "a.txt"})
        touch(dir.filePath(QString::fromLatin1(name)));
    for (const char *name : {"d10", "d2", "Zebra"})
        ASSERT_TRUE(QDir().mkdir(dir.filePath(QString::fromLatin1(name))));
    // A link to a folder is a link: listed with the files, never as the folder.
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("d2")), dir.filePath(QStringLiteral("b-link"))));

    const QMFolderListing::Listing all = listOf(dir.path(), false);
    EXPECT_EQ(names(all), (QStringList{"d2/", "d10/", "Zebra/", "a.txt", "b-link@", "f2", "f9", "f16", "f19", "Notes.txt"}));
    EXPECT_FALSE(all.truncated);
    EXPECT_EQ(all.entries.first().raw, QByteArray("d2"));

    // The limit keeps the first names of that order, not the first the file system gives.
    const QMFolderListing::Listing some = listOf(dir.path(), false, 4);
    EXPECT_EQ(names(some), (QStringList{"d2/", "d10/", "Zebra/", "a.txt"}));
    EXPECT_TRUE(some.truncated);
    EXPECT_FALSE(listOf(dir.path(), false, 10).truncated);
}

TEST(QMFolderListing, VolumeNamesAreHiddenOnlyAtTheRootAndSystemNamesEverywhere)
{
    QMTemporaryDir dir(QMTest::testHome() + QStringLiteral("/hidden-XXXXXX"));
    const QStringList rootHidden{".Trashes", ".fseventsd", "tmp"};
    const QStringList alwaysHidden{".DS_Store", ".localized"};
    const QStringList shown{"notes.txt", ".config", "photos"};
    ASSERT_TRUE(QDir().mkdir(dir.filePath(QStringLiteral("sub"))));
    for (const QString &name : rootHidden + alwaysHidden + shown) {
        touch(dir.filePath(name));
        touch(dir.filePath(QStringLiteral("sub/") + name));
    }
    EXPECT_EQ(names(listOf(dir.path(), true)), (QStringList{"sub/", ".config", "notes.txt", "photos"}));
    EXPECT_EQ(names(listOf(dir.filePath(QStringLiteral("sub")), false)),
              (QStringList{".config", ".fseventsd", ".Trashes", "notes.txt", "photos", "tmp"}));
    // Hidden names after the last one shown do not count as more.
    EXPECT_FALSE(listOf(dir.filePath(QStringLiteral("sub")), false, 6).truncated);
}
