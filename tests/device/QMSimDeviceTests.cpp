// The simulator device catalogue over a made-up devices directory.
#include "QMDeviceTestSupport.h"
#include "QMSimDevice.h"
#include "QMSimDeviceList.h"
#include "QMTemporaryDir.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <plist/plist.h>

#include <cstdlib>

using namespace QMDeviceTest;

namespace {

const char *kRuntime = "com.apple.CoreSimulator.SimRuntime.";
const char *kDeviceType = "com.apple.CoreSimulator.SimDeviceType.";

class SimDevices : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(_home.isValid());
        _devices = _home.filePath(QStringLiteral("Library/Developer/CoreSimulator/Devices"));
        ASSERT_TRUE(QDir().mkpath(_devices));
        QMSimDevice::setDevicesDirPathForTesting(_devices);
    }
    void TearDown() override { QMSimDevice::setDevicesDirPathForTesting(QString()); }

    // A device directory with its description (binary or XML) and, when `used`, a file in
    // its data library.
    void addDevice(const QString &dirId, const QString &runtime, const QString &type, const QString &name, bool used,
                   bool binary = false)
    {
        const QString dir = _devices + QLatin1Char('/') + dirId;
        ASSERT_TRUE(QDir().mkpath(dir + QStringLiteral("/data/Library/Caches")));
        plist_t dict = plist_new_dict();
        if (!runtime.isNull())
            plist_dict_set_item(dict, "runtime", plist_new_string(runtime.toUtf8().constData()));
        if (!type.isNull())
            plist_dict_set_item(dict, "deviceType", plist_new_string(type.toUtf8().constData()));
        if (!name.isNull())
            plist_dict_set_item(dict, "name", plist_new_string(name.toUtf8().constData()));
        plist_dict_set_item(dict, "state", plist_new_uint(1));
        char *bytes = nullptr;
        uint32_t length = 0;
        if (binary)
            plist_to_bin(dict, &bytes, &length);
        else
            plist_to_xml(dict, &bytes, &length);
        plist_free(dict);
        QFile f(dir + QStringLiteral("/device.plist"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes, length);
        std::free(bytes);
        if (used) {
            QFile data(dir + QStringLiteral("/data/Library/Caches/cache.db"));
            ASSERT_TRUE(data.open(QIODevice::WriteOnly));
        }
    }

    static QString ios(const char *version) { return QLatin1String(kRuntime) + QStringLiteral("iOS-") + QLatin1String(version); }
    static QString type(const char *t) { return QLatin1String(kDeviceType) + QLatin1String(t); }

    QMTemporaryDir _home;
    QString _devices;
};

} // namespace

TEST_F(SimDevices, ReadsOneDeviceAloneEvenWhenNeverBooted)
{
    addDevice(QStringLiteral("AAAA-1"), ios("11-2"), type("iPhone-8"), QStringLiteral("iPhone 8"), false, true);
    const auto device = QMSimDevice::simDeviceWithDirId(QStringLiteral("AAAA-1"));
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(device->type(), QStringLiteral("iPhone-8"));
    EXPECT_EQ(device->version(), QStringLiteral("11-2"));
    EXPECT_EQ(device->name(), QStringLiteral("iPhone 8"));
    EXPECT_EQ(device->dirId(), QStringLiteral("AAAA-1"));
    EXPECT_EQ(device->state() & QMSimDevice::StateHasData, 0);
    EXPECT_GT(device->plistModDate(), 1.5e9);
    EXPECT_EQ(device->displayName(), QStringLiteral("iPhone 8 (11-2)"));
    EXPECT_TRUE(device->description().startsWith(QStringLiteral("<QMSimDevice 0x")));
    EXPECT_TRUE(device->description().endsWith(QStringLiteral(" type:iPhone-8 dirId:AAAA-1 name:iPhone 8>")));

    QMSimDeviceList::sharedInstance()->update();
    EXPECT_TRUE(QMSimDeviceList::sharedInstance()->devices().isEmpty()) << "never booted: not listed";
}

TEST_F(SimDevices, ListsUsedIOSDevicesSortedAsText)
{
    addDevice(QStringLiteral("B-112"), ios("11-2"), type("iPhone-X"), QStringLiteral("iPhone X"), true);
    addDevice(QStringLiteral("A-103"), ios("10-3"), type("iPhone-X"), QStringLiteral("iPhone X"), true, true);
    addDevice(QStringLiteral("C-93"), ios("9-3"), type("iPhone-X"), QStringLiteral("iPhone X"), true);
    addDevice(QStringLiteral("D-ipad"), ios("11-2"), type("iPad-Air"), QStringLiteral("iPad Air"), true);
    addDevice(QStringLiteral("E-watch"), QLatin1String(kRuntime) + QStringLiteral("watchOS-4-2"),
              type("Apple-Watch-38mm"), QStringLiteral("Watch"), true);
    addDevice(QStringLiteral("F-tv"), QLatin1String(kRuntime) + QStringLiteral("tvOS-11-2"), type("Apple-TV-1080p"),
              QStringLiteral("TV"), true);
    addDevice(QStringLiteral("G-noname"), ios("11-2"), type("iPhone-8"), QString(), true);
    addDevice(QStringLiteral("H-badtype"), ios("11-2"), QStringLiteral("iPhone-8"), QStringLiteral("x"), true);
    ASSERT_TRUE(QDir(_devices).mkdir(QStringLiteral("I-noplist")));
    QFile ds(_devices + QStringLiteral("/.DS_Store"));
    ASSERT_TRUE(ds.open(QIODevice::WriteOnly));
    ds.close();
    QFile plainFile(_devices + QStringLiteral("/device_set.plist"));
    ASSERT_TRUE(plainFile.open(QIODevice::WriteOnly));
    plainFile.close();

    LogCapture log;
    QMSimDeviceList *list = QMSimDeviceList::sharedInstance();
    list->update();
    const QList<QMSimDevice> devices = list->devices();
    QStringList order;
    for (const QMSimDevice &d : devices)
        order << d.dirId();
    // Type, then version as text (10-3 before 11-2 before 9-3), then name.
    EXPECT_EQ(order, (QStringList{"D-ipad", "A-103", "B-112", "C-93"}));
    EXPECT_EQ(devices.at(1).displayName(), QStringLiteral("iPhone X (10-3)"));
    EXPECT_EQ(devices.at(2).displayName(), QStringLiteral("iPhone X (11-2)"));

    EXPECT_TRUE(log.all().contains(QStringLiteral("device==nil file:E-watch")));
    EXPECT_TRUE(log.all().contains(QStringLiteral("device==nil file:.DS_Store")));
    EXPECT_TRUE(log.all().contains(QStringLiteral("plist==nil plistPath:%1/I-noplist/device.plist").arg(_devices)));

    EXPECT_FALSE(QMSimDevice::simDeviceWithDirId(QStringLiteral("G-noname")).has_value());
    EXPECT_FALSE(QMSimDevice::simDeviceWithDirId(QStringLiteral("F-tv")).has_value());
    EXPECT_FALSE(QMSimDevice::simDeviceWithDirId(QStringLiteral(".DS_Store")).has_value());
    EXPECT_FALSE(QMSimDevice::simDeviceWithDirId(QString()).has_value());
    EXPECT_FALSE(QMSimDevice::simDeviceWithDirId(QStringLiteral("../Devices/A-103")).has_value());

    ASSERT_TRUE(list->simDeviceWithDirId(QStringLiteral("C-93")).has_value());
    EXPECT_EQ(list->simDeviceWithDirId(QStringLiteral("C-93"))->version(), QStringLiteral("9-3"));
    EXPECT_FALSE(list->simDeviceWithDirId(QStringLiteral("c-93")).has_value());

    // The list is kept until it is updated again.
    addDevice(QStringLiteral("J-new"), ios("12-0"), type("iPhone-X"), QStringLiteral("iPhone X"), true);
    EXPECT_EQ(list->devices().size(), 4);
    list->update();
    EXPECT_EQ(list->devices().size(), 5);
}

TEST_F(SimDevices, NoDevicesDirectoryIsAnEmptyList)
{
    QMSimDevice::setDevicesDirPathForTesting(_home.filePath(QStringLiteral("nowhere")));
    QMSimDeviceList::sharedInstance()->update();
    EXPECT_TRUE(QMSimDeviceList::sharedInstance()->devices().isEmpty());
    QMSimDevice::setDevicesDirPathForTesting(QString());
    EXPECT_EQ(QMSimDevice::devicesDirPath(), QDir::homePath() + QStringLiteral("/Library/Developer/CoreSimulator/Devices"));
}
