#include "QMRamDiskFunctions.h"

#include "QMDesktopEntry.h"
#include "QMFunctions.h"
#include "QMRamDiskUtils.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QIcon>
#include <QMutex>
#include <QPixmap>
#include <QThread>

#include <cmath>

namespace {

struct ByteFormats
{
    QByteArray tb, gb, mb, kb;
    QString oneByte, zeroByte;
};

const ByteFormats &byteFormats()
{
    static const ByteFormats formats = [] {
        auto tr = [](const char *key) { return QCoreApplication::translate("QMFunctions", key); };
        return ByteFormats{tr("%.2f TB").toUtf8(), tr("%.2f GB").toUtf8(), tr("%.0f MB").toUtf8(),
                           tr("%.0f KB").toUtf8(), tr("One Byte"), tr("Zero Byte")};
    }();
    return formats;
}

QString bytesText(qint64 bytes, double base)
{
    if (bytes < 0)
        return {};
    const ByteFormats &f = byteFormats();
    const double count = static_cast<double>(bytes);
    const double kilo = base, mega = base * base, giga = mega * base, tera = giga * base;
    QString text;
    if (count >= tera)
        text = QString::asprintf(f.tb.constData(), count / tera);
    else if (count >= giga)
        text = QString::asprintf(f.gb.constData(), count / giga);
    else if (count >= mega)
        text = QString::asprintf(f.mb.constData(), count / mega);
    else if (count >= kilo)
        text = QString::asprintf(f.kb.constData(), count / kilo);
    else if (bytes >= 1)
        return f.oneByte;
    else
        return f.zeroByte;

    // "4.00 GB" reads "4 GB"; "4.50 GB" stays.
    const QStringList parts = text.split(u' ');
    if (parts.size() >= 2) {
        const QString &number = parts.at(0);
        if (number.endsWith(QLatin1String(".0")) || number.endsWith(QLatin1String(".00")))
            return QStringLiteral("%1 %2").arg(number.left(number.indexOf(u'.')), parts.at(1));
    }
    return text;
}

// The freedesktop names standing in for the other platform's named system images.
QString themeNameForSystemImage(const QString &name)
{
    static const QHash<QString, QString> names = {
        {QStringLiteral("NSComputer"), QStringLiteral("computer")},
        {QStringLiteral("NSFolder"), QStringLiteral("folder")},
        {QStringLiteral("NSNetwork"), QStringLiteral("network-workgroup")},
        {QStringLiteral("NSTrashEmpty"), QStringLiteral("user-trash")},
        {QStringLiteral("NSTrashFull"), QStringLiteral("user-trash-full")},
        {QStringLiteral("NSApplicationIcon"), QStringLiteral("application-x-executable")},
        {QStringLiteral("NSRefreshTemplate"), QStringLiteral("view-refresh")},
        {QStringLiteral("NSStopProgressTemplate"), QStringLiteral("process-stop")},
        {QStringLiteral("NSActionTemplate"), QStringLiteral("system-run")},
        {QStringLiteral("NSAdvanced"), QStringLiteral("preferences-system")},
        {QStringLiteral("NSCaution"), QStringLiteral("dialog-warning")},
        {QStringLiteral("NSInfo"), QStringLiteral("dialog-information")},
        {QStringLiteral("NSUser"), QStringLiteral("user-home")},
        {QStringLiteral("NSEveryone"), QStringLiteral("system-users")},
        {QStringLiteral("NSRevealFreestandingTemplate"), QStringLiteral("system-search")},
    };
    return names.value(name);
}

} // namespace

QString QMRamDiskFunctions::stringFromBytesWithBin1000Style(qint64 bytes)
{
    return bytesText(bytes, 1000.0);
}

QString QMRamDiskFunctions::stringFromBytesWithBin1024Style(qint64 bytes)
{
    return bytesText(bytes, 1024.0);
}

QImage QMRamDiskFunctions::icon16Named(const QString &name)
{
    static QMutex mutex;
    static QHash<QString, QImage> cache;
    {
        QMutexLocker lock(&mutex);
        const auto it = cache.constFind(name);
        if (it != cache.constEnd())
            return *it;
    }

    QImage image;
    if (name.startsWith(QLatin1String("NS"))) {
        image = QMRamDiskFunctions::themeImage(themeNameForSystemImage(name), 16);
    } else if (name == QLatin1String("diskUtility")) {
        QMDesktopEntry entry;
        if (!QMRamDiskUtils::diskUtilityURL().isEmpty()
            && entry.loadFirst({QStringLiteral("org.gnome.DiskUtility.desktop"), QStringLiteral("gnome-disks.desktop"),
                                QStringLiteral("org.kde.partitionmanager.desktop"),
                                QStringLiteral("partitionmanager.desktop")}))
            image = QMRamDiskFunctions::themeImage(entry.icon(), 16);
    } else if (name == QLatin1String("syncIcon")) {
        image = QMRamDiskFunctions::bundledImage(QStringLiteral("syncIcon"), 16);
    } else {
        return {};
    }
    // Images the icon theme could not give yet (no GUI, another thread) are asked again later.
    if (!image.isNull()) {
        QMutexLocker lock(&mutex);
        cache.insert(name, image);
    }
    return image;
}

QImage QMRamDiskFunctions::bundledImage(const QString &name, int size)
{
    QImage image(QMFunctions::shareDirectory() + QStringLiteral("/images/") + name + QStringLiteral(".png"));
    if (image.isNull() || size <= 0)
        return image;
    if (image.width() != size || image.height() != size)
        image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

QImage QMRamDiskFunctions::themeImage(const QString &iconName, int size)
{
    if (iconName.isEmpty() || size <= 0)
        return {};
    if (QFileInfo(iconName).isAbsolute()) {
        QImage image(iconName);
        if (!image.isNull() && (image.width() != size || image.height() != size))
            image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        return image;
    }
    // The icon theme renders through pixmaps, which only the GUI thread of a GUI program has.
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread())
        return {};
    const QIcon icon = QIcon::fromTheme(iconName);
    if (icon.isNull())
        return {};
    QImage image = icon.pixmap(size, size).toImage();
    if (!image.isNull() && (image.width() != size || image.height() != size))
        image = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}
