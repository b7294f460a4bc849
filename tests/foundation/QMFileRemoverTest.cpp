// The one removal of the program, on real trees: links removed as links, mounts left whole
// and reported, a second real user's own read-only folders emptied and another's reported;
// and no other recursive removal anywhere in the sources.
#include "QMFileRemover.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMTestUser.h"
#include "QMUniqueFd.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeFile(const QString &path, const QByteArray &data = "x")
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(data);
}

bool existsNoFollow(const QString &path)
{
    struct stat st {};
    return lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// A mount made by the test, undone whatever happens.
struct Mount
{
    Mount(const QString &source, const QString &target, const char *type, unsigned long flags)
        : target(QFile::encodeName(target))
    {
        ok = mount(QFile::encodeName(source).constData(), this->target.constData(), type, flags, nullptr) == 0;
    }
    ~Mount()
    {
        if (ok)
            umount2(target.constData(), MNT_DETACH);
    }
    QByteArray target;
    bool ok = false;
};

} // namespace

TEST(QMFileRemover, RemovesATreeAndEveryLinkInItAsALink)
{
    QMTemporaryDir dir(QMTest::testHome() + QStringLiteral("/remove-XXXXXX"));
    const QString tree = dir.filePath(QStringLiteral("tree")), outside = dir.filePath(QStringLiteral("outside"));
    ASSERT_TRUE(QDir().mkpath(tree + QStringLiteral("/a/b/c")));
    ASSERT_TRUE(QDir().mkpath(outside + QStringLiteral("/Documents")));
    writeFile(outside + QStringLiteral("/Documents/precious"));
    writeFile(outside + QStringLiteral("/file"));
    writeFile(tree + QStringLiteral("/a/b/c/deep"));
    writeFile(tree + QStringLiteral("/top"));
    // Links to a folder and a file outside, a dangling one, and a name that is no UTF-8.
    ASSERT_TRUE(QFile::link(outside, tree + QStringLiteral("/a/home")));
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/file"), tree + QStringLiteral("/a/b/file")));
    ASSERT_TRUE(QFile::link(QStringLiteral("/nonexistent"), tree + QStringLiteral("/dangling")));
    const QByteArray latin1 = QFile::encodeName(tree) + "/caf\xe9";
    ASSERT_EQ(mkdir(latin1.constData(), 0755), 0);
    // A folder of one's own that one may neither read nor change.
    ASSERT_TRUE(QDir().mkpath(tree + QStringLiteral("/locked/in")));
    writeFile(tree + QStringLiteral("/locked/in/f"));
    ASSERT_EQ(chmod(QFile::encodeName(tree + QStringLiteral("/locked/in")).constData(), 0), 0);
    ASSERT_EQ(chmod(QFile::encodeName(tree + QStringLiteral("/locked")).constData(), 0500), 0);

    const QMFileRemover::Result removal = QMFileRemover::removePath(tree);
    EXPECT_TRUE(removal.ok()) << removal.summary().toStdString();
    EXPECT_EQ(removal.removed, 13u); // tree, a, b, c, deep, top, 3 links, café, locked, in, f
    EXPECT_FALSE(existsNoFollow(tree));
    EXPECT_TRUE(QFile::exists(outside + QStringLiteral("/Documents/precious")));
    EXPECT_TRUE(QFile::exists(outside + QStringLiteral("/file")));

    // A link given itself goes as a link.
    ASSERT_TRUE(QFile::link(outside, dir.filePath(QStringLiteral("link"))));
    EXPECT_TRUE(QMFileRemover::removePath(dir.filePath(QStringLiteral("link"))).ok());
    EXPECT_FALSE(existsNoFollow(dir.filePath(QStringLiteral("link"))));
    EXPECT_TRUE(QFile::exists(outside + QStringLiteral("/Documents/precious")));
}

TEST(QMFileRemover, WhatIsNotThereOrIsNoEntryIsAFailureThatSaysSo)
{
    QMTemporaryDir dir(QMTest::testHome() + QStringLiteral("/missing-XXXXXX"));
    const QMFileRemover::Result missing = QMFileRemover::removePath(dir.filePath(QStringLiteral("nothing")));
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.problems,
              QStringList{QStringLiteral("No such file or directory (%1)").arg(dir.filePath(QStringLiteral("nothing")))});

    writeFile(dir.filePath(QStringLiteral("keep")));
    const QMUniqueFd fd(open(QFile::encodeName(dir.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const char *name : {"..", ".", "", "keep/.."}) {
        const QMFileRemover::Result refused = QMFileRemover::removeEntry(fd.get(), QByteArray(name));
        EXPECT_FALSE(refused.ok()) << name;
        EXPECT_EQ(refused.removed, 0u) << name;
    }
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("keep"))));
    EXPECT_TRUE(QFileInfo(dir.path()).isDir());
}

TEST(QMFileRemover, AMountInsideIsNotEnteredAndIsReported)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting needs root";
    QMTemporaryDir dir(QMTest::testHome() + QStringLiteral("/mounts-XXXXXX"));
    const QString tree = dir.filePath(QStringLiteral("tree")), elsewhere = dir.filePath(QStringLiteral("elsewhere"));
    ASSERT_TRUE(QDir().mkpath(tree + QStringLiteral("/memory")));
    ASSERT_TRUE(QDir().mkpath(tree + QStringLiteral("/sub/bound")));
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    writeFile(elsewhere + QStringLiteral("/precious"));
    writeFile(tree + QStringLiteral("/sub/plain"));
    // Another file system, and a folder of this same file system bound into the tree: the
    // device number alone would not tell the second apart.
    Mount memory(QStringLiteral("quilmo-test"), tree + QStringLiteral("/memory"), "tmpfs", 0);
    ASSERT_TRUE(memory.ok);
    writeFile(tree + QStringLiteral("/memory/inside"));
    Mount bound(elsewhere, tree + QStringLiteral("/sub/bound"), nullptr, MS_BIND);
    ASSERT_TRUE(bound.ok);

    {
        const QMUniqueFd fd(open(QFile::encodeName(tree).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        EXPECT_EQ(QMFileRemover::countContents(fd.get()), 4u) << "memory, sub, sub/bound, sub/plain";
    }
    const QMFileRemover::Result removal = QMFileRemover::removePath(tree);
    EXPECT_FALSE(removal.ok());
    EXPECT_EQ(removal.failed, 2u);
    EXPECT_TRUE(removal.summary().contains(QStringLiteral("another file system is mounted there; it was not entered (%1/memory)").arg(tree)))
        << removal.summary().toStdString();
    EXPECT_TRUE(removal.summary().contains(QStringLiteral("another file system is mounted there; it was not entered (%1/sub/bound)").arg(tree)))
        << removal.summary().toStdString();
    EXPECT_TRUE(QFile::exists(tree + QStringLiteral("/memory/inside")));
    EXPECT_TRUE(QFile::exists(elsewhere + QStringLiteral("/precious")));
    EXPECT_FALSE(existsNoFollow(tree + QStringLiteral("/sub/plain"))) << "the rest goes";

    // A mount point given itself is not entered either.
    const QMFileRemover::Result itself = QMFileRemover::removePath(tree + QStringLiteral("/memory"));
    EXPECT_FALSE(itself.ok());
    EXPECT_TRUE(QFile::exists(tree + QStringLiteral("/memory/inside")));
}

TEST(QMFileRemover, AnotherUserEmptiesItsOwnLockedFoldersAndIsToldWhatIsNotItsOwn)
{
    QMTestUser user(QStringLiteral("rm"));
    QM_REQUIRE_TEST_USER(user);
    // Outside the test's private home, which the other user cannot enter.
    QMTemporaryDir dir(QStringLiteral("/home/quilmo-remover-XXXXXX"));
    ASSERT_TRUE(dir.isValid());
    const QString tree = dir.filePath(QStringLiteral("tree"));
    for (const char *sub : {"/own/unreadable/deep", "/own/readonly", "/roots"})
        ASSERT_TRUE(QDir().mkpath(tree + QLatin1String(sub)));
    for (const char *file : {"/own/unreadable/deep/f", "/own/readonly/f", "/roots/f1", "/roots/f2", "/plain"})
        writeFile(tree + QLatin1String(file));
    for (const char *path : {"", "/tree", "/tree/own", "/tree/own/unreadable", "/tree/own/unreadable/deep",
                             "/tree/own/unreadable/deep/f", "/tree/own/readonly", "/tree/own/readonly/f", "/tree/plain"})
        ASSERT_EQ(chown(QFile::encodeName(dir.path() + QLatin1String(path)).constData(), user.uid(), user.gid()), 0);
    ASSERT_EQ(chmod(QFile::encodeName(tree + QStringLiteral("/own/unreadable")).constData(), 0), 0);
    ASSERT_EQ(chmod(QFile::encodeName(tree + QStringLiteral("/own/readonly")).constData(), 0555), 0);
    // "roots" stays root's (0755 in the user's folder): its files are not the user's to remove.

    const QByteArray path = QFile::encodeName(tree);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = user.spawn([&]() -> int {
        const QMFileRemover::Result removal = QMFileRemover::removePath(QFile::decodeName(path));
        const QByteArray report = QByteArray::number(removal.failed) + '\n' + removal.summary().toUtf8();
        return write(pipeFds[1], report.constData(), size_t(report.size())) == report.size() ? 0 : 1;
    });
    close(pipeFds[1]);
    EXPECT_EQ(QMTestWaitForChild(child, 120000), 0);
    QByteArray report;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, n);
    close(pipeFds[0]);

    const QStringList lines = QString::fromUtf8(report).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2) << report.toStdString();
    EXPECT_EQ(lines[0], QStringLiteral("2"));
    EXPECT_TRUE(lines[1].contains(QStringLiteral("Permission denied (%1/roots/f1)").arg(tree))) << report.toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral("Permission denied (%1/roots/f2)").arg(tree))) << report.toStdString();
    EXPECT_FALSE(existsNoFollow(tree + QStringLiteral("/own")));
    EXPECT_FALSE(existsNoFollow(tree + QStringLiteral("/plain")));
    EXPECT_TRUE(QFile::exists(tree + QStringLiteral("/roots/f1")));
}

TEST(QMFileRemover, NoOtherRecursiveRemovalInTheSources)
{
    const QString source = QDir::cleanPath(QStringLiteral(QUILMO_TEST_DATA_DIR "/../.."));
    ASSERT_TRUE(QFileInfo::exists(source + QStringLiteral("/foundation/QMFileRemover.cpp")));
    // Recursive deletions that do not go through QMFileRemover: Qt's and the standard
    // library's (QTemporaryDir removes with removeRecursively) and a recursive rm.
    const QRegularExpression forbiddenInCode(
        QStringLiteral(R"(removeRecursively|remove_all\s*\(|\bQTemporaryDir\b|\brm\b["',\s)]+(-[a-zA-Z]*[rR]|--recursive))"));
    // Removing one empty directory is no recursion; a hand-written one needs these, so
    // only the files listed may use them, each for its reason.
    const QRegularExpression singleDirectory(QStringLiteral(R"((^|[^.\w])rmdir\s*\(|AT_REMOVEDIR)"));
    const QStringList mayRemoveEmptyDirectories{
        QStringLiteral("foundation/QMFileRemover.cpp"), // the removal itself
        QStringLiteral("tools/disktool/DTTools.cpp"),   // mount directories it made
        QStringLiteral("tools/disktool/DTLoopDevice.cpp"), // a fresh volume's empty lost+found
        QStringLiteral("tools/disktool/DTMemoryInstance.cpp"), // an instance's empty place once it is unmounted
        QStringLiteral("tests/disktool/DiskToolTestSupport.cpp"), // the same, after a test
        QStringLiteral("device/QMRamDiskDevice.cpp"),   // mount directories it made, when the mount fails
        QStringLiteral("bench/disktool/bench_disktool.cpp"), // its own empty mount directory
        QStringLiteral("bench/io/bench_io.cpp"), // deleting its own files one by one is what it measures
    };
    // Shell steps may use GNU rm, which works from descriptors and follows no link, but
    // only kept on its file system.
    const QRegularExpression recursiveRm(QStringLiteral(R"(\brm\s+(-[a-zA-Z]*[rR]|--recursive))"));

    QStringList offenders;
    QDirIterator it(source, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(source).relativeFilePath(path);
        if (relative.startsWith(QLatin1String("build")) || relative.startsWith(QLatin1String(".git/"))
            || relative == QLatin1String("tests/foundation/QMFileRemoverTest.cpp"))
            continue;
        const QString suffix = QFileInfo(path).suffix();
        const bool code = suffix == QLatin1String("cpp") || suffix == QLatin1String("h") || suffix == QLatin1String("c");
        const bool steps = suffix == QLatin1String("sh") || suffix == QLatin1String("cmake")
                           || QFileInfo(path).fileName() == QLatin1String("Makefile")
                           || QFileInfo(path).fileName() == QLatin1String("CMakeLists.txt") || relative.startsWith(QLatin1String(".ci/"));
        if (!code && !steps)
            continue;
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        int number = 0;
        for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
            ++number;
            const bool bad = code ? forbiddenInCode.match(line).hasMatch()
                                        || (singleDirectory.match(line).hasMatch() && !mayRemoveEmptyDirectories.contains(relative))
                                  : recursiveRm.match(line).hasMatch() && !line.contains(QLatin1String("--one-file-system"));
            if (bad)
                offenders << QStringLiteral("%1:%2: %3").arg(relative).arg(number).arg(line.trimmed());
        }
    }
    EXPECT_TRUE(offenders.isEmpty()) << "recursive removals besides QMFileRemover:\n"
                                     << offenders.join(QLatin1Char('\n')).toStdString();
}
