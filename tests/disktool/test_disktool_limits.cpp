// One user's RAM disks together may hold at most the machine's memory less its reserve,
// and one user may have at most 16 devices; root is not limited. Memory files are sparse,
// so attaching large devices here costs nothing.

#include "DiskToolTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>


#include <unistd.h>

using namespace DiskToolTest;

namespace {

quint64 physicalMemory()
{
    return quint64(sysconf(_SC_PHYS_PAGES)) * quint64(sysconf(_SC_PAGESIZE));
}

// The manager's reserve rule.
quint64 allowedPerUser()
{
    const quint64 memory = physicalMemory();
    return memory - (memory <= 4294967296ULL ? 256000000ULL : 1024000000ULL);
}

Result attach(quint64 sectors, std::optional<uid_t> as)
{
    return runTool(QStringLiteral("hdiutil"),
                   {QStringLiteral("attach"), QStringLiteral("-nomount"), QStringLiteral("-plist"),
                    QStringLiteral("ram://%1").arg(sectors)},
                   as);
}

// Devices attached through the tool, released at the end.
struct Attached {
    std::vector<std::pair<QString, QString>> devices; // node, backing
    bool add(const Result &r)
    {
        const QString device = deviceFromAttachOutput(r.out);
        if (r.status != 0 || device.isEmpty())
            return false;
        devices.emplace_back(device, backingOf(device));
        return true;
    }
    ~Attached()
    {
        for (const auto &[device, backing] : devices)
            releaseDevice(device, backing);
    }
};

} // namespace

TEST(DiskToolLimits, AUsersDevicesTogetherStayWithinTheMemoryLessTheReserve)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir dir;
    const uid_t user = testUid(2);
    const quint64 allowedSectors = allowedPerUser() / 512;
    Attached attached;
    ASSERT_TRUE(attached.add(attach(allowedSectors - 8, user)));

    // Up to the byte the limit allows, and not one sector more.
    const QString before = snapshot(user, dir.path());
    const Result over = attach(9, user);
    EXPECT_TRUE(over.isRefusal()) << over.status << " " << over.err.toStdString();
    EXPECT_TRUE(over.err.contains(QStringLiteral("memory"))) << over.err.toStdString();
    EXPECT_EQ(snapshot(user, dir.path()), before);
    EXPECT_TRUE(attached.add(attach(8, user)));
    EXPECT_TRUE(attach(1, user).isRefusal());

    // Another user has a limit of their own, and root has none.
    EXPECT_TRUE(attached.add(attach(allowedSectors, testUid(3))));
    EXPECT_TRUE(attached.add(attach(allowedSectors, std::nullopt)));
}

TEST(DiskToolLimits, AUserHasAtMostSixteenDevices)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir dir;
    const uid_t user = testUid(2);
    Attached attached;
    for (int i = 0; i < 16; ++i)
        ASSERT_TRUE(attached.add(attach(8, user))) << i;
    const QString before = snapshot(user, dir.path());
    const Result seventeenth = attach(8, user);
    EXPECT_TRUE(seventeenth.isRefusal()) << seventeenth.status << " " << seventeenth.err.toStdString();
    EXPECT_TRUE(seventeenth.err.contains(QStringLiteral("16 RAM disks"))) << seventeenth.err.toStdString();
    EXPECT_EQ(snapshot(user, dir.path()), before);
    EXPECT_TRUE(attached.add(attach(8, std::nullopt))) << "root is not limited";

    // A device given back makes room again.
    const auto [device, backing] = attached.devices.front();
    ASSERT_EQ(runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device}, user).status, 0);
    attached.devices.erase(attached.devices.begin());
    EXPECT_TRUE(attached.add(attach(8, user)));
}
