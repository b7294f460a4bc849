#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMUpdateArchive.h"
#include "QMUpdateTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <sys/stat.h>

using namespace QMUpdateTest;

namespace {

// Everything below `dir`, as relative paths.
QStringList contents(const QString &dir)
{
    QStringList all;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        all << QDir(dir).relativeFilePath(it.next());
    all.sort();
    return all;
}

struct Limits
{
    Limits(qint64 entry, qint64 total) { QMUpdateArchive::setSizeLimits(entry, total); }
    ~Limits() { QMUpdateArchive::setSizeLimits(256LL << 20, 1LL << 30); }
};

} // namespace

TEST(QMUpdateArchive, UnpacksFilesDirectoriesAndLinksInside)
{
    QMTemporaryDir t;
    QList<ZipEntry> entries = treeEntries(QStringLiteral("quilmo"), QStringLiteral("2.0"), QStringLiteral("/nowhere"));
    entries << ZipEntry{QStringLiteral("quilmo/bin/setuid"), "x", ZipEntry::File, 04755};
    entries << ZipEntry{QStringLiteral("quilmo/share/link-up"), {}, ZipEntry::Symlink, 0777, QStringLiteral("../bin/Quilmo")};
    QString error;
    ASSERT_TRUE(QMUpdateArchive::extract(makeZip(entries), t.path(), &error)) << error.toStdString();

    const QString root = t.path() + QStringLiteral("/quilmo");
    EXPECT_EQ(readFile(root + QStringLiteral("/libexec/quilmo/quilmo-disktool")), QByteArray("tool 2.0"));
    EXPECT_EQ(QFileInfo(root + QStringLiteral("/libexec/quilmo/hdiutil")).symLinkTarget(),
              root + QStringLiteral("/libexec/quilmo/quilmo-disktool"));
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/bin/Quilmo")).isExecutable());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(root + QStringLiteral("/bin/setuid")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << "no set-user-id program comes out of a download";
}

TEST(QMUpdateArchive, HostileArchivesAreRefusedWholeAndWriteNothing)
{
    const ZipEntry good{QStringLiteral("quilmo/bin/Quilmo"), "ok", ZipEntry::File, 0755};
    const QByteArray zipWithDevice = withEntryMode(makeZip({good, {QStringLiteral("quilmo/dev"), "", ZipEntry::File}}),
                                                   QStringLiteral("quilmo/dev"), S_IFCHR | 0644);
    const struct
    {
        const char *what;
        QByteArray zip;
    } cases[] = {
        {"../evil", makeZip({good, {QStringLiteral("../evil"), "x"}})},
        {"dot-dot inside a name", makeZip({good, {QStringLiteral("quilmo/../../evil"), "x"}})},
        {"absolute path", makeZip({good, {QStringLiteral("/tmp/quilmo-update-test-evil"), "x"}})},
        {"link out of T", makeZip({good, {QStringLiteral("quilmo/evil"), {}, ZipEntry::Symlink, 0777, QStringLiteral("../../evil")}})},
        {"link to an absolute path", makeZip({good, {QStringLiteral("quilmo/evil"), {}, ZipEntry::Symlink, 0777, QStringLiteral("/etc")}})},
        {"link at the top", makeZip({good, {QStringLiteral("evil"), {}, ZipEntry::Symlink, 0777, QStringLiteral("quilmo")}})},
        {"device", zipWithDevice},
        {"not a zip", QByteArray("PK\x03\x04 truncated")},
    };
    for (const auto &c : cases) {
        QMTemporaryDir outer;
        const QString t = outer.path() + QStringLiteral("/T");
        QDir().mkpath(t);
        QString error;
        EXPECT_FALSE(QMUpdateArchive::extract(c.zip, t, &error)) << c.what;
        EXPECT_FALSE(error.isEmpty()) << c.what;
        EXPECT_EQ(contents(outer.path()), QStringList{QStringLiteral("T")}) << c.what;
    }
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/tmp/quilmo-update-test-evil")));
}

TEST(QMUpdateArchive, ALinkOneLevelOutOfTheInstallationRefusesTheWholeArchive)
{
    const ZipEntry program{QStringLiteral("quilmo/bin/Quilmo"), "ok", ZipEntry::File, 0755};
    const ZipEntry deep{QStringLiteral("quilmo/a/b/file"), "x"};
    auto link = [](const char *name, const char *target) {
        return ZipEntry{QString::fromLatin1(name), {}, ZipEntry::Symlink, 0777, QString::fromLatin1(target)};
    };
    // Each reaches exactly one level above the installation.
    for (const ZipEntry &out : {link("quilmo/link", "../outside"), link("quilmo/a/b/link", "../../../x"),
                                link("quilmo/a/link", "b/../../../x")}) {
        QMTemporaryDir outer;
        const QString t = outer.path() + QStringLiteral("/T");
        QDir().mkpath(t);
        QString error;
        // The link comes last: everything before it would have been written already.
        EXPECT_FALSE(QMUpdateArchive::extract(makeZip({program, deep, out}), t, &error)) << out.name.toStdString();
        EXPECT_TRUE(error.contains(out.name)) << error.toStdString();
        EXPECT_EQ(contents(outer.path()), QStringList{QStringLiteral("T")}) << out.name.toStdString();
    }
    // Links that go up and stay inside pass.
    QMTemporaryDir t;
    QString error;
    ASSERT_TRUE(QMUpdateArchive::extract(makeZip({program, deep, link("quilmo/a/b/up", "../../bin/Quilmo"),
                                                  link("quilmo/a/b/here", "../b/file"), link("quilmo/top", "a/b/file")}),
                                         t.path(), &error))
        << error.toStdString();
    EXPECT_EQ(readFile(t.path() + QStringLiteral("/quilmo/a/b/up")), QByteArray("ok"));
    EXPECT_EQ(readFile(t.path() + QStringLiteral("/quilmo/a/b/here")), QByteArray("x"));
    EXPECT_EQ(readFile(t.path() + QStringLiteral("/quilmo/top")), QByteArray("x"));
}

TEST(QMUpdateArchive, SizeLimitsAtTheirEdge)
{
    Limits limits(1000, 1500);
    QMTemporaryDir t;
    QString error;
    EXPECT_TRUE(QMUpdateArchive::extract(makeZip({{QStringLiteral("q/a"), QByteArray(1000, 'a')}}), t.path(), &error))
        << error.toStdString();

    QMTemporaryDir t2;
    EXPECT_FALSE(QMUpdateArchive::extract(makeZip({{QStringLiteral("q/ok"), "x"}, {QStringLiteral("q/a"), QByteArray(1001, 'a')}}),
                                          t2.path(), &error));
    EXPECT_TRUE(contents(t2.path()).isEmpty());

    // Each entry within its limit, together beyond the total.
    QMTemporaryDir t3;
    EXPECT_FALSE(QMUpdateArchive::extract(makeZip({{QStringLiteral("q/a"), QByteArray(800, 'a')}, {QStringLiteral("q/b"), QByteArray(701, 'b')}}),
                                          t3.path(), &error));
    EXPECT_TRUE(contents(t3.path()).isEmpty());
}
