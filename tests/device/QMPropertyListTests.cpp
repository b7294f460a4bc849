// Property lists as the tools and the simulator write them, and input the reader refuses.
#include "QMPropertyList.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>

namespace {
QByteArray seed(const char *name)
{
    QFile f(QStringLiteral(QUILMO_TEST_DATA_DIR "/fuzz/tool-plist/") + QLatin1String(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

TEST(QMPropertyList, XmlAndBinaryFormsReadAlike)
{
    const auto xml = QMPropertyList::fromData(seed("info.plist"));
    const auto binary = QMPropertyList::fromData(seed("info.bplist"));
    ASSERT_TRUE(xml.has_value());
    ASSERT_TRUE(binary.has_value());
    EXPECT_EQ(*xml, *binary);
    const QVariantMap map = xml->toMap();
    EXPECT_EQ(map.value(QStringLiteral("size")).toULongLong(), 18446744073709551615ULL);
    EXPECT_EQ(map.value(QStringLiteral("ratio")).toDouble(), 1.5);
    EXPECT_EQ(map.value(QStringLiteral("ok")).toBool(), true);
    EXPECT_EQ(map.value(QStringLiteral("blob")).toByteArray(), QByteArray("\x00\x01\x02", 3));
    EXPECT_EQ(map.value(QStringLiteral("when")).toDateTime(), QDateTime::fromString(QStringLiteral("2026-12-08T04:00:00Z"), Qt::ISODate));
    EXPECT_EQ(map.value(QStringLiteral("images")).toList().size(), 2);
}

TEST(QMPropertyList, RefusesWhatWouldAbortTheReader)
{
    // A zero byte inside a key or string makes libplist assert; such lists are refused.
    EXPECT_FALSE(QMPropertyList::fromData(seed("key-with-zero-byte.bplist")).has_value());
    EXPECT_FALSE(QMPropertyList::fromData("<plist><dict><key>a&#0;b</key><string>x</string></dict></plist>").has_value());
    EXPECT_FALSE(QMPropertyList::fromData("<plist><string>a&#x00;</string></plist>").has_value());
    EXPECT_FALSE(QMPropertyList::fromData(QByteArray("<plist><string>a\0b</string></plist>", 35)).has_value());
    ASSERT_TRUE(QMPropertyList::fromData("<plist><string>&#65;&#x42;</string></plist>").has_value());
    EXPECT_EQ(QMPropertyList::fromData("<plist><string>&#65;&#x42;</string></plist>")->toString(), QStringLiteral("AB"));

    // Deep nesting is refused before the recursive reader sees it.
    QByteArray deep;
    for (int i = 0; i < 5000; ++i)
        deep += "<array>";
    EXPECT_FALSE(QMPropertyList::fromData("<plist>" + deep + "</plist>").has_value());
    EXPECT_FALSE(QMPropertyList::fromData("").has_value());
    EXPECT_FALSE(QMPropertyList::fromData("plain text").has_value());
}
