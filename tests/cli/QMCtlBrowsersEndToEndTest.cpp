// The browser presets with the real browsers Debian ships (firefox-esr, chromium), on this
// machine as it is: the preset is added with quilmoctl, refused while the browser runs,
// created while it is closed; the cache the real browser then writes lands on the RAM disk's
// mount, and eject brings it back into the cache directory.
#include "QMBrowserLayouts.h"
#include "QMCtlTestSupport.h"
#include "QMRunningApplications.h"
#include "QMTestSupport.h"

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
                connect(socket, &QTcpSocket::readyRead, socket, [socket] { answer(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString url(const QString &page) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(_server.serverPort()).arg(page);
    }

private:
    static void answer(QTcpSocket *socket)
    {
        const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray path = request.split(' ').value(1);
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

QJsonObject presetNamed(const QString &type)
{
    for (const QJsonValue &v : QJsonDocument::fromJson(ctl({QStringLiteral("presets"), QStringLiteral("--json")}).out.toUtf8()).array())
        if (v.toObject().value(QStringLiteral("type")).toString() == type)
            return v.toObject();
    return {};
}

struct Browser
{
    const char *type;      // quilmoctl's word
    const char *identifier; // the running rule's
    const char *command;   // what the distribution installs on PATH
    QString cacheDir;      // the directory the RAM disk covers
    QString cacheFiles;    // where, below it, the HTTP cache's files are
    QStringList headless;  // the arguments of a run without a screen
};

class BrowserEndToEnd : public ::testing::Test
{
protected:
    void run(const Browser &b)
    {
        QM_REQUIRE_LOOP_DEVICES();
        program = QStandardPaths::findExecutable(QLatin1String(b.command));
        if (program.isEmpty())
            GTEST_SKIP() << b.command << " is not installed (make test installs Debian's package; "
                         << "scripts/install-deps.sh could not here)";
        struct Eject
        {
            QString type;
            ~Eject() { ctl({QStringLiteral("eject"), type}); }
        } eject{QLatin1String(b.type)};

        // A user who has browsed before: a profile and its cache.
        ASSERT_NO_FATAL_FAILURE(browse(b, QStringLiteral("before")));
        ASSERT_TRUE(QFileInfo(b.cacheDir).isDir()) << b.cacheDir.toStdString();
        const QSet<QString> before = filesUnder(b.cacheDir);
        ASSERT_FALSE(before.isEmpty());

        // This machine's browser, with the version it tells itself.
        QString version;
        ASSERT_EQ(QMTest::run(program, {QStringLiteral("--version")}, &version), 0);
        const QJsonObject preset = presetNamed(QLatin1String(b.type));
        EXPECT_EQ(preset.value(QStringLiteral("status")).toString(), QStringLiteral("available"));
        EXPECT_FALSE(preset.value(QStringLiteral("version")).toString().isEmpty());
        EXPECT_TRUE(version.contains(preset.value(QStringLiteral("version")).toString())) << version.toStdString();
        ASSERT_EQ(ctl({QStringLiteral("add"), QStringLiteral("--type"), QLatin1String(b.type), QStringLiteral("--size"),
                       QStringLiteral("256M")})
                      .status,
                  0);

        {
            // While it runs, creating its RAM disk is refused with its name.
            const QString identifier = QLatin1String(b.identifier);
            const QList<pid_t> others = QMRunningApplications::processIds(identifier);
            const auto oursLeft = [&] {
                for (pid_t pid : QMRunningApplications::processIds(identifier))
                    if (!others.contains(pid))
                        return true;
                return false;
            };
            QProcess running;
            running.start(program, b.headless + QStringList{pages.url(QStringLiteral("open"))});
            ASSERT_TRUE(running.waitForStarted());
            ASSERT_TRUE(QMTest::waitUntil(oursLeft, 60000));
            const Result refused = ctl({QStringLiteral("create"), QLatin1String(b.type)});
            EXPECT_EQ(refused.status, 1);
            EXPECT_TRUE(refused.err.contains(QStringLiteral(" is running"))) << refused.err.toStdString();
            running.terminate();
            ASSERT_TRUE(QMTest::waitUntil([&] { return running.state() == QProcess::NotRunning; }, 60000));
            ASSERT_TRUE(QMTest::waitUntil([&] { return !oursLeft(); }, 60000)) << "its processes outlived it";
        }

        // Closed: created, with the cache the user had.
        const Result created = ctl({QStringLiteral("create"), QLatin1String(b.type)});
        ASSERT_EQ(created.status, 0) << created.err.toStdString();
        const dev_t ramDisk = deviceOf(b.cacheDir);
        ASSERT_NE(ramDisk, deviceOf(QFileInfo(b.cacheDir).absolutePath())) << "the cache directory is not a mount";
        const QSet<QString> copiedIn = filesUnder(b.cacheDir);
        for (const QString &file : before) {
            if (file.contains(b.cacheFiles)) {
                EXPECT_TRUE(copiedIn.contains(file)) << file.toStdString() << " was not brought into memory";
            }
        }
        for (const QString &file : copiedIn)
            ASSERT_EQ(deviceOf(b.cacheDir + file), ramDisk) << file.toStdString();

        // The browser writes its cache into memory.
        ASSERT_NO_FATAL_FAILURE(browse(b, QStringLiteral("in-memory")));
        QSet<QString> written = filesUnder(b.cacheDir);
        written.subtract(before);
        QSet<QString> cacheWritten;
        for (const QString &file : std::as_const(written)) {
            if (file.contains(b.cacheFiles))
                cacheWritten << file;
            EXPECT_EQ(deviceOf(b.cacheDir + file), ramDisk) << file.toStdString() << " is not on the RAM disk";
        }
        ASSERT_FALSE(cacheWritten.isEmpty()) << "nothing new in the HTTP cache";

        // Ejected: the cache directory is a plain directory again, with what was written.
        const Result ejected = ctl({QStringLiteral("eject"), QLatin1String(b.type)});
        ASSERT_EQ(ejected.status, 0) << ejected.err.toStdString();
        EXPECT_EQ(deviceOf(b.cacheDir), deviceOf(QFileInfo(b.cacheDir).absolutePath()));
        const QSet<QString> after = filesUnder(b.cacheDir);
        for (const QString &file : std::as_const(cacheWritten))
            EXPECT_TRUE(after.contains(file)) << file.toStdString() << " did not come back";
    }

    // One page, rendered into a screenshot; waits for the browser to end.
    void browse(const Browser &b, const QString &page)
    {
        QProcess browser;
        browser.setProcessChannelMode(QProcess::MergedChannels);
        const QString shot = QDir::tempPath() + u'/' + page + QStringLiteral(".png");
        QStringList args = b.headless;
        args << (QLatin1String(b.type) == QLatin1String("firefox") ? QStringList{QStringLiteral("--screenshot"), shot}
                                                                    : QStringList{QStringLiteral("--screenshot=") + shot})
             << pages.url(page);
        browser.start(program, args);
        ASSERT_TRUE(browser.waitForStarted());
        ASSERT_TRUE(QMTest::waitUntil([&] { return browser.state() == QProcess::NotRunning; }, 180000));
        ASSERT_TRUE(QFileInfo::exists(shot)) << browser.readAll().toStdString();
    }

    CacheablePages pages;
    QString program;
};

} // namespace

TEST_F(BrowserEndToEnd, FirefoxEsrCachesIntoItsRamDisk)
{
    // The real machine's browsers, not a root of the test's.
    QMTest::ApplicationsRoot machine(QStringLiteral("/"));
    const QString cache = qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/mozilla/firefox");
    run({"firefox", "org.mozilla.firefox", "firefox-esr", cache, QStringLiteral("/cache2/"), {QStringLiteral("--headless")}});
}

TEST_F(BrowserEndToEnd, ChromiumCachesIntoItsRamDisk)
{
    QMTest::ApplicationsRoot machine(QStringLiteral("/"));
    const QString cache = qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/chromium");
    // Its usual profile: without one, headless Chromium uses a throw-away profile elsewhere.
    QStringList headless{QStringLiteral("--headless=new"),
                         QStringLiteral("--user-data-dir=") + qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/chromium"),
                         QStringLiteral("--no-first-run"), QStringLiteral("--disable-gpu")};
    // Its sandbox refuses root.
    if (::geteuid() == 0)
        headless << QStringLiteral("--no-sandbox");
    run({"chromium", "org.chromium.Chromium", "chromium", cache, QStringLiteral("/Cache/"), headless});
}
