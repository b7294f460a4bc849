// One user's RAM disks together may hold at most their share (half of the machine's memory
// less its reserve), and one user may have at most 16 devices; root has neither limit. Memory instances and loop
// devices count alike, together. Both take memory only as they are written, so attaching
// large devices here costs nothing.

#include "DiskToolTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>


#include <algorithm>

#include <unistd.h>

using namespace DiskToolTest;

namespace {

quint64 physicalMemory()
{
    return quint64(sysconf(_SC_PHYS_PAGES)) * quint64(sysconf(_SC_PAGESIZE));
}

// Half of what the manager's reserve rule leaves.
quint64 allowedPerUser()
{
    const quint64 memory = physicalMemory();
    return (memory - (memory <= 4294967296ULL ? 256000000ULL : 1024000000ULL)) / 2;
}

Result attach(quint64 sectors, std::optional<uid_t> as)
{
    return runTool(QStringLiteral("hdiutil"),
                   attachArgs(sectors),
                   as);
}

} // namespace

TEST(DiskToolLimits, AUsersDevicesTogetherStayWithinTheirShare)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir dir;
    const uid_t user = testUid(2);
    const quint64 allowedSectors = allowedPerUser() / 512;
    AttachedDevices attached;
    {
        // Most of it as a loop device, as an older kernel made it.
        LoopTool loop;
        ASSERT_TRUE(attached.add(attach(allowedSectors - 8, user)));
    }

    // Up to the byte the limit allows, and not one sector more.
    const QString before = snapshot(user, dir.path());
    const Result over = attach(9, user);
    EXPECT_TRUE(over.isRefusal()) << over.status << " " << over.err.toStdString();
    EXPECT_TRUE(over.err.contains(QStringLiteral("one user may have"))) << over.err.toStdString();
    EXPECT_EQ(snapshot(user, dir.path()), before);
    EXPECT_TRUE(attached.add(attach(8, user)));
    EXPECT_TRUE(attach(1, user).isRefusal());

    // Another user has a share of their own.
    EXPECT_TRUE(attached.add(attach(8, testUid(3))));
}

TEST(DiskToolLimits, AUserHasAtMostSixteenDevices)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir dir;
    const uid_t user = testUid(2);
    AttachedDevices attached;
    for (int i = 0; i < 16; ++i) {
        std::unique_ptr<LoopTool> loop(i % 2 ? new LoopTool : nullptr);
        ASSERT_TRUE(attached.add(attach(8, user))) << i;
    }
    EXPECT_EQ(std::count_if(attached.devices.begin(), attached.devices.end(),
                            [](const auto &d) { return realisationOf(d.first) == Realisation::Memory; }),
              8);
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
