#include "QMFileRemover.h"
#include "QMFunctions.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMTestUser.h"
#include "QMUpdateInstaller.h"
#include "QMUpdateTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

using namespace QMUpdateTest;

namespace {

class InstallerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        parent = dir.path() + QStringLiteral("/opt");
        QDir().mkpath(parent);
        marker = dir.path() + QStringLiteral("/ran");
        tmp = dir.path() + QStringLiteral("/tmp");
    }

    void makeOld() { appPath = makeTree(parent, QStringLiteral("quilmo"), QStringLiteral("1.0"), marker); }

    QMUpdateInstaller::Identity identity() const
    {
        return {appPath, QStringLiteral("Quilmo"), QStringLiteral("1.0"), QStringLiteral("org.quilmo.Quilmo"),
                QStringLiteral("bin/Quilmo"), tmp, QString(), QString()};
    }

    QMUpdateInstaller installer(QMUpdateInstaller::PrivilegedRunner runner = {})
    {
        if (!runner)
            runner = [this](const QString &tool, const QStringList &args, qint64 *status) {
                privilegedCalls << tool;
                return QMFunctions::executeWithPrivilegesAndWait(tool, args, status);
            };
        return QMUpdateInstaller(identity(), runner);
    }

    QByteArray newZip(QList<ZipEntry> extra = {}) const
    {
        return makeZip(treeEntries(QStringLiteral("quilmo"), QStringLiteral("2.0"), marker) + extra);
    }

    // The version the installed program says it is when started.
    QString runningVersion() { return runningVersionOf(appPath, marker); }

    // What the installation holds, with the contents of its files.
    QStringList snapshot() const
    {
        QStringList all;
        QDirIterator it(appPath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QFileInfo info(path);
            all << QDir(appPath).relativeFilePath(path)
                       + (info.isSymLink() ? QStringLiteral(" -> ") + info.symLinkTarget()
                          : info.isFile() ? QStringLiteral(" ") + QString::fromUtf8(readFile(path).toHex())
                                          : QString());
        }
        all.sort();
        return all;
    }

    QMTemporaryDir dir;
    QString parent, marker, tmp, appPath;
    QStringList privilegedCalls;
};

bool needsRoot()
{
    return geteuid() != 0;
}

} // namespace

TEST_F(InstallerTest, ReplacesTheInstallationAndKeepsTheOldOneInTheTrash)
{
    makeOld();
    writeFile(appPath + QStringLiteral("/README.local"), "the user's own note");
    // What lies under the temporary directory's old fixed name is someone else's: never
    // taken over, never cleaned.
    const QString victim = dir.path() + QStringLiteral("/victim");
    QDir().mkpath(victim);
    writeFile(victim + QStringLiteral("/keep"), "keep");
    QDir().mkpath(tmp);
    const QString planted = tmp + QStringLiteral("/org.quilmo.Quilmo-QMCheckForUpdates");
    QFile::link(victim, planted);

    QMUpdateInstaller inst = installer();
    QString reason;
    bool quit = true;
    ASSERT_TRUE(inst.installUpdateWithData(newZip(), &reason, &quit)) << reason.toStdString();
    EXPECT_FALSE(quit);
    EXPECT_TRUE(reason.isNull());
    EXPECT_FALSE(inst.usedPrivileges());
    EXPECT_TRUE(privilegedCalls.isEmpty());

    EXPECT_EQ(runningVersion(), QStringLiteral("2.0"));
    EXPECT_EQ(readFile(appPath + QStringLiteral("/bin/quilmoctl")), QByteArray("ctl 2.0"));
    EXPECT_EQ(QFileInfo(appPath + QStringLiteral("/libexec/quilmo/hdiutil")).symLinkTarget(),
              appPath + QStringLiteral("/libexec/quilmo/quilmo-disktool"));
    EXPECT_EQ(readFile(appPath + QStringLiteral("/README.local")), QByteArray("the user's own note"));
    for (const QString &entry : QDir(appPath).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        EXPECT_FALSE(entry.startsWith(QLatin1Char('.'))) << "left behind: " << entry.toStdString();
    EXPECT_TRUE(inst.temporaryDirectory().startsWith(planted + QLatin1Char('-'))) << "a fresh one beside it";
    EXPECT_FALSE(QFileInfo::exists(inst.temporaryDirectory()));
    EXPECT_EQ(QFileInfo(planted).symLinkTarget(), victim);
    EXPECT_EQ(readFile(victim + QStringLiteral("/keep")), QByteArray("keep"));

    const QString trash = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Trash");
    EXPECT_EQ(readFile(trash + QStringLiteral("/files/quilmo 1.0/bin/quilmoctl")), QByteArray("ctl 1.0"));
    EXPECT_TRUE(QFileInfo::exists(trash + QStringLiteral("/info/quilmo 1.0.trashinfo")));
}

TEST_F(InstallerTest, AnotherUsersFolderAtTheOldTemporaryNameIsNeitherTakenOverNorCleaned)
{
    QMTestUser attacker(QStringLiteral("upd"));
    QM_REQUIRE_TEST_USER(attacker);
    makeOld();
    const QString victim = dir.path() + QStringLiteral("/home");
    QDir().mkpath(victim + QStringLiteral("/Documents"));
    writeFile(victim + QStringLiteral("/Documents/thesis.odt"), "years of work");
    // The other user's folder where the installer once made its own, with a subfolder
    // that becomes a link to the victim's home as soon as anything in it is deleted.
    const QString planted = QDir::tempPath() + QStringLiteral("/org.quilmo.Quilmo-QMCheckForUpdates");
    ASSERT_TRUE(QDir().mkpath(planted));
    ASSERT_EQ(chown(QFile::encodeName(planted).constData(), attacker.uid(), attacker.gid()), 0);
    const pid_t attack = QMTestStartLinkSwapAttack(attacker, planted + QStringLiteral("/x"), 3000,
                                                   QStringLiteral("Documents"), victim, 120000);
    ASSERT_GT(attack, 0);

    QMUpdateInstaller::Identity own = identity();
    own.tempDirectory = QString(); // the user's own cache, as in the program
    QMUpdateInstaller inst(own, {});
    QString reason;
    bool quit = true;
    ASSERT_TRUE(inst.installUpdateWithData(newZip(), &reason, &quit)) << reason.toStdString();
    EXPECT_EQ(runningVersion(), QStringLiteral("2.0"));
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/quilmo/");
    EXPECT_TRUE(inst.temporaryDirectory().startsWith(cache)) << inst.temporaryDirectory().toStdString();
    EXPECT_FALSE(QFileInfo::exists(inst.temporaryDirectory()));

    EXPECT_EQ(QMTestWaitForChild(attack, 0), -1) << "nothing in the other user's folder was deleted";
    EXPECT_EQ(QDir(planted + QStringLiteral("/x")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 3001);
    EXPECT_EQ(readFile(victim + QStringLiteral("/Documents/thesis.odt")), QByteArray("years of work"));
}

TEST_F(InstallerTest, OneReadOnlyFileTakesThePrivilegedPath)
{
    if (needsRoot())
        GTEST_SKIP() << "as a normal user this would ask polkit for a password";
    makeOld();
    const QString readOnly = appPath + QStringLiteral("/share/quilmo/images/icon.png");
    ::chmod(QFile::encodeName(readOnly).constData(), 0444);
    EXPECT_FALSE(QMUpdateInstaller::isWritableByUser(readOnly)) << "read-only even for root";

    LogCapture log;
    QMUpdateInstaller inst = installer();
    QString reason;
    bool quit = true;
    ASSERT_TRUE(inst.installUpdateWithData(newZip(), &reason, &quit)) << reason.toStdString();
    EXPECT_TRUE(inst.usedPrivileges());
    EXPECT_EQ(privilegedCalls, QStringList{QMTest::libexecDir() + QStringLiteral("/quilmo-update-swap")})
        << "one prompt for the whole install";
    EXPECT_TRUE(log.contains(QStringLiteral("isWritableFileAtPath==NO\u00A0|| isDeletableFileAtPath==NO file:") + readOnly));
    EXPECT_EQ(runningVersion(), QStringLiteral("2.0"));
    EXPECT_EQ(readFile(readOnly), QByteArray("png 2.0"));
}

TEST_F(InstallerTest, WriteAndDeleteRightsComeFromThePermissionBits)
{
    makeOld();
    const QString file = appPath + QStringLiteral("/bin/quilmoctl");
    EXPECT_TRUE(QMUpdateInstaller::isWritableByUser(file));
    EXPECT_TRUE(QMUpdateInstaller::isDeletableByUser(file));
    ::chmod(QFile::encodeName(appPath + QStringLiteral("/bin")).constData(), 0555);
    EXPECT_TRUE(QMUpdateInstaller::isWritableByUser(file));
    EXPECT_FALSE(QMUpdateInstaller::isDeletableByUser(file));
    EXPECT_FALSE(QMUpdateInstaller::isWritableByUser(appPath + QStringLiteral("/bin")));
    ::chmod(QFile::encodeName(appPath + QStringLiteral("/bin")).constData(), 0755);

    // An installation that is not writable itself asks for rights before looking inside.
    ::chmod(QFile::encodeName(appPath).constData(), 0555);
    QMUpdateInstaller inst = installer([this](const QString &tool, const QStringList &, qint64 *status) {
        privilegedCalls << tool;
        *status = 126;
        return true;
    });
    QString reason;
    bool quit = true;
    EXPECT_FALSE(inst.installUpdateWithData(newZip(), &reason, &quit));
    ::chmod(QFile::encodeName(appPath).constData(), 0755);
    EXPECT_TRUE(inst.usedPrivileges());
}

TEST_F(InstallerTest, EachPrivilegedOutcomeHasItsReason)
{
    makeOld();
    ::chmod(QFile::encodeName(appPath + QStringLiteral("/bin/quilmoctl")).constData(), 0555);
    const QStringList before = snapshot();
    const struct
    {
        bool started;
        qint64 status;
        const char *reason;
        bool quit;
    } cases[] = {
        {false, 0, "Can not get privileges", false},
        {true, 126, "Can not get privileges (126)", false},
        {true, 127, "Can not get privileges (127)", false},
        {true, 10, "Can not copy downloaded files (with privileges)", false},
        {true, 11, "Can not install the update; the previous version is back in place (with privileges)", false},
        {true, 12, "Can not remove application content (with privileges)", true},
    };
    for (const auto &c : cases) {
        QMUpdateInstaller inst = installer([&c](const QString &, const QStringList &, qint64 *status) {
            *status = c.status;
            return c.started;
        });
        QString reason;
        bool quit = !c.quit;
        EXPECT_FALSE(inst.installUpdateWithData(newZip(), &reason, &quit)) << c.reason;
        EXPECT_EQ(reason, QString::fromUtf8(c.reason));
        EXPECT_EQ(quit, c.quit) << c.reason;
        EXPECT_FALSE(QFileInfo::exists(inst.temporaryDirectory())) << c.reason;
    }
    EXPECT_EQ(snapshot(), before);
}

TEST_F(InstallerTest, ArchivesThatAreNoInstallationChangeNothing)
{
    makeOld();
    const QStringList before = snapshot();
    const struct
    {
        const char *what;
        QByteArray zip;
        const char *reason;
    } cases[] = {
        {"other top directory", makeZip(treeEntries(QStringLiteral("other"), QStringLiteral("2.0"), marker)), "Can not found content of app"},
        {"no program", makeZip({{QStringLiteral("quilmo/share/quilmo/x"), "x"}}), "Can not found content of app"},
        {"a name the swap cannot carry", newZip({{QStringLiteral("quilmo/-rf"), "x"}}), "Can not found content of app"},
        {"../evil", newZip({{QStringLiteral("../evil"), "x"}}), "Can not unzip data file"},
        {"link out", newZip({{QStringLiteral("quilmo/bin/evil"), {}, ZipEntry::Symlink, 0777, QStringLiteral("../../../evil")}}),
         "Can not unzip data file"},
    };
    for (const auto &c : cases) {
        QMUpdateInstaller inst = installer();
        QString reason;
        bool quit = true;
        EXPECT_FALSE(inst.installUpdateWithData(c.zip, &reason, &quit)) << c.what;
        EXPECT_EQ(reason, QString::fromUtf8(c.reason)) << c.what;
        EXPECT_FALSE(quit) << c.what;
        EXPECT_FALSE(QFileInfo::exists(inst.temporaryDirectory())) << c.what;
    }
    EXPECT_FALSE(QFileInfo::exists(dir.path() + QStringLiteral("/evil")));
    EXPECT_FALSE(QFileInfo::exists(tmp + QStringLiteral("/evil")));
    EXPECT_EQ(snapshot(), before);

    QString reason = QStringLiteral("x");
    bool quit = true;
    EXPECT_FALSE(installer().installUpdateWithData({}, &reason, &quit));
    EXPECT_TRUE(reason.isNull());
}

TEST_F(InstallerTest, CopyFailingHalfWayLeavesTheOldInstallationWorking)
{
    if (needsRoot())
        GTEST_SKIP() << "mounting a small file system needs root";
    SmallFileSystem fs(parent, 256);
    ASSERT_TRUE(fs.mounted);
    makeOld();
    const QStringList before = snapshot();
    // bin and libexec fit; share does not, half way through.
    const QList<ZipEntry> big{{QStringLiteral("quilmo/share/quilmo/big"), QByteArray(1 << 20, '\0')}};

    for (bool privileged : {false, true}) {
        if (privileged)
            ::chmod(QFile::encodeName(appPath + QStringLiteral("/bin/quilmoctl")).constData(), 0555);
        QMUpdateInstaller inst = installer();
        QString reason;
        bool quit = true;
        EXPECT_FALSE(inst.installUpdateWithData(newZip(big), &reason, &quit));
        EXPECT_EQ(inst.usedPrivileges(), privileged);
        EXPECT_FALSE(quit) << "nothing was swapped yet";
        if (privileged)
            EXPECT_EQ(reason, QStringLiteral("Can not copy downloaded files (with privileges)"));
        else
            EXPECT_TRUE(reason.startsWith(QStringLiteral("Can not copy downloaded files ("))) << reason.toStdString();
        EXPECT_EQ(runningVersion(), QStringLiteral("1.0"));
        QStringList now = snapshot();
        if (privileged)
            ::chmod(QFile::encodeName(appPath + QStringLiteral("/bin/quilmoctl")).constData(), 0755);
        EXPECT_EQ(now, before) << "no copy left beside the installation";
    }
}

TEST_F(InstallerTest, AFailedSwapPutsBackWhatWasSwappedAndIsAFailureThatNeedNotQuit)
{
    if (needsRoot())
        GTEST_SKIP() << "the immutable attribute needs root";
    makeOld();
    const QStringList before = snapshot();
    // bin and libexec are swapped first; share cannot be moved.
    Immutable stuck(appPath + QStringLiteral("/share"));
    ASSERT_TRUE(stuck.set);

    QMUpdateInstaller inst = installer();
    QString reason;
    bool quit = false;
    EXPECT_FALSE(inst.installUpdateWithData(newZip(), &reason, &quit));
    EXPECT_FALSE(quit) << "everything is back: the program goes on";
    EXPECT_TRUE(reason.startsWith(QStringLiteral("Can not install the update; the previous version is back in place (")))
        << reason.toStdString();
    EXPECT_EQ(runningVersion(), QStringLiteral("1.0"));
    EXPECT_EQ(snapshot(), before);
}

TEST_F(InstallerTest, InstalledFilesGetAnInstallationsModesAndRootsOwnershipOnTheRootPath)
{
    // Everything world-writable in the archive, a program and a plain file among it.
    QList<ZipEntry> entries = treeEntries(QStringLiteral("quilmo"), QStringLiteral("2.0"), marker);
    for (ZipEntry &e : entries)
        e.mode = e.type == ZipEntry::File && !e.name.endsWith(QLatin1String("Quilmo")) && !e.name.contains(QLatin1String("bin/"))
                         && !e.name.contains(QLatin1String("libexec/"))
                     ? 0666
                     : 0777;
    entries.prepend({QStringLiteral("quilmo/share/quilmo/"), {}, ZipEntry::Directory, 0777});
    const QByteArray zip = makeZip(entries);
    auto modes = [this] {
        QStringList all;
        QDirIterator it(appPath, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            struct stat st {};
            lstat(QFile::encodeName(path).constData(), &st);
            if (!S_ISLNK(st.st_mode))
                all << QStringLiteral("%1 %2 %3:%4")
                           .arg(QDir(appPath).relativeFilePath(path))
                           .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'))
                           .arg(st.st_uid)
                           .arg(st.st_gid);
        }
        all.sort();
        return all;
    };

    for (bool privileged : {false, true}) {
        makeOld();
        if (privileged) {
            if (needsRoot())
                GTEST_SKIP() << "the root path needs root";
            // Another owner's installation, which root replaces and then owns.
            for (const QString &path : QStringList{appPath} + [&] {
                     QStringList below;
                     QDirIterator it(appPath, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
                     while (it.hasNext())
                         below << it.next();
                     return below;
                 }())
                ASSERT_EQ(lchown(QFile::encodeName(path).constData(), 54321, 54321), 0);
        }
        const uid_t owner = privileged ? 0 : geteuid();
        QMUpdateInstaller inst = installer();
        QString reason;
        bool quit = false;
        ASSERT_TRUE(inst.installUpdateWithData(zip, &reason, &quit)) << reason.toStdString();
        EXPECT_EQ(inst.usedPrivileges(), privileged);
        const QString ids = QStringLiteral("%1:%2").arg(owner).arg(privileged ? 0 : getegid());
        EXPECT_EQ(modes(), (QStringList{QStringLiteral("bin 0755 ") + ids, QStringLiteral("bin/Quilmo 0755 ") + ids,
                                        QStringLiteral("bin/quilmoctl 0755 ") + ids, QStringLiteral("libexec 0755 ") + ids,
                                        QStringLiteral("libexec/quilmo 0755 ") + ids,
                                        QStringLiteral("libexec/quilmo/quilmo-disktool 0755 ") + ids,
                                        QStringLiteral("share 0755 ") + ids, QStringLiteral("share/applications 0755 ") + ids,
                                        QStringLiteral("share/applications/org.quilmo.Quilmo.desktop 0644 ") + ids,
                                        QStringLiteral("share/quilmo 0755 ") + ids,
                                        QStringLiteral("share/quilmo/images 0755 ") + ids,
                                        QStringLiteral("share/quilmo/images/icon.png 0644 ") + ids}))
            << (privileged ? "as root" : "as the user");
        EXPECT_EQ(runningVersion(), QStringLiteral("2.0"));
        QMFileRemover::removePath(appPath);
    }
}

TEST(QMUpdateInstaller, PackageOwnershipIsAskedOfDpkg)
{
    if (!QFileInfo(QStringLiteral("/usr/bin/dpkg-query")).isExecutable())
        GTEST_SKIP() << "not a dpkg system";
    // This machine's answer: dpkg owns its own query tool, and nobody a fresh file.
    QString package;
    EXPECT_TRUE(QMUpdateInstaller::isPackageManaged(QStringLiteral("/usr/bin/dpkg-query"), &package));
    EXPECT_EQ(package, QStringLiteral("dpkg"));
    QMTemporaryDir dir;
    EXPECT_FALSE(QMUpdateInstaller::isPackageManaged(dir.path()));
}

TEST(QMUpdateInstaller, SelfContainedPrefixes)
{
    QMTemporaryDir dir;
    const QString own = makeTree(dir.path(), QStringLiteral("quilmo"), QStringLiteral("1.0"), dir.path() + QStringLiteral("/m"));
    const QString shared = makeTree(dir.path(), QStringLiteral("local"), QStringLiteral("1.0"), dir.path() + QStringLiteral("/m"));
    QString why;
    EXPECT_TRUE(QMUpdateInstaller::isSelfContained(own, QStringLiteral("bin/Quilmo"), &why)) << why.toStdString();
    EXPECT_TRUE(QMUpdateInstaller::isSelfContained(own + QStringLiteral("/"), QStringLiteral("bin/Quilmo"), &why));
    EXPECT_FALSE(QMUpdateInstaller::isSelfContained(own, QStringLiteral("bin/Other"), &why));
    EXPECT_FALSE(QMUpdateInstaller::isSelfContained(shared, QStringLiteral("bin/Quilmo"), &why));
    for (const char *system : {"/usr", "/usr/local", "/", "/usr/lib/quilmo"})
        EXPECT_FALSE(QMUpdateInstaller::isSelfContained(QString::fromUtf8(system), QStringLiteral("bin/Quilmo"), &why)) << system;
}
