// Quilmo-Helper in a real tray, over the real protocols: the menu it exports to a
// StatusNotifierItem panel (a stand-in watcher on a session bus of the test's own), read
// and used as a panel does; the icon following the watcher as it leaves and comes back.
#include "QMDBusMenuExporter.h"
#include "QMHelperTestSupport.h"
#include "QMPrivateBus.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMStatusNotifierWatcherStandIn.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>

using QMHelperTest::Helper;
using QMHelperTest::helperLog;
using QMHelperTest::LoggingInstallation;

namespace {

const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");

QString label(const QMDBusMenuLayoutItem &item)
{
    if (item.properties.value(QStringLiteral("type")).toString() == QLatin1String("separator"))
        return QStringLiteral("-");
    return item.properties.value(QStringLiteral("label")).toString();
}

QStringList labels(const QMDBusMenuLayoutItem &item)
{
    QStringList out;
    for (const QMDBusMenuLayoutItem &child : item.children)
        out << label(child);
    return out;
}

const QMDBusMenuLayoutItem *childLabelled(const QMDBusMenuLayoutItem &item, const QString &start)
{
    for (const QMDBusMenuLayoutItem &child : item.children)
        if (label(child).startsWith(start))
            return &child;
    return nullptr;
}
// The row points into `item`: a temporary would be gone before the row is read.
const QMDBusMenuLayoutItem *childLabelled(QMDBusMenuLayoutItem &&item, const QString &start) = delete;

// An X server and an XEmbed tray (trayer) of the test's own, as on a desktop without a
// StatusNotifierItem host; isUsable() false (with the reason) where they are not installed.
class XEmbedTray
{
public:
    XEmbedTray()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
        _xwininfo = QStandardPaths::findExecutable(QStringLiteral("xwininfo"));
        if (xvfb.isEmpty() || trayer.isEmpty() || _xwininfo.isEmpty()) {
            _why = QStringLiteral("Xvfb, trayer or xwininfo is not installed");
            return;
        }
        // The server picks a free display and writes its number.
        _server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                             QStringLiteral("0"), QStringLiteral("640x480x24"), QStringLiteral("-nolisten"),
                             QStringLiteral("tcp")});
        if (!QMTest::waitUntil([&] { return _server.canReadLine() || _server.state() == QProcess::NotRunning; }, 20000)
            || !_server.canReadLine()) {
            _why = QStringLiteral("Xvfb did not start");
            return;
        }
        _display = QStringLiteral(":") + QString::fromLatin1(_server.readLine()).trimmed();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), _display);
        _tray.setProcessEnvironment(env);
        _tray.start(trayer, {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--widthtype"),
                             QStringLiteral("request"), QStringLiteral("--height"), QStringLiteral("24")});
        if (!QMTest::waitUntil([&] { return tree().contains(QLatin1String("\"trayer\")")); }, 20000))
            _why = QStringLiteral("trayer did not start");
    }
    ~XEmbedTray()
    {
        for (QProcess *p : {&_tray, &_server}) {
            if (p->state() == QProcess::NotRunning)
                continue;
            p->terminate();
            if (!p->waitForFinished(10000))
                p->kill();
            p->waitForFinished();
        }
    }
    bool isUsable() const { return _why.isEmpty(); }
    QString why() const { return _why; }
    QString display() const { return _display; }

    // Whether a window of Quilmo-Helper sits inside the tray's.
    bool holdsHelperIcon() const
    {
        QList<std::pair<int, QString>> ancestors;
        for (const QString &line : tree().split(u'\n')) {
            const QString trimmed = line.trimmed();
            if (!trimmed.startsWith(QLatin1String("0x")))
                continue;
            const int indent = int(line.size() - line.trimmed().size());
            while (!ancestors.isEmpty() && ancestors.last().first >= indent)
                ancestors.removeLast();
            if (trimmed.contains(QLatin1String("(\"Quilmo-Helper\" \"Quilmo-Helper\")"))) {
                for (const auto &ancestor : std::as_const(ancestors))
                    if (ancestor.second.contains(QLatin1String("\"trayer\")")))
                        return true;
            }
            ancestors.append({indent, trimmed});
        }
        return false;
    }

private:
    QString tree() const
    {
        QProcess info;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), _display);
        info.setProcessEnvironment(env);
        info.start(_xwininfo, {QStringLiteral("-root"), QStringLiteral("-tree")});
        info.waitForFinished(10000);
        return QString::fromUtf8(info.readAllStandardOutput());
    }

    QProcess _server;
    QProcess _tray;
    QString _xwininfo;
    QString _display;
    QString _why;
};

class HelperTrayTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QM_REQUIRE_LOOP_DEVICES();
        ASSERT_TRUE(_bus.isUsable()) << "no dbus-daemon";
        ASSERT_TRUE(watcher.isConnected());
        QMDBusMenuExporter::registerTypes();
        QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
    }

    QMRamDisk::Ptr mounted(const QString &name, qint64 backupMode = 0)
    {
        return QMHelperTest::mounted(_sandbox, name, backupMode);
    }

    // A method of the helper's, called as a panel calls it.
    QDBusMessage call(const QString &path, const QString &interface, const QString &method, const QVariantList &args)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(args);
        return _panel.call(message, QDBus::Block, 30000);
    }

    QMDBusMenuLayoutItem layout(int id)
    {
        const QDBusMessage reply = call(QStringLiteral("/MenuBar"), kMenuInterface, QStringLiteral("GetLayout"),
                                        {id, -1, QStringList()});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        if (reply.arguments().size() != 2)
            return {};
        return qdbus_cast<QMDBusMenuLayoutItem>(reply.arguments().at(1).value<QDBusArgument>());
    }

    QMEngineTest::RamDiskSandbox _sandbox;
    LoggingInstallation _installation;
    // The helper and the panel meet on a bus of the test's own.
    QMTest::PrivateBus _bus;
    QDBusConnection _panel = _bus.connection(QStringLiteral("panel"));
    StatusNotifierWatcherStandIn watcher{_bus.connection(QStringLiteral("watcher"))};
    QString service;
};

} // namespace

TEST_F(HelperTrayTest, ThePanelsMenuSaysEverythingInTextAndRunsWhatIsChosen)
{
    const QMRamDisk::Ptr trial = mounted(QStringLiteral("Trial"), QMRamDiskBackupMode_defaultLocation);
    ASSERT_TRUE(QMEngineTest::writeFile(trial->path() + QStringLiteral("/notes.txt"), "first"));
    const double savedAt = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - 90;
    trial->setLastSaveDate(savedAt);
    const QMRamDisk::Ptr later = _sandbox.makeRamDisk(_sandbox.mkdir(QStringLiteral("mnt")), QStringLiteral("Later"));
    ASSERT_TRUE(QMHelperTest::writeEntries({trial, later}, true));

    ASSERT_TRUE(watcher.appear());
    Helper helper(_installation, {QStringLiteral("FromApp")}, _bus.environment());
    ASSERT_TRUE(QMTest::waitUntil([&] { return !watcher.items.isEmpty(); }, 30000)) << "the helper never registered";
    service = watcher.items.first();

    // The item is only a menu: the panel opens that one menu on either button.
    const QDBusMessage all = call(QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.freedesktop.DBus.Properties"),
                                  QStringLiteral("GetAll"), {QStringLiteral("org.kde.StatusNotifierItem")});
    ASSERT_EQ(all.type(), QDBusMessage::ReplyMessage) << all.errorMessage().toStdString();
    const QVariantMap item = qdbus_cast<QVariantMap>(all.arguments().at(0).value<QDBusArgument>());
    EXPECT_TRUE(item.value(QStringLiteral("ItemIsMenu")).toBool());
    EXPECT_EQ(item.value(QStringLiteral("Menu")).value<QDBusObjectPath>().path(), QStringLiteral("/MenuBar"));
    EXPECT_TRUE(item.contains(QStringLiteral("IconPixmap")));

    // Each row: the name and the state line; every icon of one size.
    const QMDBusMenuLayoutItem root = layout(0);
    const QStringList rootLabels = labels(root);
    const QString trialText = QStringLiteral("Trial \u2014 ")
                              + QMRamDiskAutoSave::savedText(savedAt, double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
    EXPECT_TRUE(rootLabels.contains(trialText)) << rootLabels.join(u'|').toStdString();
    EXPECT_TRUE(rootLabels.contains(QStringLiteral("Later")));
    EXPECT_TRUE(rootLabels.contains(QStringLiteral("Open Quilmo")));
    EXPECT_EQ(rootLabels.last(), QStringLiteral("Quit Quilmo Menu"));
    int icons = 0;
    for (const QMDBusMenuLayoutItem &child : root.children) {
        if (!child.properties.contains(QStringLiteral("icon-data")))
            continue;
        ++icons;
        EXPECT_EQ(QImage::fromData(child.properties.value(QStringLiteral("icon-data")).toByteArray()).size(),
                  QSize(16, 16))
            << label(child).toStdString();
        EXPECT_FALSE(child.properties.contains(QStringLiteral("icon-name"))) << "a theme would draw it at its own size";
    }
    EXPECT_GE(icons, 3) << "Open Quilmo and both rows";
    const QMDBusMenuLayoutItem *trialRow = childLabelled(root, QStringLiteral("Trial \u2014"));
    ASSERT_NE(trialRow, nullptr);
    EXPECT_EQ(trialRow->properties.value(QStringLiteral("children-display")).toString(), QStringLiteral("submenu"));
    EXPECT_TRUE(trialRow->properties.value(QStringLiteral("enabled")).toBool());
    const QMDBusMenuLayoutItem *memory = childLabelled(root, QStringLiteral("Memory Statistics"));
    ASSERT_NE(memory, nullptr);
    EXPECT_FALSE(memory->properties.value(QStringLiteral("enabled")).toBool());

    // The RAM disk's submenu, filled when the panel opens it.
    const int trialId = trialRow->id;
    const QDBusMessage opened =
        call(QStringLiteral("/MenuBar"), kMenuInterface, QStringLiteral("AboutToShow"), {trialId});
    ASSERT_EQ(opened.type(), QDBusMessage::ReplyMessage) << opened.errorMessage().toStdString();
    EXPECT_TRUE(opened.arguments().at(0).toBool()) << "the panel must read it again";
    const QMDBusMenuLayoutItem submenu = layout(trialId);
    EXPECT_EQ(labels(submenu), (QStringList{"Open in File Manager", "-", "Eject", "Rebuild", "Backup Now",
                                            "Delete All Files", "-", "notes.txt"}));
    for (const QMDBusMenuLayoutItem &child : submenu.children) {
        if (child.properties.contains(QStringLiteral("icon-data"))) {
            EXPECT_EQ(QImage::fromData(child.properties.value(QStringLiteral("icon-data")).toByteArray()).size(),
                      QSize(16, 16))
                << label(child).toStdString();
        }
    }
    const QMDBusMenuLayoutItem *backupNow = childLabelled(submenu, QStringLiteral("Backup Now"));
    ASSERT_NE(backupNow, nullptr);

    // Chosen in the panel: the backup runs, and the row's text follows while the menu is
    // open, without the panel asking for the menu again.
    MenuSignalRecorder recorder;
    ASSERT_TRUE(_panel.connect(service, QStringLiteral("/MenuBar"), kMenuInterface,
                                                      QStringLiteral("ItemsPropertiesUpdated"), &recorder,
                                                      SLOT(received(QDBusMessage))));
    ASSERT_TRUE(QMEngineTest::writeFile(trial->path() + QStringLiteral("/notes.txt"), "second"));
    const QDBusMessage clicked = call(QStringLiteral("/MenuBar"), kMenuInterface, QStringLiteral("Event"),
                                      {backupNow->id, QStringLiteral("clicked"),
                                       QVariant::fromValue(QDBusVariant(QString())), uint(0)});
    ASSERT_EQ(clicked.type(), QDBusMessage::ReplyMessage) << clicked.errorMessage().toStdString();
    const QString savedNow = QStringLiteral("Trial \u2014 ") + QMRamDiskAutoSave::savedText(1, 1);
    ASSERT_TRUE(QMTest::waitUntil([&] { return recorder.labelsOf(trialId).contains(savedNow); }, 60000))
        << recorder.labelsOf(trialId).join(u'|').toStdString();
    EXPECT_EQ(QMEngineTest::readFile(trial->backupDirPath() + QStringLiteral("/notes.txt")), QByteArray("second"));

    // A RAM disk that is not created offers its creation.
    const QMDBusMenuLayoutItem rootNow = layout(0); // the row below points into it
    const QMDBusMenuLayoutItem *laterRow = childLabelled(rootNow, QStringLiteral("Later"));
    ASSERT_NE(laterRow, nullptr);
    call(QStringLiteral("/MenuBar"), kMenuInterface, QStringLiteral("AboutToShow"), {laterRow->id});
    EXPECT_EQ(labels(layout(laterRow->id)), QStringList{"Create"});
}

TEST_F(HelperTrayTest, TheIconFollowsTheWatcherLeavingAndComingBack)
{
    ASSERT_TRUE(QMHelperTest::writeEntries({}, true));
    Helper helper(_installation, {QStringLiteral("FromApp")}, _bus.environment());
    ASSERT_TRUE(QMTest::waitUntil([] { return helperLog().contains(QLatin1String("No system tray is available")); },
                                  30000))
        << "offscreen and without a watcher, there is no tray";

    // A panel starts: the helper registers with it.
    ASSERT_TRUE(watcher.appear());
    ASSERT_TRUE(QMTest::waitUntil([&] { return watcher.registrations == 1; }, 30000));
    service = watcher.items.first();
    EXPECT_TRUE(QMTest::waitUntil(
        [] { return helperLog().contains(QLatin1String("Status icon shown by the panel's StatusNotifierItem host")); }));
    EXPECT_TRUE(labels(layout(0)).contains(QStringLiteral("Quit Quilmo Menu")));

    // It quits: the helper looks for another tray (none offscreen), and says so once more.
    const int missing = helperLog().count(QLatin1String("No system tray is available"));
    watcher.leave();
    ASSERT_TRUE(QMTest::waitUntil(
        [&] { return helperLog().count(QLatin1String("No system tray is available")) == missing + 1; }, 30000));

    // It comes back: registered again, the same menu behind it.
    ASSERT_TRUE(watcher.appear());
    ASSERT_TRUE(QMTest::waitUntil([&] { return watcher.registrations == 2; }, 30000));
    EXPECT_EQ(watcher.items.first(), service);
    EXPECT_TRUE(labels(layout(0)).contains(QStringLiteral("Quit Quilmo Menu")));
    EXPECT_TRUE(helper.isRunning());
}

// On a real X server: while a StatusNotifierItem host is there the icon is its, not the
// XEmbed tray's; when the host goes the icon moves into the XEmbed tray, and back out of it
// when a host comes again.
TEST_F(HelperTrayTest, OnAnXServerTheIconMovesToTheXEmbedTrayAndBack)
{
    XEmbedTray tray;
    if (!tray.isUsable())
        GTEST_SKIP() << tray.why().toStdString();
    ASSERT_TRUE(QMHelperTest::writeEntries({}, true));
    ASSERT_TRUE(watcher.appear());
    QProcessEnvironment x11 = _bus.environment();
    x11.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    x11.insert(QStringLiteral("DISPLAY"), tray.display());
    Helper helper(_installation, {QStringLiteral("FromApp")}, x11);
    ASSERT_TRUE(QMTest::waitUntil([&] { return watcher.registrations == 1; }, 30000));
    EXPECT_FALSE(tray.holdsHelperIcon()) << "the icon shows twice";

    watcher.leave();
    ASSERT_TRUE(QMTest::waitUntil([&] { return tray.holdsHelperIcon(); }, 30000)) << "not moved to the XEmbed tray";

    ASSERT_TRUE(watcher.appear());
    ASSERT_TRUE(QMTest::waitUntil([&] { return watcher.registrations == 2; }, 30000));
    EXPECT_TRUE(QMTest::waitUntil([&] { return !tray.holdsHelperIcon(); }, 30000)) << "left in the XEmbed tray";
    EXPECT_TRUE(helper.isRunning());
}
