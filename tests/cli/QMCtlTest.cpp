#include "QMBrowserLayouts.h"
#include "QMCtlTestSupport.h"
#include "QMCtlValues.h"
#include "QMFileRemover.h"
#include "QMKernelFeatures.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskUtils.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

namespace {

// The entry `listed` (quilmoctl's list) shows for the RAM disk.
QJsonObject entryNamed(const QString &name, const Result &listed = ctl({QStringLiteral("list"), QStringLiteral("--json")}))
{
    for (const QJsonValue &v : QJsonDocument::fromJson(listed.out.toUtf8()).array())
        if (v.toObject().value(QStringLiteral("name")).toString() == name)
            return v.toObject();
    return {};
}

using QMTest::readFile;
using QMTest::writeFile;

} // namespace

TEST(QMCtlValues, Sizes)
{
    EXPECT_EQ(QMCtlValues::parseSize(QStringLiteral("512M")), 512000000u);
    EXPECT_EQ(QMCtlValues::parseSize(QStringLiteral("2G")), 2000000000u);
    EXPECT_EQ(QMCtlValues::parseSize(QStringLiteral("1.5G")), 1500000000u);
    EXPECT_EQ(QMCtlValues::parseSize(QStringLiteral("750MB")), 750000000u);
    EXPECT_EQ(QMCtlValues::parseSize(QStringLiteral("2Gi")), 2147483648u);
    EXPECT_EQ(QMCtlValues::parseSize(QStringLiteral("512MiB")), 536870912u);
    EXPECT_EQ(QMCtlValues::parseSize(QStringLiteral("128000000")), 128000000u);
    for (const char *bad : {"", "G", "-1G", "1..5G", "12X", "i", "5i", "1e9", "99999999999T"})
        EXPECT_FALSE(QMCtlValues::parseSize(QString::fromLatin1(bad)).has_value()) << bad;
    EXPECT_EQ(QMCtlValues::sizeText(2000000000), QStringLiteral("2 GB"));
    EXPECT_EQ(QMCtlValues::sizeText(512000000), QStringLiteral("512 MB"));
}

TEST(QMCtlValues, ModesAndTable)
{
    EXPECT_EQ(QMCtlValues::parseBackup(QStringLiteral("none"))->mode, 0);
    EXPECT_EQ(QMCtlValues::parseBackup(QStringLiteral("default"))->mode, 1);
    EXPECT_EQ(QMCtlValues::parseBackup(QStringLiteral("/srv/backups"))->mode, 2);
    EXPECT_EQ(QMCtlValues::parseBackup(QStringLiteral("base"))->mode, 3);
    EXPECT_FALSE(QMCtlValues::parseBackup(QStringLiteral("sometimes")).has_value());
    EXPECT_EQ(QMCtlValues::parseIndexMode(QStringLiteral("off")), 2);
    EXPECT_FALSE(QMCtlValues::parseIndexMode(QStringLiteral("maybe")).has_value());
    EXPECT_EQ(QMCtlValues::table({{QStringLiteral("A"), QStringLiteral("BB")}, {QStringLiteral("ccc"), QStringLiteral("d")}}),
              QStringLiteral("A    BB\nccc  d\n"));
}

TEST(QMCtl, UsageErrorsExitWith2AndHelpWith0)
{
    EXPECT_EQ(ctl({}).status, 0);
    EXPECT_EQ(ctl({QStringLiteral("frobnicate")}).status, 2);
    const Result help = ctl({QStringLiteral("add"), QStringLiteral("--help")});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.contains(QStringLiteral("--backup MODE")));
    EXPECT_EQ(ctl({QStringLiteral("add")}).status, 2);
    EXPECT_EQ(ctl({QStringLiteral("add"), QStringLiteral("x"), QStringLiteral("--size"), QStringLiteral("lots")}).status, 2);
    EXPECT_EQ(ctl({QStringLiteral("eject"), QStringLiteral("nobody")}).status, 2);
    EXPECT_EQ(ctl({QStringLiteral("list"), QStringLiteral("--xml")}).status, 2);
    // Nothing was saved by the refusals.
    EXPECT_EQ(ctl({QStringLiteral("list"), QStringLiteral("--json")}).out.trimmed(), QStringLiteral("[\n]"));
}

TEST(QMCtl, SettingsAreValidatedWithTheWindowsMessages)
{
    const Result tiny = ctl({QStringLiteral("add"), QStringLiteral("Tiny"), QStringLiteral("--size"), QStringLiteral("1M")});
    EXPECT_EQ(tiny.status, 1);
    // The refusal names the least size, as the windows' constant has it.
    EXPECT_TRUE(tiny.err.contains(QStringLiteral("at least %1").arg(QMCtlValues::sizeText(QMRamDiskManager::minimumSize))))
        << tiny.err.toStdString();
    EXPECT_TRUE(ctl({QStringLiteral("add"), QStringLiteral("--help")})
                    .out.contains(QStringLiteral("at least %1").arg(QMCtlValues::sizeText(QMRamDiskManager::minimumSize))));
    const Result colon = ctl({QStringLiteral("add"), QStringLiteral("a:b")});
    EXPECT_EQ(colon.status, 1);
    EXPECT_TRUE(colon.err.contains(QStringLiteral("The name contains invalid character.")));
    const Result nowhere = ctl({QStringLiteral("add"), QStringLiteral("Disk"), QStringLiteral("--mount-dir"),
                                QStringLiteral("/nonexistent/place")});
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_TRUE(nowhere.err.contains(QStringLiteral("The mount directory does not exist.")));

    ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("Work"), QStringLiteral("--size"), QStringLiteral("256M"),
                   QStringLiteral("--index"), QStringLiteral("off"), QStringLiteral("--login")})
                  .status,
              0);
    EXPECT_EQ(ctl({QStringLiteral("add"), QStringLiteral("Work")}).status, 2); // the name is taken
    ASSERT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Work"), QStringLiteral("--size"), QStringLiteral("300M"),
                   QStringLiteral("--case-sensitive")})
                  .status,
              0);
    const QJsonObject work = entryNamed(QStringLiteral("Work"));
    EXPECT_EQ(work.value(QStringLiteral("size")).toDouble(), 300000000.0);
    EXPECT_TRUE(work.value(QStringLiteral("caseSensitive")).toBool());
    EXPECT_EQ(work.value(QStringLiteral("index")).toString(), QStringLiteral("off"));
    EXPECT_TRUE(work.value(QStringLiteral("createAtLogin")).toBool());
    EXPECT_EQ(work.value(QStringLiteral("status")).toString(), QStringLiteral("not created"));
    // A mount directory that went away since: create says why and attaches nothing.
    QMTemporaryDir gone;
    if (!QMRamDiskManager::canUseMountDirectory(gone.path(), QStringLiteral("Work"), 0, nullptr))
        GTEST_SKIP() << "temporary directories are in a system directory here (not root)";
    ASSERT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Work"), QStringLiteral("--mount-dir"), gone.path()}).status, 0);
    gone.remove();
    const Result refused = ctl({QStringLiteral("create"), QStringLiteral("Work")});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("The mount directory does not exist."))) << refused.err.toStdString();
    EXPECT_EQ(entryNamed(QStringLiteral("Work")).value(QStringLiteral("status")).toString(), QStringLiteral("not created"));

    EXPECT_EQ(ctl({QStringLiteral("remove"), QStringLiteral("Work")}).status, 0);
    EXPECT_TRUE(entryNamed(QStringLiteral("Work")).isEmpty());
}

TEST(QMCtl, RemoveMovesABackupWithFilesToTheTrashOrDeletesItWhenAsked)
{
    const QString support = QMRamDiskManager::appSupportPath();
    const QString trash = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Trash");
    auto identifierOf = [](const QString &name) {
        return entryNamed(name).value(QStringLiteral("identifier")).toString();
    };
    for (const char *name : {"Kept", "Gone"})
        ASSERT_EQ(ctl({QStringLiteral("add"), QString::fromLatin1(name), QStringLiteral("--size"), QStringLiteral("256M")})
                      .status,
                  0);
    const QString kept = identifierOf(QStringLiteral("Kept"));
    const QString gone = identifierOf(QStringLiteral("Gone"));
    ASSERT_FALSE(kept.isEmpty());
    QDir().mkpath(support + QLatin1Char('/') + kept + QStringLiteral(".QuilmoBackup"));
    QDir().mkpath(support + QLatin1Char('/') + gone + QStringLiteral(".QuilmoBackup"));
    writeFile(support + QLatin1Char('/') + kept + QStringLiteral(".QuilmoBackup/work.txt"), QByteArray(2000, 'k'));
    writeFile(support + QLatin1Char('/') + gone + QStringLiteral(".QuilmoBackup/work.txt"), QByteArray(2000, 'g'));

    Result r = ctl({QStringLiteral("remove"), QStringLiteral("Kept")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QString trashed = trash + QStringLiteral("/files/") + kept + QStringLiteral(".QuilmoBackup");
    EXPECT_EQ(r.out, QStringLiteral("The backup of \"Kept\" (2 KB) was moved to the trash: %1\n").arg(trashed));
    EXPECT_EQ(readFile(trashed + QStringLiteral("/work.txt")), QByteArray(2000, 'k'));
    EXPECT_TRUE(QFileInfo::exists(trash + QStringLiteral("/info/") + kept + QStringLiteral(".QuilmoBackup.trashinfo")));
    EXPECT_TRUE(entryNamed(QStringLiteral("Kept")).isEmpty());

    r = ctl({QStringLiteral("remove"), QStringLiteral("Gone"), QStringLiteral("--delete-backup")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QStringLiteral("The backup of \"Gone\" (2 KB) was deleted.\n"));
    EXPECT_FALSE(QFileInfo::exists(support + QLatin1Char('/') + gone + QStringLiteral(".QuilmoBackup")));
    EXPECT_FALSE(QFileInfo::exists(trash + QStringLiteral("/files/") + gone + QStringLiteral(".QuilmoBackup")));
    EXPECT_TRUE(entryNamed(QStringLiteral("Gone")).isEmpty());
    EXPECT_EQ(ctl({QStringLiteral("remove"), QStringLiteral("--delete-all")}).status, 2);
}

TEST(QMCtl, CreateWriteEjectCreateAgainKeepsTheFiles)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir parent;
    ASSERT_TRUE(parent.isValid());
    const QString name = QStringLiteral("CtlDisk");
    // Whatever happens, nothing of ours stays attached.
    struct Cleanup
    {
        QString name;
        ~Cleanup() { ctl({QStringLiteral("eject"), name}); }
    } cleanup{name};

    Result r = ctl({QStringLiteral("add"), name, QStringLiteral("--size"), QStringLiteral("200M"),
                    QStringLiteral("--mount-dir"), parent.path(), QStringLiteral("--backup"), QStringLiteral("default")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();

    r = ctl({QStringLiteral("create"), name});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    QJsonObject entry = entryNamed(name);
    const QString mountPoint = parent.path() + QLatin1Char('/') + name;
    EXPECT_EQ(entry.value(QStringLiteral("status")).toString(), QStringLiteral("mounted"));
    EXPECT_EQ(entry.value(QStringLiteral("path")).toString(), mountPoint);
    const QString backupDir = entry.value(QStringLiteral("backupDirPath")).toString();
    ASSERT_FALSE(backupDir.isEmpty());
    // Mounted with a backup: Quilmo-Helper saves it for the rest of the session.
    EXPECT_TRUE(QMTest::waitUntil([] { return QMRamDiskUtils::helperIsRunning(); })) << "no helper guards it";

    QDir().mkpath(mountPoint + QStringLiteral("/sub"));
    writeFile(mountPoint + QStringLiteral("/notes.txt"), "remember");
    writeFile(mountPoint + QStringLiteral("/sub/data.bin"), QByteArray(100000, 'x'));

    EXPECT_EQ(ctl({QStringLiteral("create"), name}).status, 1); // exists already
    r = ctl({QStringLiteral("eject"), name});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(entryNamed(name).value(QStringLiteral("status")).toString(), QStringLiteral("not created"));
    EXPECT_EQ(readFile(backupDir + QStringLiteral("/notes.txt")), QByteArray("remember"));

    r = ctl({QStringLiteral("create"), name});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(readFile(mountPoint + QStringLiteral("/notes.txt")), QByteArray("remember"));
    EXPECT_EQ(readFile(mountPoint + QStringLiteral("/sub/data.bin")).size(), 100000);

    // A backup replaces the last one and removes it in the background (or keeps it whole
    // as the older copy the next backup brings up to date); quilmoctl ends only once that
    // removal has, so that no half-removed copy is left next to the backup.
    QDir().mkpath(mountPoint + QStringLiteral("/many"));
    for (int i = 0; i < 3000; ++i)
        writeFile(mountPoint + QStringLiteral("/many/%1").arg(i), "x");
    for (int round = 0; round < 2; ++round) {
        r = ctl({QStringLiteral("backup"), name});
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        const QFileInfo backupInfo(backupDir);
        QStringList beside = QDir(backupInfo.absolutePath())
                                 .entryList({backupInfo.fileName() + QStringLiteral(".*")},
                                            QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        beside.removeAll(backupInfo.fileName() + QLatin1Char('.') + QMRamDiskBackup::olderCopyExtension());
        EXPECT_TRUE(beside.isEmpty()) << beside.join(u' ').toStdString();
    }

    EXPECT_EQ(ctl({QStringLiteral("remove"), name}).status, 1); // still mounted
    r = ctl({QStringLiteral("eject"), name});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    // Nothing left to save: the helper, which had no menu, quits by itself.
    EXPECT_TRUE(QMTest::waitUntil([] { return !QMRamDiskUtils::helperIsRunning(); }, 60000));
    EXPECT_EQ(ctl({QStringLiteral("remove"), name}).status, 0);
    EXPECT_TRUE(entryNamed(name).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(backupDir)); // the default backup goes with the entry
}

// Status and list say what the mounted volume does: on a kernel without case folding, a RAM
// disk whose format asks for case-insensitive names has case-sensitive ones, and says so.
// Wired memory is chosen before the RAM disk exists and keeps its memory out of swap.
TEST(QMCtl, StatusSaysWhatTheVolumeDoesAndWiredMemoryStaysOutOfSwap)
{
    QM_REQUIRE_LOOP_DEVICES();
    if (!QMKernelFeatures::wiredMemory())
        GTEST_SKIP() << "this kernel keeps no RAM disk out of swap";
    QMTemporaryDir parent;
    ASSERT_TRUE(parent.isValid());
    const QString name = QStringLiteral("CtlWired");
    struct Cleanup
    {
        QString name;
        ~Cleanup() { ctl({QStringLiteral("eject"), name}); }
    } cleanup{name};
    Result r = ctl({QStringLiteral("add"), name, QStringLiteral("--size"), QStringLiteral("200M"), QStringLiteral("--mount-dir"),
                    parent.path(), QStringLiteral("--case-insensitive"), QStringLiteral("--wired")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(entryNamed(name).value(QStringLiteral("preferWired")).toBool());
    r = ctl({QStringLiteral("create"), name});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();

    const bool casefold = QMKernelFeatures::caseInsensitiveNames();
    EXPECT_EQ(entryNamed(name).value(QStringLiteral("caseSensitive")).toBool(), !casefold);
    r = ctl({QStringLiteral("status"), name});
    EXPECT_TRUE(r.out.contains(QRegularExpression(
        casefold ? QStringLiteral("Case-sensitive: +no\n")
                 : QStringLiteral("Case-sensitive: +yes \\(this kernel offers no case-insensitive names\\)\n"))))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QRegularExpression(QStringLiteral("Wired memory: +yes \\(never swapped\\)\n"))))
        << r.out.toStdString();
    // What the mount table shows of the volume the user sees.
    const QString mountPoint = parent.path() + QLatin1Char('/') + name;
    bool seen = false;
    for (const QByteArray &line : readFile(QStringLiteral("/proc/self/mountinfo")).split('\n')) {
        if (line.contains(" " + QFile::encodeName(mountPoint) + " ")) {
            seen = true;
            EXPECT_TRUE(line.contains(",noswap")) << line.constData();
        }
    }
    EXPECT_TRUE(seen);

    // Decided before the RAM disk exists.
    r = ctl({QStringLiteral("set"), name, QStringLiteral("--no-wired")});
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(r.err.contains(QStringLiteral("before the RAM disk exists"))) << r.err.toStdString();
    EXPECT_TRUE(entryNamed(name).value(QStringLiteral("preferWired")).toBool());
    r = ctl({QStringLiteral("eject"), name});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(ctl({QStringLiteral("set"), name, QStringLiteral("--no-wired")}).status, 0);
    EXPECT_FALSE(entryNamed(name).value(QStringLiteral("preferWired")).toBool());
}

TEST(QMCtl, RefusesWhatTheDiskToolWouldRefuseWithItsReasons)
{
    // Bytes count: 128 two-byte characters are 256 bytes, beyond a file name's 255.
    const Result longName = ctl({QStringLiteral("add"), QString(128, QChar(0xE9))});
    EXPECT_EQ(longName.status, 1);
    EXPECT_TRUE(longName.err.contains(QStringLiteral("The name is longer than 255 bytes."))) << longName.err.toStdString();
    const Result dash = ctl({QStringLiteral("add"), QStringLiteral("-x")});
    EXPECT_EQ(dash.status, 1);
    EXPECT_TRUE(dash.err.contains(QStringLiteral("The name begins with \"-\"."))) << dash.err.toStdString();
    ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("Work"), QStringLiteral("--size"), QStringLiteral("256M")}).status, 0);
    const Result renamed = ctl({QStringLiteral("set"), QStringLiteral("Work"), QStringLiteral("--name"), QStringLiteral("-rf")});
    EXPECT_EQ(renamed.status, 1);
    EXPECT_EQ(entryNamed(QStringLiteral("Work")).value(QStringLiteral("name")).toString(), QStringLiteral("Work"));

    // A mount directory reached through a symbolic link: refused when it is set, and, when
    // the link appears later, refused at creation before anything is made.
    QMTemporaryDir dir(QDir::homePath() + QStringLiteral("/mounts-XXXXXX"));
    ASSERT_TRUE(dir.isValid());
    const QString real = dir.path() + QStringLiteral("/real");
    const QString via = dir.path() + QStringLiteral("/via");
    ASSERT_TRUE(QDir().mkpath(real));
    ASSERT_TRUE(QFile::link(real, via));
    if (!QMRamDiskManager::canUseMountDirectory(real, QStringLiteral("Work"), 0, nullptr))
        GTEST_SKIP() << "the test's home is in a system directory here (not root)";
    const Result linked = ctl({QStringLiteral("set"), QStringLiteral("Work"), QStringLiteral("--mount-dir"), via});
    EXPECT_EQ(linked.status, 1);
    EXPECT_TRUE(linked.err.contains(QStringLiteral("The mount path passes through a symbolic link."))) << linked.err.toStdString();

    const QString place = dir.path() + QStringLiteral("/place");
    ASSERT_TRUE(QDir().mkpath(place));
    ASSERT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Work"), QStringLiteral("--mount-dir"), place}).status, 0);
    ASSERT_TRUE(QMFileRemover::removePath(place).ok());
    ASSERT_TRUE(QFile::link(real, place));
    const Result create = ctl({QStringLiteral("create"), QStringLiteral("Work")});
    EXPECT_EQ(create.status, 1);
    EXPECT_TRUE(create.err.contains(QStringLiteral("symbolic link"))) << create.err.toStdString();
    EXPECT_TRUE(QDir(real).isEmpty()) << "a refused creation leaves no directory behind";
    EXPECT_EQ(entryNamed(QStringLiteral("Work")).value(QStringLiteral("status")).toString(), QStringLiteral("not created"));
}

TEST(QMCtl, AWarningIsShownAndAMissingBackupRefusesTheCreate)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir parent;
    ASSERT_TRUE(parent.isValid());
    const QString name = QStringLiteral("CtlUsb");
    const QString usb = parent.path() + QStringLiteral("/usb");
    struct Cleanup
    {
        QString name;
        ~Cleanup()
        {
            ctl({QStringLiteral("set"), name, QStringLiteral("--backup"), QStringLiteral("none")});
            ctl({QStringLiteral("eject"), name});
            ctl({QStringLiteral("remove"), name});
        }
    } cleanup{name};
    ASSERT_TRUE(QDir().mkpath(usb));
    Result r = ctl({QStringLiteral("add"), name, QStringLiteral("--size"), QStringLiteral("200M"),
                    QStringLiteral("--mount-dir"), parent.path(), QStringLiteral("--backup"), usb});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    ASSERT_TRUE(QDir().rmdir(usb)); // unplugged before the first creation

    // Never saved, the chosen folder missing: created empty, with a warning.
    r = ctl({QStringLiteral("create"), name});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("warning: The backup folder ") + usb + QStringLiteral(" does not exist")))
        << r.err.toStdString();
    writeFile(parent.path() + QLatin1Char('/') + name + QStringLiteral("/kept.txt"), "kept");
    r = ctl({QStringLiteral("eject"), name});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains(QStringLiteral("warning:")));

    // Saved once, then unplugged: refused, nothing comes up empty.
    ASSERT_TRUE(QDir().rename(usb, usb + QStringLiteral("-away")));
    r = ctl({QStringLiteral("create"), name});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("The backup of the RamDisk is missing"))) << r.err.toStdString();
    EXPECT_EQ(entryNamed(name).value(QStringLiteral("status")).toString(), QStringLiteral("not created"));
    ASSERT_TRUE(QDir().rename(usb + QStringLiteral("-away"), usb));
    r = ctl({QStringLiteral("create"), name});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(readFile(parent.path() + QLatin1Char('/') + name + QStringLiteral("/kept.txt")), QByteArray("kept"));
}

namespace {

// Debian's Firefox in the test's own applications root (quilmoctl looks there too), and the
// cache directory its preset covers.
struct FakeFirefox
{
    explicit FakeFirefox(const QString &version)
    {
        applications.debianFirefoxEsr(version);
        QDir().mkpath(cache());
    }
    static QString cache() { return qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/mozilla"); }

    QMTest::ApplicationsRoot applications;
};

QJsonObject presetOf(const QString &type, bool all = true)
{
    QStringList args{QStringLiteral("presets"), QStringLiteral("--json")};
    if (all)
        args << QStringLiteral("--all");
    const Result r = ctl(args);
    for (const QJsonValue &v : QJsonDocument::fromJson(r.out.toUtf8()).array())
        if (v.toObject().value(QStringLiteral("type")).toString() == type)
            return v.toObject();
    return {};
}

} // namespace

TEST(QMCtl, HelpDescribesEveryCommandAndEveryOption)
{
    const Result help = ctl({QStringLiteral("--help")});
    ASSERT_EQ(help.status, 0);
    const QStringList commands = {"list",  "presets", "add",   "set",   "create", "mount",  "eject",
                                  "rebuild", "backup", "sync", "clean", "remove", "status", "memory"};
    for (const QString &command : commands) {
        bool described = false;
        for (const QString &line : help.out.split(QLatin1Char('\n'))) {
            const QStringList words = line.simplified().split(QLatin1Char(' '));
            if (words.size() >= 3 && words.first() == command)
                described = true;
        }
        EXPECT_TRUE(described) << command.toStdString() << " has no description:\n" << help.out.toStdString();
        EXPECT_EQ(ctl({command, QStringLiteral("--help")}).status, 0) << command.toStdString();
    }
    const Result add = ctl({QStringLiteral("add"), QStringLiteral("--help")});
    for (const char *option : {"--type TYPE", "--size", "--mount-dir", "--case-sensitive", "--case-insensitive",
                               "--backup", "--post-command", "--post-arg", "--no-post-command", "--index", "--login",
                               "--no-login", "--autosave MINUTES", "firefox", "chrome"})
        EXPECT_TRUE(add.out.contains(QLatin1String(option))) << option;
    EXPECT_TRUE(ctl({QStringLiteral("set"), QStringLiteral("--help")}).out.contains(QStringLiteral("--name NEWNAME")));
}

TEST(QMCtl, PresetsFollowWhatThisMachineHas)
{
    // Without Firefox the preset is not offered, with its reason, and cannot be added.
    QJsonObject firefox = presetOf(QStringLiteral("firefox"));
    EXPECT_EQ(firefox.value(QStringLiteral("status")).toString(), QStringLiteral("not offered"));
    EXPECT_EQ(firefox.value(QStringLiteral("reason")).toString(), QStringLiteral("Firefox is not installed"));
    EXPECT_EQ(presetOf(QStringLiteral("custom")).value(QStringLiteral("status")).toString(), QStringLiteral("available"));
    // What cannot work here (its application is missing) is listed with --all only; the
    // rest, custom RAM disks among them, always.
    const QJsonArray every = QJsonDocument::fromJson(
        ctl({QStringLiteral("presets"), QStringLiteral("--json"), QStringLiteral("--all")}).out.toUtf8()).array();
    ASSERT_GE(every.size(), 8);
    for (const QJsonValue &v : every) {
        const QString type = v.toObject().value(QStringLiteral("type")).toString();
        const bool offered = v.toObject().value(QStringLiteral("status")).toString() != QLatin1String("not offered");
        EXPECT_EQ(presetOf(type, false).isEmpty(), !offered) << type.toStdString();
    }
    EXPECT_EQ(presetOf(QStringLiteral("safari")).value(QStringLiteral("status")).toString(), QStringLiteral("not offered"));
    const Result table = ctl({QStringLiteral("presets")});
    EXPECT_FALSE(table.out.contains(QStringLiteral("safari"))) << table.out.toStdString();
    EXPECT_TRUE(table.out.contains(QStringLiteral("presets --all"))) << table.out.toStdString();
    Result r = ctl({QStringLiteral("add"), QStringLiteral("--type"), QStringLiteral("firefox")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("Firefox is not installed"))) << r.err.toStdString();
    EXPECT_EQ(ctl({QStringLiteral("add"), QStringLiteral("--type"), QStringLiteral("netscape")}).status, 2);

    {
        // Too old a Firefox: shown, unavailable, with the version found.
        FakeFirefox old(QStringLiteral("53.0.3"));
        firefox = presetOf(QStringLiteral("firefox"), false);
        EXPECT_EQ(firefox.value(QStringLiteral("status")).toString(), QStringLiteral("unavailable"));
        EXPECT_TRUE(firefox.value(QStringLiteral("reason")).toString().contains(QStringLiteral("53.0.3")));
    }

    FakeFirefox installed(QStringLiteral("128.0"));
    firefox = presetOf(QStringLiteral("firefox"), false);
    EXPECT_EQ(firefox.value(QStringLiteral("status")).toString(), QStringLiteral("available"));
    EXPECT_EQ(firefox.value(QStringLiteral("name")).toString(), QStringLiteral("firefox"));
    EXPECT_EQ(firefox.value(QStringLiteral("mountDirectory")).toString(), FakeFirefox::cache());
    EXPECT_EQ(firefox.value(QStringLiteral("size")).toDouble(), 1000000000.0);
    // Which Firefox, with its version.
    const QString esr = installed.applications.at(QStringLiteral("/usr/lib/firefox-esr"));
    EXPECT_EQ(firefox.value(QStringLiteral("version")).toString(), QStringLiteral("128.0"));
    EXPECT_EQ(firefox.value(QStringLiteral("installation")).toString(), esr);
    const QString text = ctl({QStringLiteral("presets")}).out;
    EXPECT_TRUE(text.contains(QStringLiteral("firefox: Firefox 128.0 (%1)").arg(esr))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("~/.cache/mozilla")) || !FakeFirefox::cache().startsWith(QDir::homePath()));

    // What the preset decides is not the user's to change; the rest is.
    EXPECT_EQ(ctl({QStringLiteral("add"), QStringLiteral("Fox"), QStringLiteral("--type"), QStringLiteral("firefox")}).status, 2);
    EXPECT_EQ(ctl({QStringLiteral("add"), QStringLiteral("--type"), QStringLiteral("firefox"), QStringLiteral("--backup"),
                   QStringLiteral("default")})
                  .status,
              2);
    // The preset's directory or a parent of it, as the mount-point menu offers; nothing else.
    const QString elsewhere = QMTest::testHome() + QStringLiteral("/elsewhere");
    QDir().mkpath(elsewhere);
    EXPECT_EQ(ctl({QStringLiteral("add"), QStringLiteral("--type"), QStringLiteral("firefox"), QStringLiteral("--mount-dir"),
                   elsewhere})
                  .status,
              2);
    r = ctl({QStringLiteral("add"), QStringLiteral("--type"), QStringLiteral("firefox"), QStringLiteral("--size"),
             QStringLiteral("2G")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    QJsonObject entry = entryNamed(QStringLiteral("firefox"));
    EXPECT_EQ(entry.value(QStringLiteral("typeName")).toString(), QStringLiteral("firefox"));
    EXPECT_EQ(entry.value(QStringLiteral("mountDirectory")).toString(), FakeFirefox::cache());
    EXPECT_EQ(entry.value(QStringLiteral("size")).toDouble(), 2000000000.0);
    EXPECT_EQ(entry.value(QStringLiteral("backup")).toString(), QStringLiteral("base"));
    EXPECT_EQ(presetOf(QStringLiteral("firefox")).value(QStringLiteral("usedBy")).toString(), QStringLiteral("firefox"));
    EXPECT_TRUE(ctl({QStringLiteral("list")}).out.contains(QStringLiteral("firefox")));
    EXPECT_TRUE(ctl({QStringLiteral("status"), QStringLiteral("firefox")}).out.contains(QStringLiteral("Firefox Cache (firefox)")));

    // Each preset once.
    r = ctl({QStringLiteral("add"), QStringLiteral("--type"), QStringLiteral("firefox")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("used by \"firefox\""))) << r.err.toStdString();
    ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("Plain")}).status, 0);
    EXPECT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Plain"), QStringLiteral("--type"), QStringLiteral("firefox")}).status, 1);

    // Back to custom before it exists: a plain RAM disk again, as the type menu makes it.
    ASSERT_EQ(ctl({QStringLiteral("remove"), QStringLiteral("Plain")}).status, 0);
    r = ctl({QStringLiteral("set"), QStringLiteral("firefox"), QStringLiteral("--type"), QStringLiteral("custom")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    entry = entryNamed(QStringLiteral("RamDisk"));
    EXPECT_EQ(entry.value(QStringLiteral("typeName")).toString(), QStringLiteral("custom"));
    EXPECT_EQ(entry.value(QStringLiteral("backup")).toString(), QStringLiteral("none"));
    EXPECT_TRUE(entry.value(QStringLiteral("mountDirectory")).isNull());
}

TEST(QMCtl, ARunningPresetApplicationRefusesCreateEjectRebuildAndClean)
{
    FakeFirefox installed(QStringLiteral("128.0"));
    ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("--type"), QStringLiteral("firefox")}).status, 0);

    // A program of this user running as "firefox".
    QMTemporaryDir apps;
    const QString fake = apps.path() + QStringLiteral("/firefox");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), fake));
    QFile::setPermissions(fake, QFile::permissions(fake) | QFileDevice::ExeOwner);
    QProcess running;
    running.start(fake, {QStringLiteral("60")});
    ASSERT_TRUE(running.waitForStarted());
    for (const char *command : {"create", "eject", "rebuild", "clean"}) {
        const Result r = ctl({QLatin1String(command), QStringLiteral("firefox")});
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_TRUE(r.err.contains(QStringLiteral("is running"))) << command << ": " << r.err.toStdString();
    }
    // Settings still change while it runs; the note says what to do.
    const Result set = ctl({QStringLiteral("set"), QStringLiteral("firefox"), QStringLiteral("--size"), QStringLiteral("1G")});
    EXPECT_EQ(set.status, 0) << set.err.toStdString();
    running.kill();
    running.waitForFinished();
    EXPECT_EQ(entryNamed(QStringLiteral("firefox")).value(QStringLiteral("status")).toString(), QStringLiteral("not created"));
}

// Run as a user of the test's own: a Firefox running elsewhere on the machine is not this
// user's and refuses nothing.
TEST(QMCtl, AFirefoxRamDiskKeepsTheCacheDirectoryInStep)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTestUserSession session(QStringLiteral("ffs"));
    QM_REQUIRE_TEST_USER(session.user);
    FakeFirefox installed(QStringLiteral("128.0"));
    QString why;
    ASSERT_TRUE(session.setUp(&why)) << why.toStdString();
    const QString base = session.cacheHome() + QStringLiteral("/mozilla/firefox");
    const auto ctl = [&session](const QStringList &args) { return userCtl(session, args); };
    // What the user had cached, made as the user.
    QProcess cached;
    session.prepare(cached);
    cached.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("mkdir -p \"$1\" && echo -n 'cached before' > \"$1/entry\""),
                                             QStringLiteral("sh"), base + QStringLiteral("/cache2")});
    ASSERT_TRUE(cached.waitForFinished());
    ASSERT_EQ(cached.exitCode(), 0);
    struct Cleanup
    {
        std::function<Result(const QStringList &)> ctl;
        ~Cleanup() { ctl({QStringLiteral("eject"), QStringLiteral("firefox")}); }
    } cleanup{ctl};

    ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("--type"), QStringLiteral("firefox"), QStringLiteral("--size"),
                   QStringLiteral("256M")})
                  .status,
              0);
    Result r = ctl({QStringLiteral("create"), QStringLiteral("firefox")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    // The cache is in memory now, its old copy aside.
    EXPECT_EQ(entryNamed(QStringLiteral("firefox"), ctl({QStringLiteral("list"), QStringLiteral("--json")}))
                  .value(QStringLiteral("path"))
                  .toString(),
              base);
    EXPECT_TRUE(QFileInfo::exists(base + QStringLiteral(" (Quilmo Backup Base)")));
    EXPECT_EQ(readFile(base + QStringLiteral("/cache2/entry")), QByteArray("cached before"));
    writeFile(base + QStringLiteral("/cache2/new"), "cached in memory");

    r = ctl({QStringLiteral("eject"), QStringLiteral("firefox")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(base + QStringLiteral(" (Quilmo Backup Base)")));
    EXPECT_EQ(readFile(base + QStringLiteral("/cache2/entry")), QByteArray("cached before"));
    EXPECT_EQ(readFile(base + QStringLiteral("/cache2/new")), QByteArray("cached in memory"));
}

// "Save every": only the menu's choices, only with a backup to save to; a RAM disk that
// gets a backup starts at 15 minutes, one that loses it loses its schedule, and an entry
// of an older version (no interval) keeps none when other settings change.
TEST(QMCtl, TheAutosaveSettingFollowsTheBackupMode)
{
    const auto interval = [](const QString &name) {
        return entryNamed(name).value(QStringLiteral("autoSaveInterval")).toInteger(-1);
    };
    ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("Kept"), QStringLiteral("--backup"), QStringLiteral("default")}).status, 0);
    EXPECT_EQ(interval(QStringLiteral("Kept")), 900);
    ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("Lost"), QStringLiteral("--size"), QStringLiteral("256M")}).status, 0);
    EXPECT_EQ(interval(QStringLiteral("Lost")), 0);

    for (const char *bad : {"10", "0", "-5", "15m", "never", ""}) {
        const Result r = ctl({QStringLiteral("set"), QStringLiteral("Kept"), QStringLiteral("--autosave"), QString::fromLatin1(bad)});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_TRUE(r.err.contains(QStringLiteral("off, 5, 15, 30 or 60"))) << r.err.toStdString();
    }
    const Result noBackup = ctl({QStringLiteral("set"), QStringLiteral("Lost"), QStringLiteral("--autosave"), QStringLiteral("5")});
    EXPECT_EQ(noBackup.status, 1);
    EXPECT_TRUE(noBackup.err.contains(QStringLiteral("--backup"))) << noBackup.err.toStdString();
    EXPECT_EQ(interval(QStringLiteral("Lost")), 0);

    const QList<QPair<const char *, int>> choices{{"5", 300}, {"30", 1800}, {"60", 3600}, {"off", 0}, {"15", 900}};
    for (const auto &[word, seconds] : choices) {
        ASSERT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Kept"), QStringLiteral("--autosave"), QString::fromLatin1(word)}).status, 0);
        EXPECT_EQ(interval(QStringLiteral("Kept")), seconds) << word;
    }
    ASSERT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Kept"), QStringLiteral("--autosave"), QStringLiteral("off")}).status, 0);
    ASSERT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Kept"), QStringLiteral("--size"), QStringLiteral("300M")}).status, 0);
    EXPECT_EQ(interval(QStringLiteral("Kept")), 0) << "an unrelated change turned the schedule on";

    ASSERT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Lost"), QStringLiteral("--backup"), QStringLiteral("default")}).status, 0);
    EXPECT_EQ(interval(QStringLiteral("Lost")), 900);
    ASSERT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Lost"), QStringLiteral("--backup"), QStringLiteral("none")}).status, 0);
    EXPECT_EQ(interval(QStringLiteral("Lost")), 0);
    ASSERT_EQ(ctl({QStringLiteral("set"), QStringLiteral("Lost"), QStringLiteral("--backup"), QStringLiteral("default"),
                   QStringLiteral("--autosave"), QStringLiteral("60")}).status, 0);
    EXPECT_EQ(interval(QStringLiteral("Lost")), 3600);

    // Shown, with the save date, in list and status.
    const Result list = ctl({QStringLiteral("list")});
    EXPECT_TRUE(list.out.contains(QStringLiteral("AUTOSAVE"))) << list.out.toStdString();
    EXPECT_TRUE(list.out.contains(QStringLiteral("60 min"))) << list.out.toStdString();
    EXPECT_TRUE(list.out.contains(QStringLiteral("Never saved"))) << list.out.toStdString();
    const Result status = ctl({QStringLiteral("status"), QStringLiteral("Lost")});
    EXPECT_TRUE(status.out.contains(QStringLiteral("Save every:"))) << status.out.toStdString();
    EXPECT_TRUE(status.out.contains(QStringLiteral("Never saved"))) << status.out.toStdString();
    for (const char *name : {"Kept", "Lost"})
        EXPECT_EQ(ctl({QStringLiteral("remove"), QString::fromLatin1(name)}).status, 0);
}

namespace {

// RAM disks made through quilmoctl for one test, each saved to a folder of its own that
// the test can take away (a file put in its place) and give back; ejected and removed
// after, whatever happened.
class CtlRamDisks
{
public:
    explicit CtlRamDisks(const QStringList &names) : _names(names)
    {
        for (const QString &name : names) {
            QDir().mkpath(folder(name));
            _added = _added
                     && ctl({QStringLiteral("add"), name, QStringLiteral("--size"), QStringLiteral("128M"),
                             QStringLiteral("--mount-dir"), _parent.path(), QStringLiteral("--backup"), folder(name)})
                                .status
                            == 0;
        }
    }
    ~CtlRamDisks()
    {
        for (const QString &name : _names) {
            giveBack(name);
            ctl({QStringLiteral("eject"), name, QStringLiteral("--force")});
            ctl({QStringLiteral("remove"), name});
        }
    }
    bool isValid() const { return _parent.isValid() && _added; }
    QString folder(const QString &name) const { return _parent.path() + QStringLiteral("/backup-") + name; }
    QString volume(const QString &name) const { return _parent.path() + QLatin1Char('/') + name; }
    QString backup(const QString &name) const
    {
        return entryNamed(name).value(QStringLiteral("backupDirPath")).toString();
    }
    // Its backup folder cannot be written: a file stands where it was.
    bool takeAway(const QString &name)
    {
        if (!QFile::rename(folder(name), folder(name) + QStringLiteral("-away")))
            return false;
        writeFile(folder(name), "not a folder");
        return true;
    }
    void giveBack(const QString &name)
    {
        if (QFileInfo::exists(folder(name) + QStringLiteral("-away"))) {
            QFile::remove(folder(name));
            QFile::rename(folder(name) + QStringLiteral("-away"), folder(name));
        }
    }

private:
    QMTemporaryDir _parent;
    QStringList _names;
    bool _added = true;
};

} // namespace

// --all acts on every RAM disk whatever fails before or after it, names what failed and
// exits with 1, wherever the failing one stands in the list.
TEST(QMCtl, AllActionsActOnEveryRamDiskAndExitWithAnyFailure)
{
    QM_REQUIRE_LOOP_DEVICES();
    const QStringList names{QStringLiteral("AllA"), QStringLiteral("AllB"), QStringLiteral("AllC")};
    CtlRamDisks disks(names);
    ASSERT_TRUE(disks.isValid());
    Result r = ctl({QStringLiteral("create"), QStringLiteral("--all")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();

    for (int failing = 0; failing < names.size(); ++failing) {
        SCOPED_TRACE(names.at(failing).toStdString());
        const QString mark = QStringLiteral("round%1.txt").arg(failing);
        for (const QString &name : names)
            writeFile(disks.volume(name) + QLatin1Char('/') + mark, "saved");
        ASSERT_TRUE(disks.takeAway(names.at(failing)));
        r = ctl({QStringLiteral("backup"), QStringLiteral("--all")});
        EXPECT_EQ(r.status, 1);
        for (int i = 0; i < names.size(); ++i) {
            const QString failed = QStringLiteral("backup \"%1\" failed").arg(names.at(i));
            EXPECT_EQ(r.err.contains(failed), i == failing) << r.err.toStdString();
            if (i != failing) {
                EXPECT_EQ(readFile(disks.backup(names.at(i)) + QLatin1Char('/') + mark), QByteArray("saved"));
            }
        }
        disks.giveBack(names.at(failing));
        EXPECT_FALSE(QFileInfo::exists(disks.backup(names.at(failing)) + QLatin1Char('/') + mark));
    }

    ASSERT_TRUE(disks.takeAway(names.at(1)));
    r = ctl({QStringLiteral("eject"), QStringLiteral("--all")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("eject \"AllB\" failed"))) << r.err.toStdString();
    EXPECT_EQ(entryNamed(names.at(0)).value(QStringLiteral("status")).toString(), QStringLiteral("not created"));
    EXPECT_EQ(entryNamed(names.at(1)).value(QStringLiteral("status")).toString(), QStringLiteral("mounted"))
        << "a RAM disk whose save failed was ejected";
    EXPECT_EQ(entryNamed(names.at(2)).value(QStringLiteral("status")).toString(), QStringLiteral("not created"));
    disks.giveBack(names.at(1));
    r = ctl({QStringLiteral("eject"), names.at(1)});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(readFile(disks.backup(names.at(1)) + QStringLiteral("/round0.txt")), QByteArray("saved"));
}

// Contents that are incomplete never replace the complete copy unless asked with --force;
// eject --force leaves without saving and keeps the complete copy as it is.
TEST(QMCtl, IncompleteContentsReplaceTheCopyOnlyWithForceAndEjectForceKeepsIt)
{
    QM_REQUIRE_LOOP_DEVICES();
    const QString name = QStringLiteral("Partial");
    CtlRamDisks disks({name});
    ASSERT_TRUE(disks.isValid());
    ASSERT_EQ(ctl({QStringLiteral("create"), name}).status, 0);
    writeFile(disks.volume(name) + QStringLiteral("/complete.txt"), "in the complete copy");
    ASSERT_EQ(ctl({QStringLiteral("backup"), name}).status, 0);
    const auto markIncomplete = [&] {
        QMRamDiskEntries entries; // as a restore that did not copy everything leaves it
        ASSERT_TRUE(entries.readRamDisksFromDefaultLocation());
        entries.ramDiskWithName(name)->setContentsIncomplete(true);
        ASSERT_TRUE(entries.writeRamDisksToDefaultLocation());
    };
    markIncomplete();
    writeFile(disks.volume(name) + QStringLiteral("/later.txt"), "written since");
    const QString backup = disks.backup(name);

    for (const QString &which : {name, QStringLiteral("--all")}) {
        const Result r = ctl({QStringLiteral("backup"), which});
        EXPECT_EQ(r.status, 1) << which.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("would replace the complete copy with an incomplete one")))
            << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("--force"))) << r.err.toStdString();
    }
    EXPECT_EQ(ctl({QStringLiteral("eject"), name}).status, 1) << "an ordinary eject saves first";
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral("/later.txt")));

    Result r = ctl({QStringLiteral("eject"), name, QStringLiteral("--force")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(entryNamed(name).value(QStringLiteral("status")).toString(), QStringLiteral("not created"));
    EXPECT_EQ(readFile(backup + QStringLiteral("/complete.txt")), QByteArray("in the complete copy"));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral("/later.txt")));

    ASSERT_EQ(ctl({QStringLiteral("create"), name}).status, 0);
    markIncomplete();
    writeFile(disks.volume(name) + QStringLiteral("/later.txt"), "written since");
    r = ctl({QStringLiteral("backup"), name, QStringLiteral("--force")});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(readFile(backup + QStringLiteral("/later.txt")), QByteArray("written since"));
    EXPECT_FALSE(ctl({QStringLiteral("status"), name}).out.contains(QStringLiteral("incomplete")));
}
