#include "QMDeviceInfo.h"
#include "QMMacInfo.h"
#include "QMTestSupport.h"
#include "QM_OSAppearance.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <unistd.h>

TEST(QMMacInfo, UptimeTextsAtTheirBoundaries)
{
    EXPECT_EQ(QMMacInfo::systemUptimeText(59), QStringLiteral("59, 59 sec(s)"));
    EXPECT_EQ(QMMacInfo::systemUptimeText(119.6), QStringLiteral("119, 120 sec(s)"));
    EXPECT_EQ(QMMacInfo::systemUptimeText(120), QStringLiteral("120, 2.00 minutes"));
    EXPECT_EQ(QMMacInfo::systemUptimeText(3600), QStringLiteral("3600, 60.00 minutes"));
    EXPECT_EQ(QMMacInfo::systemUptimeText(3601), QStringLiteral("3601, 1.00 hour"));
    EXPECT_EQ(QMMacInfo::systemUptimeText(7199), QStringLiteral("7199, 2.00 hour"));
    EXPECT_EQ(QMMacInfo::systemUptimeText(7200), QStringLiteral("7200, 2.00 hours"));
    EXPECT_EQ(QMMacInfo::systemUptimeText(172800), QStringLiteral("172800, 48.00 hours"));
    EXPECT_EQ(QMMacInfo::systemUptimeText(172801), QStringLiteral("172801, 2.00 days"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+, [\\d.]+ (sec\\(s\\)|minutes|hours?|days)$"))
                    .match(QMMacInfo::systemUptime())
                    .hasMatch());
}

TEST(QMMacInfo, MemoryFromMeminfo)
{
    const QByteArray meminfo = "MemTotal:       16000000 kB\n"
                               "MemFree:         1000 kB\n"
                               "Active:          2000 kB\n"
                               "Inactive:        3000 kB\n"
                               "Inactive(file):  2500 kB\n"
                               "Unevictable:       10 kB\n"
                               "SUnreclaim:        20 kB\n"
                               "KernelStack:       30 kB\n"
                               "PageTables:        40 kB\n"
                               "HugePages_Total:    0\n";
    QMMemoryStatistics s;
    ASSERT_TRUE(QMMacInfo::memoryStatisticsFromMeminfo(meminfo, &s));
    EXPECT_EQ(s.free, 1000u * 1024);
    EXPECT_EQ(s.active, 2000u * 1024);
    EXPECT_EQ(s.inactive, 3000u * 1024);
    EXPECT_EQ(s.wired, 100u * 1024);
    EXPECT_EQ(s.purgeable, 2500u * 1024);
    EXPECT_EQ(s.compressed, 0u);
    EXPECT_FALSE(QMMacInfo::memoryStatisticsFromMeminfo("garbage\n", &s));
    EXPECT_EQ(s.free, 0u);

    // The machine's own figures add up.
    ASSERT_TRUE(QMMacInfo::getMemoryStatistics(&s));
    EXPECT_GT(s.free, 0u);
    EXPECT_GT(s.active + s.inactive, 0u);
    EXPECT_LE(s.free + s.active + s.inactive + s.wired, QMMacInfo::physicalMemory());
    EXPECT_LE(s.purgeable, s.inactive);
}

TEST(QMMacInfo, PhysicalMemoryAndItsTestSeam)
{
    const quint64 real = QMMacInfo::physicalMemory();
    EXPECT_EQ(real, static_cast<quint64>(sysconf(_SC_PHYS_PAGES)) * static_cast<quint64>(sysconf(_SC_PAGESIZE)));
    QMMacInfo::setPhysicalMemoryForTesting(quint64(4) << 30);
    EXPECT_EQ(QMMacInfo::physicalMemory(), quint64(4) << 30);
    QMMacInfo::setPhysicalMemoryForTesting(0);
    EXPECT_EQ(QMMacInfo::physicalMemory(), real);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+\\.\\d\\d Ghz \\(\\d+\\)$")).match(QMMacInfo::processorInfo()).hasMatch());
}

TEST(QMDeviceInfo, LinuxIsACurrentSystem)
{
    EXPECT_TRUE(QMDeviceInfo::productSystemVersion().isNull());
    EXPECT_TRUE(QMDeviceInfo::isMavericksOrBetter());
    EXPECT_TRUE(QMDeviceInfo::isHighSierraOrBetter());
    // Without a GUI there is no palette: not dark, and the cache answers the same.
    EXPECT_FALSE(QM_OSAppearance::isDarkMode());
    EXPECT_FALSE(QM_OSAppearance::isDarkModeCached());
    EXPECT_FALSE(QM_OSAppearance::isGraphiteTheme());
    EXPECT_FALSE(QM_OSAppearance::hasReduceTransparency());
}
