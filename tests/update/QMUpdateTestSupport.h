#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QTcpServer;
class QTcpSocket;

namespace QMUpdateTest {

// A small HTTP/1.1 server on 127.0.0.1 that answers each path with a fixed response and
// closes the connection.
class HttpServer : public QObject
{
    Q_OBJECT
public:
    struct Route
    {
        int status = 200;
        QByteArray contentType = "text/plain";
        QByteArray body = {};
        bool sendLength = true;   // without it the body ends when the connection closes
        int pauseMs = 0;          // the second half of the body comes this much later
        QByteArray location = {}; // a Location header (redirects)
    };

    HttpServer();
    ~HttpServer() override;
    void setRoute(const QString &path, const Route &route);
    QUrl url(const QString &path) const;
    QStringList requests; // paths asked for, in order

private:
    void serve(QTcpSocket *socket);
    QTcpServer *_server;
    QHash<QString, Route> _routes;
};

struct ZipEntry
{
    enum Type { File, Directory, Symlink };
    QString name = {};
    QByteArray data = {};
    Type type = File;
    int mode = 0644;
    QString target = {}; // of a link
};

// A zip archive of the entries, written by libarchive.
QByteArray makeZip(const QList<ZipEntry> &entries);
// The archive with one entry's mode changed in its central directory (a device, say).
QByteArray withEntryMode(QByteArray zip, const QString &name, quint32 mode);

// A Quilmo tree named `name` under `parent`: bin/Quilmo (a program that writes `version`
// into `marker` when it runs), bin/quilmoctl, libexec/quilmo with the disk tool and a link
// to it, share/quilmo and the desktop entry. Returns its path.
QString makeTree(const QString &parent, const QString &name, const QString &version, const QString &marker);
// The same tree as zip entries below `top`.
QList<ZipEntry> treeEntries(const QString &top, const QString &version, const QString &marker);

// Starts the installation's program and returns the version it reports.
QString runningVersionOf(const QString &prefix, const QString &marker);

QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &data, int mode = 0644);

} // namespace QMUpdateTest

namespace QMUpdateTest {

// Records the addresses the program opens in the browser (QDesktopServices' handler).
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

// A release key of the test's own, made with OpenSSL, that signs as minisign does.
class SigningKey
{
public:
    SigningKey();
    ~SigningKey();
    SigningKey(const SigningKey &) = delete;
    SigningKey &operator=(const SigningKey &) = delete;
    // The public key line ("RW…") the checker is given.
    QString publicKey() const;
    // A .minisig file of `archive` whose trusted comment is `trustedComment`; the
    // pre-hashed form ("ED") unless `legacy`.
    QByteArray sign(const QByteArray &archive, const QByteArray &trustedComment, bool legacy = false) const;
    // The usual one for build `build`.
    QByteArray signBuild(const QByteArray &archive, qint64 build) const;

private:
    QByteArray raw(const QByteArray &message) const;
    void *_key = nullptr; // EVP_PKEY
    QByteArray _keyId;
};

// Collects the log while it lives.
struct LogCapture
{
    LogCapture();
    ~LogCapture();
    bool contains(const QString &text) const;
    QStringList entries;

private:
    std::function<void(const QString &)> _previous;
};

// A tmpfs of `kilobytes` mounted on `dir` while it lives (root only): a destination that fills.
struct SmallFileSystem
{
    SmallFileSystem(const QString &dir, int kilobytes);
    ~SmallFileSystem();
    bool mounted = false;
    QString dir;
};

// The immutable attribute on a path while it lives (root only): a rename that fails.
struct Immutable
{
    explicit Immutable(const QString &path);
    ~Immutable();
    bool set = false;
    QString path;
};

} // namespace QMUpdateTest
