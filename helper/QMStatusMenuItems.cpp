#include "QMStatusMenuItems.h"

#include "QMFinderTools.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskFunctions.h"
#include "QMRamDiskManager.h"
#include "QMTranslations.h"
#include "QMVolumeCapacity.h"

#include <QDir>

namespace {

const char *const kRamDiskTable = "QMRamDiskLocalizable";

QMStatusMenuItem separator()
{
    QMStatusMenuItem item;
    item.kind = QMStatusMenuItem::Separator;
    return item;
}

QMStatusMenuItem item(const char *key, const char *table, QMStatusMenuSelector selector, bool enabled = true,
                      qint64 tag = 0)
{
    QMStatusMenuItem i;
    i.key = QString::fromUtf8(key);
    i.title = QMTranslations::localizedString(key, table);
    i.selector = selector;
    i.enabled = enabled;
    i.tag = tag;
    return i;
}

QMStatusMenuItem info(const QString &key, const QString &title)
{
    QMStatusMenuItem i;
    i.key = key;
    i.title = title;
    i.enabled = false;
    return i;
}

bool isSynchronizedKind(qint64 type, qint64 backupMode)
{
    return type == QMRamDiskType_CoreSimulator || backupMode == QMRamDiskBackupMode_baseSynchronized;
}

bool isBackedUpKind(qint64 backupMode)
{
    return backupMode == QMRamDiskBackupMode_defaultLocation || backupMode == QMRamDiskBackupMode_chosenDirectory;
}

bool isMountedAndIdle(const QMRamDisk::Ptr &r)
{
    return r->status() == QMRamDiskStatus_mounted && r->action() == QMRamDiskAction_none;
}

} // namespace

bool QMStatusMenuItems::isSynchronizingCandidate(const QMRamDisk::Ptr &r)
{
    return r && isMountedAndIdle(r) && isSynchronizedKind(r->type(), r->backupMode());
}

bool QMStatusMenuItems::isBackupCandidate(const QMRamDisk::Ptr &r)
{
    return r && isMountedAndIdle(r) && !isSynchronizedKind(r->type(), r->backupMode()) && isBackedUpKind(r->backupMode());
}

QString QMStatusMenuItems::escapedMenuText(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QLatin1String("&&"));
    return escaped;
}

QString QMStatusMenuItems::memoryLine(const char *labelKey, quint64 bytes)
{
    // Two levels of indentation under "Memory Statistics"; spaces survive exported menus.
    return QStringLiteral("\u2003\u2003%1%2 %3")
        .arg(QMTranslations::localizedString(labelKey, kRamDiskTable),
             QMTranslations::localizedString("LOC_:", kRamDiskTable),
             QMRamDiskFunctions::stringFromBytesWithBin1024Style(static_cast<qint64>(bytes)));
}

QList<QMStatusMenuItem> QMStatusMenuItems::rootMenu(const QList<QMRamDisk::Ptr> &ramDisks,
                                                    const std::optional<QMMemoryStatistics> &memory, bool canPurge)
{
    QList<QMStatusMenuItem> items;
    QMStatusMenuItem open = item("Open Quilmo", nullptr, QMStatusMenuSelector::OpenRamDiskApp);
    open.iconName = QStringLiteral("QuilmoApp");
    items << open;

    if (memory) {
        items << separator();
        items << info(QStringLiteral("Memory Statistics"),
                      QMTranslations::localizedString("Memory Statistics", kRamDiskTable));
        items << info(QStringLiteral("Wired"), memoryLine("Wired", memory->wired));
        items << info(QStringLiteral("Free"), memoryLine("Free", memory->free));
        if (memory->purgeable != 0)
            items << info(QStringLiteral("Purgeable"), memoryLine("Purgeable", memory->purgeable));
        if (memory->compressed != 0)
            items << info(QStringLiteral("Compressed"), memoryLine("Compressed", memory->compressed));
    }

    if (canPurge) {
        items << separator();
        items << item("Free Up Inactive Memory", kRamDiskTable, QMStatusMenuSelector::PurgeMacMemory);
    }

    if (!ramDisks.isEmpty()) {
        bool anyNotCreated = false, anyCreated = false, anySync = false, anyBackup = false;
        for (const QMRamDisk::Ptr &r : ramDisks) {
            const qint64 status = r->status();
            anyNotCreated = anyNotCreated || status == QMRamDiskStatus_notCreated;
            anyCreated = anyCreated || status == QMRamDiskStatus_created || status == QMRamDiskStatus_mounted;
            anySync = anySync || isSynchronizingCandidate(r);
            anyBackup = anyBackup || isBackupCandidate(r);
        }
        items << separator();
        items << item("Create All", nullptr, QMStatusMenuSelector::PerformAllAction, anyNotCreated, 1);
        items << item("Eject All", nullptr, QMStatusMenuSelector::PerformAllAction, anyCreated, 2);
        if (anySync)
            items << item("Synchronise All", nullptr, QMStatusMenuSelector::PerformAllAction, true, 3);
        if (anyBackup)
            items << item("Backup All", nullptr, QMStatusMenuSelector::PerformAllAction, true, 4);

        items << separator();
        for (const QMRamDisk::Ptr &r : ramDisks) {
            QMStatusMenuItem row;
            row.kind = QMStatusMenuItem::RamDiskRow;
            row.key = r->identifier();
            row.title = r->displayName();
            row.selector = QMStatusMenuSelector::OpenRamDisk;
            row.enabled = r->action() == QMRamDiskAction_none;
            row.ramDisk = r;
            items << row;
        }
    } else {
        items << item("No RamDisk", nullptr, QMStatusMenuSelector::None, false);
    }

    items << separator();
    items << item("Quit Quilmo Menu", nullptr, QMStatusMenuSelector::QuitHelper);
    return items;
}

QList<QMStatusMenuItem> QMStatusMenuItems::ramDiskMenu(const QMRamDisk::Ptr &r)
{
    QList<QMStatusMenuItem> items;
    if (!r)
        return items;
    // A RAM disk that became busy after the menu was built (a scheduled save, an action
    // of Quilmo or quilmoctl) says so; its actions wait, as the engine would refuse them.
    const qint64 running = r->action();
    const QString busy = running != QMRamDiskAction_none
                             ? QMRamDiskManager::displayStringFromAction(running, r->lastActionInfo())
                             : QString();
    auto add = [&](const char *key, const char *table, QMStatusMenuSelector selector, qint64 tag, bool enabled,
                   const QString &toolTip, const char *icon) {
        QMStatusMenuItem i = item(key, table, selector, enabled && busy.isNull(), tag);
        i.toolTip = busy.isNull() ? toolTip : busy;
        i.iconName = QString::fromLatin1(icon);
        i.ramDisk = r;
        items << i;
    };
    if (!busy.isNull())
        items << info(QStringLiteral("Busy"), busy.isEmpty() ? QMTranslations::localizedString("Busy", kRamDiskTable) : busy);

    const qint64 status = r->status();
    const qint64 type = r->type();
    const qint64 backupMode = r->backupMode();
    if (status == QMRamDiskStatus_created) {
        QString application;
        const bool isRunning = QMRamDiskManager::hasRunningAppForType(type, &application);
        add("Mount", kRamDiskTable, QMStatusMenuSelector::StatusMount, 0, !isRunning, application, "rmov");
        return items;
    }

    QString invalid;
    const bool valid = QMRamDiskManager::canCreateWithName(r->name(), r->size(), type, r->mountDirectory(), &invalid);
    if (status != QMRamDiskStatus_mounted) {
        add("Create", kRamDiskTable, QMStatusMenuSelector::Menu, 2, valid, invalid, "rmov");
        return items;
    }
    // Its folder stays open to the user whatever runs on it.
    QMStatusMenuItem open = item("Open in File Manager", nullptr, QMStatusMenuSelector::OpenRamDisk);
    open.iconName = QStringLiteral("FNDR");
    open.ramDisk = r;
    items << open << separator();
    add("Eject", kRamDiskTable, QMStatusMenuSelector::StatusEject, 0, valid, invalid, "ejec");
    add("Rebuild", kRamDiskTable, QMStatusMenuSelector::Rebuild, 0, valid, invalid, "burn");
    if (const quint64 target = growTarget(r)) {
        QMStatusMenuItem grow = item("Grow to %@", nullptr, QMStatusMenuSelector::Grow, busy.isNull(), qint64(target));
        // The size as the window shows it, in units of 1,000,000 bytes.
        grow.title.replace(QStringLiteral("%@"), QMTranslations::localizedString("%.0f Mo", kRamDiskTable)
                                                     .replace(QStringLiteral("%.0f"), QString::number(target / 1000000)));
        grow.toolTip = busy.isNull() ? QMTranslations::localizedString("It keeps its files and stays mounted") : busy;
        grow.iconName = QStringLiteral("rmov");
        grow.ramDisk = r;
        items << grow;
    }
    if (isSynchronizedKind(type, backupMode))
        add("Synchronise Now", nullptr, QMStatusMenuSelector::BackupNow, 2, true, QString(), "syncIcon");
    else if (isBackedUpKind(backupMode))
        add("Backup Now", nullptr, QMStatusMenuSelector::BackupNow, 1, true, QString(), "syncIcon");
    if (type != QMRamDiskType_CoreSimulator)
        add("Delete All Files", nullptr, QMStatusMenuSelector::CleanUp, 0, valid, invalid, "ftrh");
    return items;
}

quint64 QMStatusMenuItems::growTarget(const QMRamDisk::Ptr &r)
{
    if (!r || r->status() != QMRamDiskStatus_mounted || r->diskUsage() <= warningUsage
        || QMRamDeviceKindOfDevice(r->deviceNode()) != QMRamDeviceKind::MemoryInstance)
        return 0;
    const quint64 target = QMRamDiskManager::nextSizeStep(r->size());
    return target && !r->checkCanResizeTo(target) ? target : 0;
}

QString QMStatusMenuItems::rowStateLine(const QMRamDisk::Ptr &r, double now)
{
    if (!r)
        return {};
    if (const qint64 running = r->action(); running != QMRamDiskAction_none)
        return QMRamDiskManager::displayStringFromAction(running, r->lastActionInfo());
    if (r->status() == QMRamDiskStatus_mounted && QMRamDiskAutoSave::saveActionOf(r) != QMRamDiskAction_none)
        return QMRamDiskAutoSave::savedText(r->lastSaveDate(), now);
    return {};
}

QString QMStatusMenuItems::rowText(const QMRamDisk::Ptr &r, double now)
{
    if (!r)
        return {};
    QString text = escapedMenuText(r->displayName());
    const QString state = rowStateLine(r, now);
    if (!state.isEmpty())
        text += QStringLiteral(" \u2014 ") + escapedMenuText(state);
    return text;
}

QList<QMRamDisk::Ptr> QMStatusMenuItems::targetsOfAllAction(qint64 tag, const QList<QMRamDisk::Ptr> &ramDisks)
{
    QList<QMRamDisk::Ptr> targets;
    for (const QMRamDisk::Ptr &r : ramDisks) {
        const qint64 status = r->status();
        bool take = false;
        switch (tag) {
        // A RAM disk busy with another action would only raise the engine's refusal.
        case 1:
            take = status == QMRamDiskStatus_notCreated && r->action() == QMRamDiskAction_none
                   && !QMRamDiskManager::hasRunningAppForType(r->type(), nullptr);
            break;
        case 2:
            take = isMountedAndIdle(r) && !QMRamDiskManager::hasRunningAppForType(r->type(), nullptr);
            break;
        case 3:
            take = isMountedAndIdle(r) && isSynchronizedKind(r->type(), r->backupMode());
            break;
        case 4:
            take = isMountedAndIdle(r) && isBackedUpKind(r->backupMode());
            break;
        default:
            return {};
        }
        if (take)
            targets << r;
    }
    return targets;
}

bool QMStatusMenuItems::diskWarning(const QList<QMRamDisk::Ptr> &ramDisks)
{
    for (const QMRamDisk::Ptr &r : ramDisks)
        if (isMountedAndIdle(r) && r->diskUsage() > warningUsage)
            return true;
    return false;
}
