#include "QMUpdateTestSupport.h"

#include "QMLog.h"
#include "QMTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <sys/stat.h>

namespace QMUpdateTest {

HttpServer::HttpServer() : _server(new QTcpServer(this))
{
    _server->listen(QHostAddress::LocalHost, 0);
    connect(_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = _server->nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

HttpServer::~HttpServer() = default;

void HttpServer::setRoute(const QString &path, const Route &route)
{
    _routes.insert(path, route);
}

QUrl HttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(_server->serverPort()).arg(path));
}

void HttpServer::serve(QTcpSocket *socket)
{
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n") || socket->property("answered").toBool())
        return;
    socket->setProperty("answered", true);
    const QString path = QString::fromLatin1(request.split(' ').value(1));
    requests << path;
    const Route route = _routes.value(path, Route{404, "text/html", "<html>missing</html>"});
    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + (route.status == 200 ? " OK" : route.status == 404 ? " Not Found" : " Moved")
                      + "\r\nContent-Type: " + route.contentType + "\r\nConnection: close\r\n";
    if (route.sendLength)
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
    if (!route.location.isEmpty())
        head += "Location: " + route.location + "\r\n";
    head += "\r\n";
    if (route.pauseMs <= 0) {
        socket->write(head + route.body);
        socket->disconnectFromHost();
        return;
    }
    const qsizetype half = route.body.size() / 2;
    socket->write(head + route.body.left(half));
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(route.pauseMs, this, [guard, route, half] {
        if (!guard)
            return;
        guard->write(route.body.mid(half));
        guard->disconnectFromHost();
    });
}

QByteArray makeZip(const QList<ZipEntry> &entries)
{
    QByteArray zip;
    struct archive *a = archive_write_new();
    archive_write_set_format_zip(a);
    archive_write_open2(
        a, &zip, nullptr,
        [](struct archive *, void *client, const void *buffer, size_t length) -> la_ssize_t {
            static_cast<QByteArray *>(client)->append(static_cast<const char *>(buffer), qsizetype(length));
            return la_ssize_t(length);
        },
        nullptr, nullptr);
    for (const ZipEntry &e : entries) {
        struct archive_entry *entry = archive_entry_new();
        const QByteArray name = e.name.toUtf8();
        archive_entry_set_pathname(entry, name.constData());
        archive_entry_set_mtime(entry, 1700000000, 0);
        const QByteArray target = e.target.toUtf8();
        switch (e.type) {
        case ZipEntry::File:
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, e.data.size());
            break;
        case ZipEntry::Directory:
            archive_entry_set_filetype(entry, AE_IFDIR);
            break;
        case ZipEntry::Symlink:
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, target.constData());
            break;
        }
        archive_entry_set_perm(entry, mode_t(e.type == ZipEntry::Directory && e.mode == 0644 ? 0755 : e.mode));
        archive_write_header(a, entry);
        if (e.type == ZipEntry::File && !e.data.isEmpty())
            archive_write_data(a, e.data.constData(), size_t(e.data.size()));
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
    return zip;
}

QByteArray withEntryMode(QByteArray zip, const QString &name, quint32 mode)
{
    const QByteArray wanted = name.toUtf8();
    auto u16 = [&](qsizetype at) { return quint32(quint8(zip[at])) | quint32(quint8(zip[at + 1])) << 8; };
    for (qsizetype at = zip.indexOf("PK\x01\x02"); at >= 0; at = zip.indexOf("PK\x01\x02", at + 4)) {
        const quint32 nameLength = u16(at + 28);
        if (zip.mid(at + 46, nameLength) != wanted)
            continue;
        zip[at + 5] = 3; // made on Unix: the high half of the external attributes is the mode
        const quint32 attributes = mode << 16;
        for (int i = 0; i < 4; ++i)
            zip[at + 38 + i] = char((attributes >> (8 * i)) & 0xff);
    }
    return zip;
}

QList<ZipEntry> treeEntries(const QString &top, const QString &version, const QString &marker)
{
    const QByteArray program = "#!/bin/sh\necho " + version.toUtf8() + " >> '" + QFile::encodeName(marker) + "'\n";
    return {
        {top + QStringLiteral("/"), {}, ZipEntry::Directory},
        {top + QStringLiteral("/bin/Quilmo"), program, ZipEntry::File, 0755},
        {top + QStringLiteral("/bin/quilmoctl"), "ctl " + version.toUtf8(), ZipEntry::File, 0755},
        {top + QStringLiteral("/libexec/quilmo/quilmo-disktool"), "tool " + version.toUtf8(), ZipEntry::File, 0755},
        {top + QStringLiteral("/libexec/quilmo/hdiutil"), {}, ZipEntry::Symlink, 0777, QStringLiteral("quilmo-disktool")},
        {top + QStringLiteral("/share/quilmo/images/icon.png"), "png " + version.toUtf8(), ZipEntry::File},
        {top + QStringLiteral("/share/applications/org.quilmo.Quilmo.desktop"), "[Desktop Entry]\n", ZipEntry::File},
    };
}

QString makeTree(const QString &parent, const QString &name, const QString &version, const QString &marker)
{
    const QString root = parent + QLatin1Char('/') + name;
    for (const ZipEntry &e : treeEntries(name, version, marker)) {
        const QString path = parent + QLatin1Char('/') + e.name;
        switch (e.type) {
        case ZipEntry::Directory:
            QDir().mkpath(path);
            break;
        case ZipEntry::File:
            QDir().mkpath(QFileInfo(path).absolutePath());
            writeFile(path, e.data, e.mode);
            break;
        case ZipEntry::Symlink:
            QFile::link(e.target, path);
            break;
        }
    }
    return root;
}

QString runningVersionOf(const QString &prefix, const QString &marker)
{
    QFile::remove(marker);
    QMTest::run(prefix + QStringLiteral("/bin/Quilmo"), {});
    return QString::fromUtf8(readFile(marker)).trimmed();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data, int mode)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        return false;
    f.close();
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

} // namespace QMUpdateTest

#include "QMLog.h"
namespace QMUpdateTest {

LogCapture::LogCapture()
{
    _previous = QMLog::setSink([this](const QString &entry) { entries << entry; });
}

LogCapture::~LogCapture()
{
    QMLog::setSink(_previous);
}

bool LogCapture::contains(const QString &text) const
{
    for (const QString &e : entries)
        if (e.contains(text))
            return true;
    return false;
}

SmallFileSystem::SmallFileSystem(const QString &d, int kilobytes) : dir(d)
{
    QDir().mkpath(dir);
    mounted = QMTest::run(QStringLiteral("/bin/mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                         QStringLiteral("size=%1k").arg(kilobytes), QStringLiteral("tmpfs"), dir})
              == 0;
}

SmallFileSystem::~SmallFileSystem()
{
    if (mounted)
        QMTest::run(QStringLiteral("/bin/umount"), {QStringLiteral("-l"), dir});
}

Immutable::Immutable(const QString &p) : path(p)
{
    set = QMTest::run(QStringLiteral("/usr/bin/chattr"), {QStringLiteral("+i"), path}) == 0;
}

Immutable::~Immutable()
{
    if (set)
        QMTest::run(QStringLiteral("/usr/bin/chattr"), {QStringLiteral("-i"), path});
}

} // namespace QMUpdateTest

namespace QMUpdateTest {

SigningKey::SigningKey()
{
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
    EVP_PKEY *key = nullptr;
    if (context && EVP_PKEY_keygen_init(context) == 1)
        EVP_PKEY_keygen(context, &key);
    EVP_PKEY_CTX_free(context);
    _key = key;
    _keyId = QByteArray(8, Qt::Uninitialized);
    RAND_bytes(reinterpret_cast<unsigned char *>(_keyId.data()), int(_keyId.size()));
}

SigningKey::~SigningKey()
{
    EVP_PKEY_free(static_cast<EVP_PKEY *>(_key));
}

QString SigningKey::publicKey() const
{
    QByteArray pk(32, Qt::Uninitialized);
    size_t length = size_t(pk.size());
    EVP_PKEY_get_raw_public_key(static_cast<EVP_PKEY *>(_key), reinterpret_cast<unsigned char *>(pk.data()), &length);
    return QString::fromLatin1((QByteArray("Ed") + _keyId + pk).toBase64());
}

QByteArray SigningKey::raw(const QByteArray &message) const
{
    QByteArray signature(64, Qt::Uninitialized);
    size_t length = size_t(signature.size());
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    EVP_DigestSignInit(context, nullptr, nullptr, nullptr, static_cast<EVP_PKEY *>(_key));
    EVP_DigestSign(context, reinterpret_cast<unsigned char *>(signature.data()), &length,
                   reinterpret_cast<const unsigned char *>(message.constData()), size_t(message.size()));
    EVP_MD_CTX_free(context);
    return signature;
}

QByteArray SigningKey::sign(const QByteArray &archive, const QByteArray &trustedComment, bool legacy) const
{
    QByteArray message = archive;
    if (!legacy) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(archive.constData(), size_t(archive.size()), digest, &length, EVP_blake2b512(), nullptr);
        message = QByteArray(reinterpret_cast<const char *>(digest), int(length));
    }
    const QByteArray signature = raw(message);
    const QByteArray global = raw(signature + trustedComment);
    return "untrusted comment: signature from a test key\n" + (QByteArray(legacy ? "Ed" : "ED") + _keyId + signature).toBase64()
           + "\ntrusted comment: " + trustedComment + "\n" + global.toBase64() + "\n";
}

QByteArray SigningKey::signBuild(const QByteArray &archive, qint64 build) const
{
    return sign(archive, "timestamp:1700000000\tfile:quilmo.zip\tbuild:" + QByteArray::number(build));
}

} // namespace QMUpdateTest
