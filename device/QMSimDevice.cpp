#include "QMSimDevice.h"

#include "QMDirectoryStatistics.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMPropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariantMap>

#include <mutex>

namespace {
const QLatin1String kRuntimePrefix("com.apple.CoreSimulator.SimRuntime.iOS-");
const QLatin1String kDeviceTypePrefix("com.apple.CoreSimulator.SimDeviceType.");

std::mutex gDirMutex;
QString gDevicesDirOverride;

bool isString(const QVariant &v)
{
    return v.metaType() == QMetaType::fromType<QString>();
}
} // namespace

QString QMSimDevice::devicesDirPath()
{
    {
        std::lock_guard lock(gDirMutex);
        if (!gDevicesDirOverride.isNull())
            return gDevicesDirOverride;
    }
    static const QString path = QDir::homePath() + QStringLiteral("/Library/Developer/CoreSimulator/Devices");
    return path;
}

void QMSimDevice::setDevicesDirPathForTesting(const QString &path)
{
    std::lock_guard lock(gDirMutex);
    gDevicesDirOverride = path;
}

std::optional<QMSimDevice> QMSimDevice::simDeviceWithDirId(const QString &dirId)
{
    if (dirId.isEmpty() || dirId.startsWith(QLatin1Char('.')) || dirId.contains(QLatin1Char('/')))
        return std::nullopt;
    const QString devicePath = devicesDirPath() + QLatin1Char('/') + dirId;
    if (!QFileInfo(devicePath).isDir())
        return std::nullopt;

    const QString plistPath = devicePath + QStringLiteral("/device.plist");
    const auto plist = QMPropertyList::fromFile(plistPath);
    if (!plist || plist->metaType() != QMetaType::fromType<QVariantMap>()) {
        QM_LogErrorMethod("QMSimDevice", QStringLiteral("plist==nil plistPath:%1").arg(plistPath));
        return std::nullopt;
    }
    double modDate = 0;
    QMFunctions::getModDate1970(&modDate, plistPath);

    const QVariantMap description = plist->toMap();
    const QVariant runtime = description.value(QStringLiteral("runtime"));
    const QVariant deviceType = description.value(QStringLiteral("deviceType"));
    const QVariant name = description.value(QStringLiteral("name"));
    if (!isString(runtime) || !runtime.toString().startsWith(kRuntimePrefix))
        return std::nullopt;
    if (!isString(deviceType) || !isString(name) || !deviceType.toString().startsWith(kDeviceTypePrefix))
        return std::nullopt;

    QMSimDevice device;
    device._type = deviceType.toString().mid(kDeviceTypePrefix.size());
    device._dirId = dirId;
    device._name = name.toString();
    device._version = runtime.toString().mid(kRuntimePrefix.size());
    device._plistModDate = modDate;
    device._state = 0;
    const QByteArray library = QFile::encodeName(devicePath + QStringLiteral("/data/Library"));
    if (DirectoryContainsAtLeastFile(library.constData()) == QMScanFoundFile)
        device._state |= StateHasData;
    return device;
}

QString QMSimDevice::displayName() const
{
    if (!_name.isEmpty() && !_version.isEmpty())
        return QStringLiteral("%1 (%2)").arg(_name, _version);
    if (!_name.isEmpty())
        return _name;
    return _dirId;
}

QString QMSimDevice::description() const
{
    return QStringLiteral("<%1 %2 type:%3 dirId:%4 name:%5>")
        .arg(QStringLiteral("QMSimDevice"),
             QStringLiteral("0x") + QString::number(reinterpret_cast<quintptr>(this), 16), _type, _dirId, _name);
}
