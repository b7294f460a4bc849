// The memory figures the presets and the memory lines rely on.
#include "QMMacInfo.h"

#include <gtest/gtest.h>

#include <unistd.h>

TEST(QMMacInfoMemory, RealFiguresAddUp)
{
    QMMacInfo::setPhysicalMemoryForTesting(0);
    const quint64 physical = QMMacInfo::physicalMemory();
    EXPECT_EQ(physical, static_cast<quint64>(sysconf(_SC_PHYS_PAGES)) * static_cast<quint64>(sysconf(_SC_PAGESIZE)));

    QMMemoryStatistics s;
    ASSERT_TRUE(QMMacInfo::getMemoryStatistics(&s));
    EXPECT_GT(s.free, 0u);
    EXPECT_GT(s.active + s.inactive, 0u);
    EXPECT_LE(s.free + s.active + s.inactive + s.wired, physical);
    EXPECT_LE(s.purgeable, s.inactive);
}

TEST(QMMacInfoMemory, MeminfoFieldsMapToTheRecord)
{
    const QByteArray meminfo = "MemTotal:       16000000 kB\n"
                               "MemFree:         1000 kB\n"
                               "Active:          2000 kB\n"
                               "Inactive:        3000 kB\n"
                               "Inactive(file):  2500 kB\n"
                               "Unevictable:       10 kB\n"
                               "SUnreclaim:        20 kB\n"
                               "KernelStack:       30 kB\n"
                               "PageTables:        40 kB\n";
    QMMemoryStatistics s;
    ASSERT_TRUE(QMMacInfo::memoryStatisticsFromMeminfo(meminfo, &s));
    EXPECT_EQ(s.free, 1000u * 1024);
    EXPECT_EQ(s.active, 2000u * 1024);
    EXPECT_EQ(s.inactive, 3000u * 1024);
    EXPECT_EQ(s.wired, 100u * 1024);
    EXPECT_EQ(s.purgeable, 2500u * 1024);
    EXPECT_EQ(s.compressed, 0u);

    s.free = 7;
    EXPECT_FALSE(QMMacInfo::memoryStatisticsFromMeminfo("Active: 1 kB\nInactive: 1 kB\n", &s));
    EXPECT_EQ(s.free, 0u);
}

TEST(QMMacInfoMemory, PhysicalMemorySeam)
{
    QMMacInfo::setPhysicalMemoryForTesting(4294967296ULL);
    EXPECT_EQ(QMMacInfo::physicalMemory(), 4294967296ULL);
    QMMacInfo::setPhysicalMemoryForTesting(0);
    EXPECT_NE(QMMacInfo::physicalMemory(), 4294967296ULL);
}
