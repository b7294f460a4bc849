#include "QMRamDiskFunctions.h"

#include <gtest/gtest.h>

TEST(QMRamDiskFunctions, DecimalByteTexts)
{
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1000Style(4000000000LL), QStringLiteral("4 GB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1000Style(4500000000LL), QStringLiteral("4.50 GB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1000Style(1500000LL), QStringLiteral("2 MB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1000Style(999999LL), QStringLiteral("1000 KB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1000Style(1000LL), QStringLiteral("1 KB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1000Style(999LL), QStringLiteral("One Byte"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1000Style(1LL), QStringLiteral("One Byte"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1000Style(0LL), QStringLiteral("Zero Byte"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1000Style(1000000000000LL), QStringLiteral("1 TB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1000Style(2500000000000LL), QStringLiteral("2.50 TB"));
    EXPECT_TRUE(QMRamDiskFunctions::stringFromBytesWithBin1000Style(-1).isNull());
}

TEST(QMRamDiskFunctions, BinaryByteTexts)
{
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1024Style(4294967296LL), QStringLiteral("4 GB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1024Style(4000000000LL), QStringLiteral("3.73 GB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1024Style(1024LL * 1024 * 3 / 2), QStringLiteral("2 MB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1024Style(1024LL), QStringLiteral("1 KB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1024Style(1023LL), QStringLiteral("One Byte"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1024Style(1LL << 40), QStringLiteral("1 TB"));
    EXPECT_EQ(QMRamDiskFunctions::stringFromBytesWithBin1024Style(0LL), QStringLiteral("Zero Byte"));
    EXPECT_TRUE(QMRamDiskFunctions::stringFromBytesWithBin1024Style(-5).isNull());
}

TEST(QMRamDiskFunctions, NamedMenuIcons)
{
    const QImage sync = QMRamDiskFunctions::icon16Named(QStringLiteral("syncIcon"));
    ASSERT_FALSE(sync.isNull());
    EXPECT_EQ(sync.size(), QSize(16, 16));
    EXPECT_TRUE(QMRamDiskFunctions::icon16Named(QStringLiteral("somethingElse")).isNull());
    EXPECT_TRUE(QMRamDiskFunctions::icon16Named(QString()).isNull());
}
