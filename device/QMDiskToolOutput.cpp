#include "QMDiskToolOutput.h"

#include "QMFormatRules.h"
#include "QMFunctions.h"
#include "QMPropertyList.h"

#include <QVariantList>

namespace {

QVariantMap dictionaryOf(const QString &stdOut)
{
    if (stdOut.isEmpty())
        return {};
    const auto root = QMPropertyList::fromData(stdOut.toUtf8());
    if (!root || root->metaType() != QMetaType::fromType<QVariantMap>())
        return {};
    return root->toMap();
}

bool isString(const QVariant &v)
{
    return v.metaType() == QMetaType::fromType<QString>();
}

// The one element of a "system-entities" array as a dictionary with a "dev-entry" string.
std::optional<QVariantMap> onlySystemEntity(const QVariant &entities)
{
    if (entities.metaType() != QMetaType::fromType<QVariantList>())
        return std::nullopt;
    const QVariantList list = entities.toList();
    if (list.size() != 1 || list.first().metaType() != QMetaType::fromType<QVariantMap>())
        return std::nullopt;
    const QVariantMap entity = list.first().toMap();
    if (!isString(entity.value(QStringLiteral("dev-entry"))))
        return std::nullopt;
    return entity;
}

} // namespace

QString QMDiskToolOutput::deviceNodeFromAttachOutput(const QString &stdOut)
{
    const auto entity = onlySystemEntity(dictionaryOf(stdOut).value(QStringLiteral("system-entities")));
    if (!entity)
        return {};
    const QString node = entity->value(QStringLiteral("dev-entry")).toString();
    return node.isEmpty() ? QString() : node;
}

QList<QVariantMap> QMDiskToolOutput::deviceRecordsFromInfoOutput(const QString &stdOut)
{
    QList<QVariantMap> records;
    const QVariant images = dictionaryOf(stdOut).value(QStringLiteral("images"));
    if (images.metaType() != QMetaType::fromType<QVariantList>())
        return records;
    for (const QVariant &image : images.toList()) {
        if (image.metaType() != QMetaType::fromType<QVariantMap>())
            continue;
        const QVariantMap dict = image.toMap();
        const QVariant imagePath = dict.value(QStringLiteral("image-path"));
        if (!isString(imagePath) || !imagePath.toString().startsWith(QLatin1String("ram://")))
            continue;
        const auto entity = onlySystemEntity(dict.value(QStringLiteral("system-entities")));
        if (!entity)
            continue;
        QVariantMap record;
        record.insert(QStringLiteral("devNode"), entity->value(QStringLiteral("dev-entry")).toString());
        const QVariant mountPoint = entity->value(QStringLiteral("mount-point"));
        if (isString(mountPoint) && !mountPoint.toString().isEmpty())
            record.insert(QStringLiteral("mountPoint"), mountPoint.toString());
        records.append(record);
    }
    return records;
}

bool QMDiskToolOutput::isFormatOutputValid(const QString &stdOut)
{
    const auto lines = QMFunctions::linesFromString(stdOut);
    if (!lines || lines->size() != 1)
        return false;
    const QString &line = lines->first();
    if (!line.contains(QLatin1String(" as a ")))
        return false;
    return (line.contains(QLatin1String("Initialized /dev/rdisk")) && line.contains(QLatin1String("HFS Plus volume")))
        || (line.contains(QLatin1String("Initialized /dev/loop")) && line.contains(QLatin1String("ext4 volume")))
        || (line.contains(QLatin1String("Initialized ") + QLatin1String(QMFormatRules::kMemoryInstancePrefix))
            && line.contains(QLatin1String("memory volume")));
}
