// The browser presets with the real browsers Debian ships (firefox-esr, chromium), on this
// machine as it is: the preset is added with quilmoctl, refused while the browser runs,
// created while it is closed; the cache the real browser then writes lands on the RAM disk's
// mount, and eject brings it back into the cache directory. Browser and quilmoctl run as an
// ordinary user of the test's own, so that no browser running elsewhere on the machine (as
// root, say) counts as this user's.
#include "QMBrowserLayouts.h"
#include "QMCtlTestSupport.h"
#include "QMTestSupport.h"
#include "QMTestUser.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Pages on 127.0.0.1 that a browser may keep in its cache for an hour.
class CacheablePages : public QObject
{
public:
    CacheablePages()
    {
        _server.listen(QHostAddress::LocalHost, 0);
        connect(&_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = _server.nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString url(const QString &page) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(_server.serverPort()).arg(page);
    }
    // The paths asked for so far ("/open").
    const QList<QByteArray> &requested() const { return _requested; }

private:
    void answer(QTcpSocket *socket)
    {
        const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray path = request.split(' ').value(1);
        _requested << path;
        const bool picture = path.endsWith(".svg");
        const QByteArray body = picture ? "<svg xmlns='http://www.w3.org/2000/svg' width='64' height='64'>"
                                          "<rect width='64' height='64' fill='teal'/></svg>"
                                        : "<html><body><h1>" + path + "</h1><img src='" + path + ".svg'></body></html>";
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: " + QByteArray(picture ? "image/svg+xml" : "text/html")
                      + "\r\nCache-Control: max-age=3600\r\nContent-Length: " + QByteArray::number(body.size())
                      + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QTcpServer _server;
    QList<QByteArray> _requested;
};

dev_t deviceOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_dev : dev_t(-1);
}

// The files under `dir`, by their path below it.
QSet<QString> filesUnder(const QString &dir)
{
    QSet<QString> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next().mid(dir.size());
    return files;
}

QJsonObject presetNamed(const QMTestUserSession &session, const QString &type)
{
    for (const QJsonValue &v :
         QJsonDocument::fromJson(userCtl(session, {QStringLiteral("presets"), QStringLiteral("--json")}).out.toUtf8()).array())
        if (v.toObject().value(QStringLiteral("type")).toString() == type)
            return v.toObject();
    return {};
}

struct Browser
{
    const char *type;      // quilmoctl's word
    const char *command;   // what the distribution installs on PATH
    const char *cache;     // the directory the RAM disk covers, below the user's cache home
    QString cacheFiles;    // where, below it, the HTTP cache's files are
    // The arguments of a run without a screen in the user's session.
    std::function<QStringList(const QMTestUserSession &)> headless;
};

class BrowserEndToEnd : public ::testing::Test
{
protected:
    void run(const Browser &b)
    {
        QM_REQUIRE_LOOP_DEVICES();
        QM_REQUIRE_TEST_USER(session.user);
        program = QStandardPaths::findExecutable(QLatin1String(b.command));
        if (program.isEmpty())
            GTEST_SKIP() << b.command << " is not installed (make test installs Debian's package; "
                         << "scripts/install-deps.sh could not here)";
        QString why;
        ASSERT_TRUE(session.setUp(&why)) << why.toStdString();
        headless = b.headless(session);
        const QString cacheDir = session.cacheHome() + QLatin1String(b.cache);
        struct Eject
        {
            const QMTestUserSession &session;
            QString type;
            ~Eject() { userCtl(session, {QStringLiteral("eject"), type}); }
        } eject{session, QLatin1String(b.type)};

        // A user who has browsed before: a profile and its cache.
        ASSERT_NO_FATAL_FAILURE(browse(b, QStringLiteral("before")));
        ASSERT_TRUE(QFileInfo(cacheDir).isDir()) << cacheDir.toStdString();
        const QSet<QString> before = filesUnder(cacheDir);
        ASSERT_FALSE(before.isEmpty());

        // This machine's browser, with the version it tells itself.
        QString version;
        ASSERT_EQ(QMTest::run(program, {QStringLiteral("--version")}, &version), 0);
        const QJsonObject preset = presetNamed(session, QLatin1String(b.type));
        EXPECT_EQ(preset.value(QStringLiteral("status")).toString(), QStringLiteral("available"));
        EXPECT_FALSE(preset.value(QStringLiteral("version")).toString().isEmpty());
        EXPECT_TRUE(version.contains(preset.value(QStringLiteral("version")).toString())) << version.toStdString();
        ASSERT_EQ(userCtl(session, {QStringLiteral("add"), QStringLiteral("--type"), QLatin1String(b.type),
                               QStringLiteral("--size"), QStringLiteral("256M")})
                      .status,
                  0);

        {
            // While it runs (it has asked for its page), creating its RAM disk is refused
            // with its name.
            QProcess running;
            session.prepare(running);
            running.start(program, headless + QStringList{pages.url(QStringLiteral("open"))});
            ASSERT_TRUE(running.waitForStarted());
            ASSERT_TRUE(QMTest::waitUntil([&] { return pages.requested().contains("/open"); }, 60000));
            const Result refused = userCtl(session, {QStringLiteral("create"), QLatin1String(b.type)});
            EXPECT_EQ(refused.status, 1);
            EXPECT_TRUE(refused.err.contains(QStringLiteral(" is running"))) << refused.err.toStdString();
            running.terminate();
            ASSERT_TRUE(QMTest::waitUntil([&] { return running.state() == QProcess::NotRunning; }, 60000));
            ASSERT_TRUE(QMTest::waitUntil([&] { return session.running(QLatin1String(b.command)).isEmpty(); }, 60000))
                << "its processes outlived it";
        }

        // Closed: created, with the cache the user had.
        const Result created = userCtl(session, {QStringLiteral("create"), QLatin1String(b.type)});
        ASSERT_EQ(created.status, 0) << created.err.toStdString();
        const dev_t ramDisk = deviceOf(cacheDir);
        ASSERT_NE(ramDisk, deviceOf(QFileInfo(cacheDir).absolutePath())) << "the cache directory is not a mount";
        const QSet<QString> copiedIn = filesUnder(cacheDir);
        for (const QString &file : before) {
            if (file.contains(b.cacheFiles)) {
                EXPECT_TRUE(copiedIn.contains(file)) << file.toStdString() << " was not brought into memory";
            }
        }
        for (const QString &file : copiedIn)
            ASSERT_EQ(deviceOf(cacheDir + file), ramDisk) << file.toStdString();

        // The browser writes its cache into memory.
        ASSERT_NO_FATAL_FAILURE(browse(b, QStringLiteral("in-memory")));
        QSet<QString> written = filesUnder(cacheDir);
        written.subtract(before);
        QSet<QString> cacheWritten;
        for (const QString &file : std::as_const(written)) {
            if (file.contains(b.cacheFiles))
                cacheWritten << file;
            EXPECT_EQ(deviceOf(cacheDir + file), ramDisk) << file.toStdString() << " is not on the RAM disk";
        }
        ASSERT_FALSE(cacheWritten.isEmpty()) << "nothing new in the HTTP cache";

        // Ejected: the cache directory is a plain directory again, with what was written.
        const Result ejected = userCtl(session, {QStringLiteral("eject"), QLatin1String(b.type)});
        ASSERT_EQ(ejected.status, 0) << ejected.err.toStdString();
        EXPECT_EQ(deviceOf(cacheDir), deviceOf(QFileInfo(cacheDir).absolutePath()));
        const QSet<QString> after = filesUnder(cacheDir);
        for (const QString &file : std::as_const(cacheWritten))
            EXPECT_TRUE(after.contains(file)) << file.toStdString() << " did not come back";
    }

    // One page, rendered into a screenshot; waits for the browser to end.
    void browse(const Browser &b, const QString &page)
    {
        QProcess browser;
        session.prepare(browser);
        browser.setProcessChannelMode(QProcess::MergedChannels);
        const QString shot = session.home + QStringLiteral("/tmp/") + page + QStringLiteral(".png");
        QStringList args = headless;
        args << (QLatin1String(b.type) == QLatin1String("firefox") ? QStringList{QStringLiteral("--screenshot"), shot}
                                                                    : QStringList{QStringLiteral("--screenshot=") + shot})
             << pages.url(page);
        browser.start(program, args);
        ASSERT_TRUE(browser.waitForStarted());
        ASSERT_TRUE(QMTest::waitUntil([&] { return browser.state() == QProcess::NotRunning; }, 180000));
        ASSERT_TRUE(QFileInfo::exists(shot)) << browser.readAll().toStdString();
    }

    // Declared first: it goes last, once every process of its user is reaped.
    QMTestUserSession session{QStringLiteral("brw")};
    CacheablePages pages;
    QString program;
    QStringList headless;
};

} // namespace

TEST_F(BrowserEndToEnd, FirefoxEsrCachesIntoItsRamDisk)
{
    // The real machine's browsers, not a root of the test's.
    QMTest::ApplicationsRoot machine(QStringLiteral("/"));
    run({"firefox", "firefox-esr", "/mozilla/firefox", QStringLiteral("/cache2/"),
         [](const QMTestUserSession &) { return QStringList{QStringLiteral("--headless")}; }});
}

TEST_F(BrowserEndToEnd, ChromiumCachesIntoItsRamDisk)
{
    QMTest::ApplicationsRoot machine(QStringLiteral("/"));
    run({"chromium", "chromium", "/chromium", QStringLiteral("/Cache/"), [](const QMTestUserSession &session) {
             // Its usual profile: without one, headless Chromium uses a throw-away profile elsewhere.
             return QStringList{QStringLiteral("--headless=new"),
                                QStringLiteral("--user-data-dir=") + session.configHome() + QStringLiteral("/chromium"),
                                QStringLiteral("--no-first-run"), QStringLiteral("--disable-gpu")};
         }});
}
