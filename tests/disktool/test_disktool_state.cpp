// The record of who attached which device: believed only when it is root's own file in
// root's own directory and only for what sysfs confirms; set aside otherwise. Root keeps
// the power to list and release Quilmo's devices when the record is lost. These tests
// damage the record, so they run the test-only build whose record lives in the build tree.

#include "DiskToolTestSupport.h"
#include "QMFileRemover.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>
#include <unistd.h>

using namespace DiskToolTest;

namespace {

QString stateFile()
{
    return IsolatedTool::stateDir() + QStringLiteral("/devices");
}

QStringList recordLines()
{
    QFile f(stateFile());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString recordOf(const QString &device)
{
    for (const QString &line : recordLines()) {
        if (line.section(QLatin1Char(' '), 0, 0) == device)
            return line;
    }
    return {};
}

// The same record with another owner (field 3) or another value in field `field`.
QString withField(const QString &line, int field, const QString &value)
{
    QStringList fields = line.split(QLatin1Char(' '));
    fields[field] = value;
    return fields.join(QLatin1Char(' '));
}

bool writeFile(const QString &path, const QString &content, mode_t mode, uid_t owner = 0)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.write(content.toUtf8());
    f.close();
    return chmod(path.toLocal8Bit().constData(), mode) == 0 && chown(path.toLocal8Bit().constData(), owner, owner) == 0;
}

QStringList setAside(const QString &file = QStringLiteral("devices"))
{
    return QDir(IsolatedTool::stateDir()).entryList({file + QStringLiteral(".set-aside-*")},
                                                    QDir::AllEntries | QDir::System | QDir::Hidden);
}

// Removes what a test set aside in the isolated state directory (a link is removed itself).
void removeFromStateDir(const QStringList &names)
{
    for (const QString &name : names) {
        const QString path = IsolatedTool::stateDir() + QLatin1Char('/') + name;
        if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink())
            QMFileRemover::removePath(path).ok();
        else
            QFile::remove(path);
    }
}

mode_t modeOf(const QString &path)
{
    struct stat st;
    return lstat(path.toLocal8Bit().constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The ways a record file is planted or spoiled.
enum Plant { LaxDirectory, UserOwned, ReadableByOthers, Link, Fifo, Directory, SecondName };

// Puts `forged` where the record `file` belongs, in the way `plant` says (`user` owns what
// a user would have made; `elsewhere` is a file outside the state directory).
void plantRecord(Plant plant, const QString &file, const QString &forged, const QString &elsewhere, uid_t user)
{
    ASSERT_TRUE(QFile::remove(file));
    switch (plant) {
    case LaxDirectory:
        // Made writable for a moment: anything in it may be anyone's doing.
        ASSERT_EQ(chmod(IsolatedTool::stateDir().toLocal8Bit().constData(), 0777), 0);
        ASSERT_TRUE(writeFile(file, forged, 0600));
        break;
    case UserOwned:
        ASSERT_TRUE(writeFile(file, forged, 0600, user));
        break;
    case ReadableByOthers:
        ASSERT_TRUE(writeFile(file, forged, 0644));
        break;
    case Link:
        ASSERT_TRUE(writeFile(elsewhere, forged, 0600));
        ASSERT_TRUE(QFile::link(elsewhere, file));
        break;
    case Fifo:
        ASSERT_EQ(mkfifo(file.toLocal8Bit().constData(), 0600), 0);
        break;
    case Directory:
        ASSERT_TRUE(QDir().mkdir(file));
        break;
    case SecondName:
        ASSERT_TRUE(writeFile(elsewhere, forged, 0600));
        ASSERT_EQ(link(elsewhere.toLocal8Bit().constData(), file.toLocal8Bit().constData()), 0);
        break;
    }
}

class DiskToolState : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_LOOP_DEVICES();
        ASSERT_TRUE(_dir.isValid());
        _alice = testUid(0);
        _bob = testUid(1);
        _tool = std::make_unique<IsolatedTool>();
    }
    void TearDown() override
    {
        _disks.clear();
        _tool.reset();
    }
    RamDisk &disk(uid_t owner, const QString &name)
    {
        _disks.push_back(std::make_unique<RamDisk>(65536, owner, true, name));
        return *_disks.back();
    }

    QMTemporaryDir _dir;
    uid_t _alice = 0, _bob = 0;
    std::unique_ptr<IsolatedTool> _tool;
    std::vector<std::unique_ptr<RamDisk>> _disks;
};

} // namespace

TEST_F(DiskToolState, ASoundRecordIsKeptAndExtendedReadably)
{
    RamDisk &a = disk(_alice, QStringLiteral("Alice"));
    ASSERT_TRUE(a.ok()) << a.error().toStdString();
    EXPECT_EQ(modeOf(IsolatedTool::stateDir()), 0700u);
    EXPECT_EQ(modeOf(stateFile()), 0600u);
    // node, backing, owner: what older tools read; then the backing file's inode and the
    // attachment's sequence number.
    const QStringList fields = recordOf(a.device()).split(QLatin1Char(' '));
    ASSERT_EQ(fields.size(), 5);
    EXPECT_EQ(fields[1], a.backing().section(QStringLiteral(" (deleted)"), 0, 0));
    EXPECT_EQ(fields[2], QString::number(_alice));
    struct stat st;
    ASSERT_EQ(stat(IsolatedTool::publicList().toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, 0u);

    // Listing and working change nothing of a sound record and set nothing aside.
    const QStringList before = recordLines();
    EXPECT_TRUE(infoFor(a.device(), _alice).has_value());
    EXPECT_EQ(runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Again"), a.device()}, _alice).status, 0);
    EXPECT_EQ(recordLines(), before);
    EXPECT_TRUE(setAside().isEmpty());

    // A record in the older form (written by an older tool) is still its owner's.
    const QString legacy = fields.mid(0, 3).join(QLatin1Char(' '));
    ASSERT_TRUE(writeFile(stateFile(), legacy + QLatin1Char('\n'), 0600));
    EXPECT_TRUE(infoFor(a.device(), _alice).has_value());
    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), a.device()}, _alice);
    EXPECT_EQ(detach.status, 0) << detach.err.toStdString();
    EXPECT_FALSE(a.attached());
    EXPECT_TRUE(setAside().isEmpty());
}

TEST_F(DiskToolState, APlantedRecordIsSetAsideAndGivesNoOneAnotherUsersDevice)
{
    for (const Plant plant : {LaxDirectory, UserOwned, ReadableByOthers, Link, Fifo, Directory, SecondName}) {
        SCOPED_TRACE(static_cast<int>(plant));
        RamDisk &a = disk(_alice, QStringLiteral("Alice"));
        RamDisk &b = disk(_bob, QStringLiteral("Bob"));
        ASSERT_TRUE(a.ok() && b.ok()) << a.error().toStdString() << b.error().toStdString();
        const QString label = labelOf(b.device()), uuid = uuidOf(b.device());
        ASSERT_EQ(label, QStringLiteral("Bob"));
        // Bob's record, word for word, but naming Alice as the owner.
        const QString forged = withField(recordOf(b.device()), 2, QString::number(_alice)) + QLatin1Char('\n');
        const QString elsewhere = _dir.path() + QStringLiteral("/devices-%1").arg(static_cast<int>(plant));
        plantRecord(plant, stateFile(), forged, elsewhere, _alice);
        if (HasFatalFailure())
            return;

        const Result format = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Mallory"), b.device()}, _alice);
        EXPECT_EQ(format.status, 1) << format.out.toStdString();
        EXPECT_EQ(labelOf(b.device()), label);
        EXPECT_EQ(uuidOf(b.device()), uuid);
        const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), b.device()}, _alice);
        EXPECT_EQ(detach.status, 1);
        EXPECT_TRUE(b.attached());
        EXPECT_FALSE(infoFor(b.device(), _alice).has_value());

        // Set aside (kept, for whoever looks into it), and the directory is root's alone again.
        EXPECT_EQ(setAside().size(), 1) << setAside().join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(modeOf(IsolatedTool::stateDir()), 0700u);
        if (plant == Link) {
            EXPECT_TRUE(QFileInfo(elsewhere).isFile()) << "the link's target is never touched";
        }
        removeFromStateDir(setAside());
        _disks.clear();
    }
}

TEST_F(DiskToolState, ARecordMustDescribeTheAttachedDevice)
{
    RamDisk &b = disk(_bob, QStringLiteral("Bob"));
    ASSERT_TRUE(b.ok()) << b.error().toStdString();
    const QString real = recordOf(b.device());
    const QString label = labelOf(b.device());
    // Root's own file, so believed as a file; but a record naming the device with another
    // backing inode or another attachment describes some other device.
    for (const int field : {3, 4}) {
        const QString wrong = withField(withField(real, 2, QString::number(_alice)), field,
                                        QString::number(real.section(QLatin1Char(' '), field, field).toULongLong() + 1));
        ASSERT_TRUE(writeFile(stateFile(), wrong + QLatin1Char('\n'), 0600));
        const Result format = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Mallory"), b.device()}, _alice);
        EXPECT_TRUE(format.isRefusal()) << field << ": " << format.err.toStdString();
        EXPECT_FALSE(infoFor(b.device(), _alice).has_value()) << field;
        EXPECT_TRUE(setAside().isEmpty()) << "a sound file is not set aside";
    }
    EXPECT_EQ(labelOf(b.device()), label);
}

TEST_F(DiskToolState, RootListsAndReleasesQuilmosDevicesWithoutARecord)
{
    RamDisk &a = disk(_alice, QStringLiteral("Alice"));
    ASSERT_TRUE(a.ok()) << a.error().toStdString();
    const QString target = _dir.path() + QStringLiteral("/volume");
    ASSERT_TRUE(QDir().mkdir(target));
    ASSERT_EQ(chown(target.toLocal8Bit().constData(), _alice, _alice), 0);
    MountGuard guard(target);
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(a.device(), target), _alice).status, 0);

    // Lost (removed), or damaged beyond reading: the same for everyone.
    for (const bool removed : {false, true}) {
        if (removed)
            ASSERT_TRUE(QFile::remove(stateFile()));
        else
            ASSERT_TRUE(writeFile(stateFile(), QStringLiteral("\x01garbage\n/dev/loop\n"), 0600));
        EXPECT_FALSE(infoFor(a.device(), _alice).has_value());
        const auto listed = infoFor(a.device());
        ASSERT_TRUE(listed.has_value()) << "root lists every device that looks like Quilmo's";
        EXPECT_TRUE(listed->unrecorded);
        EXPECT_EQ(listed->mountPoint, target);
        EXPECT_TRUE(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), target}, _alice).isRefusal());
        // Releasing is all that root may do with a device that has no record.
        EXPECT_TRUE(runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("X"), a.device()}).isRefusal());
    }
    const Result umount = runTool(QStringLiteral("umount"), {QStringLiteral("-f"), target});
    EXPECT_EQ(umount.status, 0) << umount.err.toStdString();
    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), a.device()});
    EXPECT_EQ(detach.status, 0) << detach.err.toStdString();
    EXPECT_FALSE(a.attached());
}

TEST(DiskToolInfo, ListsWhatTheRecordSaysNotWhatANameSuggests)
{
    QM_REQUIRE_LOOP_DEVICES();
    if (!QFileInfo(QStringLiteral("/usr/bin/setpriv")).isExecutable())
        GTEST_SKIP() << "needs setpriv";
    const uid_t alice = testUid(0);
    RamDisk own(2048, alice, false);
    ASSERT_TRUE(own.ok()) << own.error().toStdString();
    // A memory file named like one of Alice's, attached by someone else (here root).
    const QString forgedPath = QStringLiteral("/dev/shm/quilmo-ram-%1-forged%2").arg(alice).arg(getpid());
    QFile forged(forgedPath);
    ASSERT_TRUE(forged.open(QIODevice::WriteOnly));
    ASSERT_TRUE(forged.resize(1 << 20));
    forged.close();
    struct Remove {
        QString path;
        ~Remove() { QFile::remove(path); }
    } remove{forgedPath};
    ForeignLoop loop(forgedPath);
    ASSERT_FALSE(loop.device().isEmpty());

    EXPECT_TRUE(infoFor(own.device(), alice).has_value());
    EXPECT_FALSE(infoFor(loop.device(), alice).has_value());
    const auto asRoot = infoFor(loop.device());
    ASSERT_TRUE(asRoot.has_value());
    EXPECT_TRUE(asRoot->unrecorded);
    EXPECT_FALSE(infoFor(own.device())->unrecorded);

    // Alice herself, without root, reads the public copy of the record: the same answer.
    const Result plain = runAsUser(alice, QMTest::libexecDir() + QStringLiteral("/hdiutil"),
                                   {QStringLiteral("info"), QStringLiteral("-plist")});
    EXPECT_EQ(plain.status, 0) << plain.err.toStdString();
    EXPECT_TRUE(plain.out.contains(own.device() + QLatin1Char('<'))) << plain.out.toStdString();
    EXPECT_FALSE(plain.out.contains(loop.device() + QLatin1Char('<'))) << plain.out.toStdString();
}

TEST_F(DiskToolState, RunningOutOfDescriptorsNeitherSetsAsideNorDropsARecord)
{
    if (!QFileInfo(QStringLiteral("/usr/bin/prlimit")).isExecutable())
        GTEST_SKIP() << "needs prlimit";
    RamDisk &a = disk(_alice, QStringLiteral("Alice"));
    ASSERT_TRUE(a.ok()) << a.error().toStdString();
    const QString record = recordOf(a.device());
    ASSERT_FALSE(record.isEmpty());
    const QString hdiutil = QStringLiteral(QUILMO_DISKTOOL_ISOLATED_DIR "/hdiutil");
    // Every limit at which some step of attaching or detaching runs out of descriptors.
    for (int limit = 3; limit <= 12; ++limit) {
        for (const QStringList &args : {attachArgs(2048),
                                        QStringList{QStringLiteral("detach"), QStringLiteral("/dev/loop999999")}}) {
            const Result r = runToolBehind(QStringLiteral("exec /usr/bin/prlimit --nofile=%1 \"$0\" \"$@\"").arg(limit),
                                           hdiutil, args, _bob);
            const QString device = deviceFromAttachOutput(r.out);
            if (!device.isEmpty())
                releaseDevice(device, identityOf(device));
            EXPECT_TRUE(setAside().isEmpty()) << limit << " " << args.first().toStdString() << ": " << r.err.toStdString();
            EXPECT_EQ(recordOf(a.device()), record) << limit << " " << args.first().toStdString();
        }
    }
    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), a.device()}, _alice);
    EXPECT_EQ(detach.status, 0) << detach.err.toStdString();
}

// ---- Memory instances' records ------------------------------------------------------------

namespace {

QString instanceFile()
{
    return IsolatedTool::stateDir() + QStringLiteral("/instances");
}

QString instanceRecordOf(const QString &device)
{
    QFile f(instanceFile());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    for (const QString &line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.section(QLatin1Char(' '), 0, 0) == device)
            return line;
    }
    return {};
}

class DiskToolInstanceState : public DiskToolState {
protected:
    void SetUp() override
    {
        DiskToolState::SetUp();
        if (IsSkipped())
            return;
        _tool.reset(); // before the next one takes its place
        _tool = std::make_unique<IsolatedTool>(Realisation::Memory);
    }
};

} // namespace

TEST_F(DiskToolInstanceState, ASoundRecordNamesTheInstanceAndLeavesTheLoopRecordToLoopDevices)
{
    RamDisk &a = disk(_alice, QStringLiteral("Alice's disk"));
    ASSERT_TRUE(a.ok()) << a.error().toStdString();
    ASSERT_TRUE(a.device().startsWith(QStringLiteral("quilmo-ram")));
    EXPECT_EQ(modeOf(instanceFile()), 0600u);
    EXPECT_EQ(modeOf(IsolatedTool::stateDir() + QStringLiteral("/ram")), 0700u);
    EXPECT_EQ(modeOf(IsolatedTool::publicInstanceList()), 0644u);
    // name, owner, sectors, device number, mount id, mount namespace, flags, volume name.
    const QString record = instanceRecordOf(a.device());
    const QStringList fields = record.split(QLatin1Char(' '));
    ASSERT_GE(fields.size(), 8) << record.toStdString();
    EXPECT_EQ(fields[1], QString::number(_alice));
    EXPECT_EQ(fields[2], QStringLiteral("65536"));
    EXPECT_EQ(QStringLiteral("tmpfs ") + fields[3], a.backing());
    EXPECT_EQ(record.section(QLatin1Char(' '), 7), QStringLiteral("Alice's disk"));
    // Everyone reads the public copy: the volume's name is left out of it.
    QFile publicCopy(IsolatedTool::publicInstanceList());
    ASSERT_TRUE(publicCopy.open(QIODevice::ReadOnly));
    const QByteArray copied = publicCopy.readAll();
    EXPECT_TRUE(copied.contains(a.device().toUtf8()));
    EXPECT_FALSE(copied.contains("Alice")) << copied.constData();
    // An older tool reads "devices" alone and drops what it cannot confirm there: no
    // instance is ever written into it.
    QFile devices(stateFile());
    EXPECT_TRUE(!devices.open(QIODevice::ReadOnly) || !devices.readAll().contains("quilmo-ram"));
    // Listing and working change nothing of a sound record.
    EXPECT_TRUE(infoFor(a.device(), _alice).has_value());
    EXPECT_EQ(instanceRecordOf(a.device()), record);
    EXPECT_TRUE(setAside().isEmpty());
}

TEST_F(DiskToolInstanceState, APlantedRecordIsSetAsideAndGivesNoOneAnotherUsersInstance)
{
    for (const Plant plant : {LaxDirectory, UserOwned, ReadableByOthers, Link, Fifo, Directory, SecondName}) {
        SCOPED_TRACE(static_cast<int>(plant));
        RamDisk &b = disk(_bob, QStringLiteral("Bob"));
        ASSERT_TRUE(b.ok()) << b.error().toStdString();
        const QString made = uuidOf(b.device());
        // Bob's record, word for word, but naming Alice as the owner.
        const QString forged = withField(instanceRecordOf(b.device()), 1, QString::number(_alice)) + QLatin1Char('\n');
        const QString elsewhere = _dir.path() + QStringLiteral("/instances-%1").arg(static_cast<int>(plant));
        plantRecord(plant, instanceFile(), forged, elsewhere, _alice);
        if (HasFatalFailure())
            return;
        EXPECT_EQ(runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Mallory"), b.device()}, _alice).status, 1);
        EXPECT_EQ(runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), b.device()}, _alice).status, 1);
        EXPECT_EQ(uuidOf(b.device()), made);
        EXPECT_FALSE(infoFor(b.device(), _alice).has_value());
        EXPECT_EQ(setAside(QStringLiteral("instances")).size(), 1);
        EXPECT_EQ(modeOf(IsolatedTool::stateDir()), 0700u);
        // The loop devices' record is set aside with it when the directory was lax.
        removeFromStateDir(setAside(QStringLiteral("instances")) + setAside());
        _disks.clear();
    }
}

TEST_F(DiskToolInstanceState, ARecordMustDescribeTheInstanceInThisNamespace)
{
    RamDisk &b = disk(_bob, QStringLiteral("Bob"));
    ASSERT_TRUE(b.ok()) << b.error().toStdString();
    const QString real = instanceRecordOf(b.device());
    const QString made = uuidOf(b.device());
    // Another device number, another mount id, or another mount namespace: some other
    // instance (or one this tool cannot see), never Bob's to Alice.
    const QStringList fields = real.split(QLatin1Char(' '));
    const QString otherDevice = fields[3].section(QLatin1Char(':'), 0, 0) + QLatin1Char(':')
        + QString::number(fields[3].section(QLatin1Char(':'), 1).toUInt() + 1000);
    for (const auto &[field, value] : {std::pair{3, otherDevice}, std::pair{4, QString::number(fields[4].toInt() + 1)},
                                       std::pair{5, QString::number(fields[5].toULongLong() + 1)}}) {
        const QString wrong = withField(withField(real, 1, QString::number(_alice)), field, value);
        ASSERT_TRUE(writeFile(instanceFile(), wrong + QLatin1Char('\n'), 0600));
        const Result format = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Mallory"), b.device()}, _alice);
        EXPECT_TRUE(format.isRefusal()) << field << ": " << format.err.toStdString();
        EXPECT_FALSE(infoFor(b.device(), _alice).has_value()) << field;
        EXPECT_TRUE(setAside(QStringLiteral("instances")).isEmpty()) << "a sound file is not set aside";
    }
    EXPECT_EQ(uuidOf(b.device()), made);
    // The record of another namespace stays when the file is written again; one of this
    // namespace whose instance is gone does not.
    const QString foreignNamespace = withField(real, 5, QString::number(fields[5].toULongLong() + 1));
    const QString gone = withField(withField(real, 0, QStringLiteral("quilmo-ram999998")), 4, QStringLiteral("1"));
    ASSERT_TRUE(writeFile(instanceFile(), real + QLatin1Char('\n') + foreignNamespace.section(' ', 0, 0) + QStringLiteral("7 ")
                                              + foreignNamespace.section(' ', 1) + QLatin1Char('\n') + gone + QLatin1Char('\n'),
                          0600));
    RamDisk &another = disk(_bob, QStringLiteral("Another"));
    ASSERT_TRUE(another.ok()) << another.error().toStdString();
    EXPECT_FALSE(instanceRecordOf(b.device() + QLatin1Char('7')).isEmpty());
    EXPECT_TRUE(instanceRecordOf(QStringLiteral("quilmo-ram999998")).isEmpty());
    EXPECT_NE(another.device(), b.device() + QLatin1Char('7')) << "a name another namespace holds is taken";
}

TEST_F(DiskToolInstanceState, RootListsAndReleasesInstancesWithoutARecord)
{
    RamDisk &a = disk(_alice, QStringLiteral("Alice"));
    ASSERT_TRUE(a.ok()) << a.error().toStdString();
    const QString target = _dir.path() + QStringLiteral("/volume");
    ASSERT_TRUE(QDir().mkdir(target));
    ASSERT_EQ(chown(target.toLocal8Bit().constData(), _alice, _alice), 0);
    MountGuard guard(target);
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(a.device(), target), _alice).status, 0);
    ASSERT_TRUE(QFile::remove(instanceFile()));
    EXPECT_FALSE(infoFor(a.device(), _alice).has_value());
    const auto listed = infoFor(a.device());
    ASSERT_TRUE(listed.has_value()) << "root lists every instance in the place";
    EXPECT_TRUE(listed->unrecorded);
    EXPECT_EQ(listed->mountPoint, target);
    EXPECT_EQ(listed->imagePath, QStringLiteral("ram://65536"));
    EXPECT_TRUE(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), target}, _alice).isRefusal());
    EXPECT_TRUE(runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("X"), a.device()}).isRefusal());
    EXPECT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), target}).status, 0);
    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), a.device()});
    EXPECT_EQ(detach.status, 0) << detach.err.toStdString();
    EXPECT_FALSE(a.attached());
}
