#include "RamDiskConfigPresentation.h"

#include "QMRamDiskFunctions.h"
#include "QMRamDiskManager.h"
#include "QMVolumeCapacity.h"

#include <QCoreApplication>

QString RamDiskConfigPresentation::localized(const char *key)
{
    return QCoreApplication::translate("QMRamDiskLocalizable", key);
}

QString RamDiskConfigPresentation::localizedDefault(const char *key)
{
    return QCoreApplication::translate("Localizable", key);
}

QString RamDiskConfigPresentation::fill(QString text, const QStringList &values)
{
    qsizetype from = 0;
    for (const QString &value : values) {
        const qsizetype at = text.indexOf(QLatin1String("%@"), from);
        if (at < 0)
            break;
        text.replace(at, 2, value);
        from = at + value.size();
    }
    return text;
}

RamDiskConfigPresentation::Row RamDiskConfigPresentation::row(const QMRamDisk::Ptr &ramDisk)
{
    Row row;
    if (!ramDisk)
        return row;
    row.name = ramDisk->displayName();
    row.image = ramDisk->displayIcon(48);
    const qint64 status = ramDisk->status();
    const qint64 action = ramDisk->action();
    row.imageOpacity = status == QMRamDiskStatus_mounted ? 1.0 : 0.33;
    if (action != QMRamDiskAction_none) {
        row.subInfo = QMRamDiskManager::displayStringFromAction(action, ramDisk->lastActionInfo());
        if (row.subInfo.isNull())
            row.subInfo = QStringLiteral("");
        row.usage = -1;
    } else {
        row.subInfo = QMRamDiskFunctions::stringFromBytesWithBin1000Style(static_cast<qint64>(ramDisk->size()));
        row.usage = status == QMRamDiskStatus_mounted ? ramDisk->diskUsage() : -1;
    }
    row.toolTip = rowToolTip(ramDisk);
    return row;
}

QString RamDiskConfigPresentation::rowToolTip(const QMRamDisk::Ptr &ramDisk)
{
    if (!ramDisk)
        return {};
    QString tip = fill(localized("Name: %@"), {ramDisk->displayName()});
    tip += fill(localized("\nStatus: %@"), {ramDisk->displayStatus()});
    const QString mountDirectory = ramDisk->mountDirectory();
    if (ramDisk->status() == QMRamDiskStatus_mounted && !mountDirectory.isEmpty())
        tip += fill(localized("\nDirectory: %@"), {mountDirectory});
    return tip;
}

QList<RamDiskConfigPresentation::MenuItem>
RamDiskConfigPresentation::contextMenuItems(const QMRamDisk::Ptr &ramDisk, bool valid, bool hasDiskUtility)
{
    QList<MenuItem> items;
    if (!ramDisk || ramDisk->action() != QMRamDiskAction_none)
        return items;
    auto item = [](Command command, const QString &title, bool enabled) {
        MenuItem m;
        m.command = command;
        m.title = title;
        m.enabled = enabled;
        return m;
    };
    auto separator = [&items] {
        if (!items.isEmpty() && !items.last().separator) {
            MenuItem m;
            m.separator = true;
            items << m;
        }
    };

    const qint64 status = ramDisk->status();
    const qint64 backupMode = ramDisk->backupMode();
    const qint64 type = ramDisk->type();
    const bool baseSynchronized = backupMode == QMRamDiskBackupMode_baseSynchronized
                                  || type == QMRamDiskType_CoreSimulator;

    if (hasDiskUtility) {
        MenuItem m = item(OpenDiskUtility, localized("Open Disk Utility"), true);
        m.iconName = QStringLiteral("diskUtility");
        items << m;
    }
    separator();
    if (status == QMRamDiskStatus_notCreated) {
        MenuItem m = item(Create, localized("Create"), valid);
        m.iconTypeCode = QStringLiteral("rmov");
        items << m;
    }
    if (status == QMRamDiskStatus_created) {
        MenuItem m = item(Mount, localized("Mount"), valid);
        m.iconTypeCode = QStringLiteral("rmov");
        items << m;
    }
    if (status == QMRamDiskStatus_mounted) {
        MenuItem reveal = item(RevealInFinder, localized("Reveal in Finder"), true);
        reveal.iconTypeCode = QStringLiteral("FNDR");
        items << reveal;
        if (baseSynchronized) {
            separator();
            items << item(RevealBaseDirectory, localized("Reveal Base Directory"), true);
        }
        separator();
        MenuItem eject = item(Eject, localized("Eject"), valid);
        eject.iconTypeCode = QStringLiteral("ejec");
        items << eject;
        MenuItem rebuild = item(Rebuild, localized("Rebuild"), valid);
        rebuild.iconTypeCode = QStringLiteral("burn");
        items << rebuild;
        // Only a memory instance changes its size in place; a loop device needs ejecting.
        items << item(Resize, localizedDefault("Resize…"),
                      QMRamDeviceKindOfDevice(ramDisk->deviceNode()) == QMRamDeviceKind::MemoryInstance);
        if (baseSynchronized) {
            MenuItem sync = item(SynchroniseNow, localizedDefault("Synchronise Now"), true);
            sync.iconName = QStringLiteral("syncIcon");
            items << sync;
        } else if (backupMode == QMRamDiskBackupMode_defaultLocation
                   || backupMode == QMRamDiskBackupMode_chosenDirectory) {
            MenuItem backup = item(BackupNow, localizedDefault("Backup Now"), true);
            backup.iconName = QStringLiteral("syncIcon");
            items << backup;
        }
    }
    separator();
    MenuItem caseSensitive = item(CaseSensitive, localized("Case Sensitive"), status == QMRamDiskStatus_notCreated);
    caseSensitive.checkable = true;
    caseSensitive.checked = ramDisk->format() == QMRamDiskFormat_caseSensitiveHFSPlus;
    items << caseSensitive;
    if (type == QMRamDiskType_CoreSimulator
        || (backupMode == QMRamDiskBackupMode_baseSynchronized && !ramDisk->mountDirectory().isEmpty())) {
        MenuItem calculate =
            item(CalculateBaseSize, localized("Calculate Base Size"), status == QMRamDiskStatus_notCreated);
        calculate.checkable = true;
        calculate.checked = !ramDisk->doNotCalculateBaseSize();
        items << calculate;
    }
    return items;
}

RamDiskConfigPresentation::RamDiskCommand RamDiskConfigPresentation::ramDiskCommand(const QMRamDisk::Ptr &ramDisk,
                                                                                   bool valid)
{
    RamDiskCommand c;
    c.title = localized("Create");
    c.iconTypeCode = QStringLiteral("rmov");
    if (!ramDisk)
        return c;
    auto set = [&c](Command command) {
        c.command = command;
        switch (command) {
        case Mount:
            c.title = localized("Mount");
            c.iconTypeCode = QStringLiteral("rmov");
            break;
        case Eject:
            c.title = localized("Eject");
            c.iconTypeCode = QStringLiteral("ejec");
            break;
        default:
            c.title = localized("Create");
            c.iconTypeCode = QStringLiteral("rmov");
            break;
        }
    };
    const qint64 action = ramDisk->action();
    const bool busy = action != QMRamDiskAction_none && action <= QMRamDiskAction_last;
    if (busy) {
        // The title follows the running action; synchronising and backing up keep it.
        switch (action) {
        case QMRamDiskAction_create: set(Create); break;
        case QMRamDiskAction_remount: set(Mount); break;
        case QMRamDiskAction_eject:
        case QMRamDiskAction_cleanUpFiles:
        case QMRamDiskAction_rebuild: set(Eject); break;
        default: set(Eject); break;
        }
        c.enabled = false;
        return c;
    }
    switch (ramDisk->status()) {
    case QMRamDiskStatus_mounted: set(Eject); break;
    case QMRamDiskStatus_created: set(Mount); break;
    default: set(Create); break;
    }
    c.enabled = valid;
    return c;
}

QString RamDiskConfigPresentation::removalText(bool created, bool savesToAppSupport, bool backupHoldsFiles,
                                               quint64 backupBytes)
{
    const QString size = QMRamDiskFunctions::stringFromBytesWithBin1000Style(static_cast<qint64>(backupBytes));
    QStringList text;
    if (created && savesToAppSupport)
        text << fill(localizedDefault("Its files are saved to its backup in Quilmo's folder first; the backup (%@ now) "
                                      "then goes to the trash."),
                     {backupHoldsFiles ? size : localizedDefault("empty")});
    else if (backupHoldsFiles)
        text << fill(localizedDefault("Its backup in Quilmo's folder (%@) goes to the trash."), {size});
    if (created)
        text << localized("This opereation cannot be canceled."); // the key; its text is "This cannot be undone."
    return text.join(u' ');
}

namespace {

QString memoryBytes(quint64 v)
{
    return QMRamDiskFunctions::stringFromBytesWithBin1024Style(static_cast<qint64>(v));
}

// The summary with the optional figures asked for, when they are not 0.
QString summaryOf(const QMMemoryStatistics &s, bool purgeable, bool compressed)
{
    using P = RamDiskConfigPresentation;
    QString text = P::fill(P::localized("%@ wired, %@ free"), {memoryBytes(s.wired), memoryBytes(s.free)});
    if (purgeable && s.purgeable != 0)
        text += P::fill(P::localized(", %@ purgeable"), {memoryBytes(s.purgeable)});
    if (compressed && s.compressed != 0)
        text += P::fill(P::localized(", %@ compressed"), {memoryBytes(s.compressed)});
    return text;
}

} // namespace

QString RamDiskConfigPresentation::memorySummary(const QMMemoryStatistics &s)
{
    return summaryOf(s, true, true);
}

QStringList RamDiskConfigPresentation::shorterMemorySummaries(const QMMemoryStatistics &s)
{
    QStringList shorter;
    if (s.compressed != 0)
        shorter << summaryOf(s, true, false);
    if (s.purgeable != 0)
        shorter << summaryOf(s, false, false);
    shorter << fill(localized("%@ free"), {memoryBytes(s.free)});
    shorter.removeAll(memorySummary(s));
    shorter.removeDuplicates();
    return shorter;
}

QString RamDiskConfigPresentation::memorySummaryToolTip(const QString &summary)
{
    QString tip = summary;
    tip.replace(QStringLiteral(", "), QStringLiteral("\n"));
    return tip;
}
