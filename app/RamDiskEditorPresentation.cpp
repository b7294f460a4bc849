#include "RamDiskEditorPresentation.h"

#include "QMFunctions.h"
#include "QMKernelFeatures.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskManager.h"
#include "RamDiskConfigPresentation.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>

namespace {

using P = RamDiskConfigPresentation;
using E = RamDiskEditorPresentation;

E::MenuItem separator()
{
    E::MenuItem item;
    item.separator = true;
    return item;
}

E::MenuItem item(const QString &title, int tag, bool enabled = true)
{
    E::MenuItem m;
    m.title = title;
    m.tag = tag;
    m.enabled = enabled;
    return m;
}

bool endsWithSeparator(const E::Menu &menu)
{
    return !menu.items.isEmpty() && menu.items.last().separator;
}

int indexOfTag(const E::Menu &menu, int tag)
{
    for (int i = 0; i < menu.items.size(); ++i)
        if (!menu.items.at(i).separator && menu.items.at(i).tag == tag)
            return i;
    return -1;
}

// True when `path` is `base` or lies below it, comparing whole components.
bool isSameOrBelow(const QString &path, const QString &base)
{
    if (path.isEmpty() || base.isEmpty())
        return false;
    if (path == base)
        return true;
    const QString prefix = base.endsWith(QLatin1Char('/')) ? base : base + QLatin1Char('/');
    return path.startsWith(prefix);
}

// The path as written (made absolute and clean) and where it really leads.
QStringList spellings(const QString &path)
{
    QStringList all{QDir::cleanPath(QDir(path).absolutePath())};
    // The nearest existing ancestor leads to where a path not yet made would be.
    QString existing = all.first();
    QString rest;
    while (!existing.isEmpty() && !QFileInfo::exists(existing) && existing != QLatin1String("/")) {
        rest.prepend(QLatin1Char('/') + QFileInfo(existing).fileName());
        existing = QFileInfo(existing).path();
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    if (!canonical.isEmpty()) {
        const QString real = QDir::cleanPath(canonical + rest);
        if (!all.contains(real))
            all << real;
    }
    return all;
}

} // namespace

// ---- Type menu --------------------------------------------------------------------------

bool RamDiskEditorPresentation::addType(qint64 type, const QString &identifier, const char *key, qint64 currentType,
                                        bool withSeparator, const QList<QMRamDisk::Ptr> &all, Menu *menu)
{
    MenuItem entry = item(P::localized(key), int(type));
    entry.imageType = type;
    const bool own = type == QMRamDiskType_default || type == currentType
                     || (type == QMRamDiskType_Safari && currentType == QMRamDiskType_unassigned);
    if (!own) {
        // Each preset at most once: Safari's also counts the unassigned type.
        for (const QMRamDisk::Ptr &other : all) {
            if (!other || other->identifier() == identifier)
                continue;
            const qint64 t = other->type();
            const bool uses = type == QMRamDiskType_Safari ? (t == QMRamDiskType_unassigned || t == QMRamDiskType_Safari)
                                                           : t == type;
            if (uses) {
                entry.enabled = false;
                entry.toolTip = P::fill(P::localizedDefault("Already used by the RAM disk \"%@\""), {other->name()});
                break;
            }
        }
        if (entry.enabled) {
            const std::optional<QVariantMap> infos = QMRamDiskManager::creationInfosOfRamDiskType(type, QString());
            const qint64 status = infos ? infos->value(QStringLiteral("status")).toLongLong() : -1;
            if (status != 0 && status != 1)
                return false; // not offered here
            entry.enabled = status == 1;
            // Why not, or which installation of the browser the preset takes.
            entry.toolTip = infos->value(status == 0 ? QStringLiteral("reason") : QStringLiteral("application")).toString();
        }
    } else if (type != QMRamDiskType_default) {
        if (const auto infos = QMRamDiskManager::creationInfosOfRamDiskType(type, QString()))
            entry.toolTip = infos->value(QStringLiteral("application")).toString();
    }
    if (withSeparator && !menu->items.isEmpty() && !endsWithSeparator(*menu))
        menu->items << separator();
    menu->items << entry;
    return true;
}

RamDiskEditorPresentation::Menu RamDiskEditorPresentation::typeMenu(const QMRamDisk::Ptr &ramDisk,
                                                                     const QList<QMRamDisk::Ptr> &all,
                                                                     const QList<QMSimDevice> &devices)
{
    Menu menu;
    if (!ramDisk)
        return menu;
    const QString identifier = ramDisk->identifier();
    const qint64 current = ramDisk->type();
    // Each group (browsers, developer presets) is set apart by one separator, before the
    // first of its entries this machine offers: Safari is never offered here, Firefox is.
    bool groupStarts = false;
    auto add = [&](qint64 type, const char *key) {
        if (addType(type, identifier, key, current, groupStarts, all, &menu))
            groupStarts = false;
    };
    add(QMRamDiskType_default, "QMRamDiskType_default");
    groupStarts = true;
    add(QMRamDiskType_Safari, "QMRamDiskType_Safari");
    add(QMRamDiskType_Firefox, "QMRamDiskType_Firefox");
    add(QMRamDiskType_Chrome, "QMRamDiskType_Chrome");
    add(QMRamDiskType_Chromium, "QMRamDiskType_Chromium");
    groupStarts = true;
    add(QMRamDiskType_XcodeBuild, "QMRamDiskType_XcodeBuild");
    add(QMRamDiskType_IOsSimulator, "QMRamDiskType_IOsSimulator");
    add(QMRamDiskType_CoreSimulator, "QMRamDiskType_CoreSimulator");
    if (!devices.isEmpty() && groupStarts && !menu.items.isEmpty() && !endsWithSeparator(menu))
        menu.items << separator();
    for (const QMSimDevice &device : devices) {
        MenuItem entry = item(device.displayName(), QMRamDiskType_CoreSimulator);
        entry.indented = true;
        entry.simDirId = device.dirId();
        entry.imageType = QMRamDiskType_CoreSimulator;
        menu.items << entry;
        groupStarts = false;
    }
    add(QMRamDiskType_AppCodeCaches, "QMRamDiskType_AppCodeCaches");

    // The unassigned type shows as custom.
    const int selectedTag = current == QMRamDiskType_unassigned ? int(QMRamDiskType_default) : int(current);
    const QString simId = ramDisk->simId();
    if (current == QMRamDiskType_CoreSimulator && !simId.isEmpty()) {
        for (int i = 0; i < menu.items.size(); ++i)
            if (!menu.items.at(i).simDirId.isEmpty() && menu.items.at(i).simDirId == simId) {
                menu.selected = i;
                break;
            }
    }
    if (menu.selected < 0) {
        for (int i = 0; i < menu.items.size(); ++i) {
            const MenuItem &m = menu.items.at(i);
            if (!m.separator && m.simDirId.isEmpty() && m.tag == selectedTag) {
                menu.selected = i;
                break;
            }
        }
    }
    return menu;
}

// ---- Mount-point menu -------------------------------------------------------------------

RamDiskEditorPresentation::Menu RamDiskEditorPresentation::mountPointMenu(const QString &mountDirectory, qint64 type,
                                                                           qint64 action, qint64 status)
{
    Menu menu;
    const bool notCreated = status == QMRamDiskStatus_notCreated;
    if (type == QMRamDiskType_default) {
        MenuItem def = item(P::localized("Default (Recommended)"), MountDefault, notCreated);
        def.iconName = QStringLiteral("computer");
        menu.items << def;
        if (notCreated) {
            menu.items << separator();
            menu.items << item(P::localized("Choose…"), MountChoose);
        }
    }
    if (!mountDirectory.isEmpty()) {
        bool first = true;
        for (QString path = QDir::cleanPath(mountDirectory); path.startsWith(QLatin1Char('/'));) {
            if (first && !menu.items.isEmpty())
                menu.items << separator();
            MenuItem dir = item(displayNameOfPath(path), MountDirectory, notCreated && type == QMRamDiskType_default);
            dir.path = path;
            dir.iconName = iconNameOfPath(path);
            if (first)
                menu.selected = int(menu.items.size());
            menu.items << dir;
            first = false;
            if (path == QLatin1String("/"))
                break;
            path = QFileInfo(path).path();
        }
    }
    if (menu.selected < 0 && !menu.items.isEmpty())
        menu.selected = 0;
    menu.enabled = action == QMRamDiskAction_none;
    return menu;
}

// ---- Backup menu ------------------------------------------------------------------------

RamDiskEditorPresentation::Backup RamDiskEditorPresentation::backup(const QMRamDisk::Ptr &ramDisk)
{
    Backup b;
    if (!ramDisk)
        return b;
    const qint64 type = ramDisk->type();
    const qint64 mode = ramDisk->backupMode();
    if (type == QMRamDiskType_default || type == QMRamDiskType_unassigned) {
        b.menu.items << item(P::localized("Disabled"), BackupDisabled);
        b.menu.items << separator();
        b.menu.items << item(P::localized("Default Location"), BackupDefault);
        b.menu.items << item(P::localized("Base Synchronized"), BackupBase);
        const QString dir = ramDisk->backupDir();
        if (!dir.isEmpty()) {
            b.menu.items << separator();
            MenuItem chosen = item(displayNameOfPath(dir), BackupChosen);
            chosen.path = dir;
            chosen.iconName = iconNameOfPath(dir);
            chosen.toolTip = dir;
            b.menu.items << chosen;
        }
        b.menu.items << separator();
        b.menu.items << item(P::localized("Choose…"), BackupChoose);
        int tag = BackupDisabled;
        if (mode == QMRamDiskBackupMode_defaultLocation)
            tag = BackupDefault;
        else if (mode == QMRamDiskBackupMode_chosenDirectory)
            tag = BackupChosen;
        else if (mode == QMRamDiskBackupMode_baseSynchronized)
            tag = BackupBase;
        b.menu.selected = indexOfTag(b.menu, tag);
        if (b.menu.selected < 0)
            b.menu.selected = 0;
        b.text = P::localized("BACKUP_LABEL");
        return b;
    }
    b.menu.enabled = true;
    if (type == QMRamDiskType_CoreSimulator) {
        b.menu.items << item(P::localized("Base Directory"), BackupBase, false);
        b.text = P::localized("BACKUP_LABEL_CS");
    } else if (mode == QMRamDiskBackupMode_baseSynchronized) {
        // The browsers' caches are kept in step with the directory they cover.
        b.menu.items << item(P::localized("Base Synchronized"), BackupBase, false);
        b.text = P::localized("BACKUP_LABEL_BS");
    } else {
        b.menu.items << item(P::localized("Disabled"), BackupDisabled, false);
        b.text = P::localized("BACKUP_LABEL_NA");
        b.visible = false;
    }
    b.menu.selected = 0;
    return b;
}

qint64 RamDiskEditorPresentation::backupModeForTag(int tag)
{
    switch (tag) {
    case BackupDefault: return QMRamDiskBackupMode_defaultLocation;
    case BackupChosen: return QMRamDiskBackupMode_chosenDirectory;
    case BackupBase: return QMRamDiskBackupMode_baseSynchronized;
    case BackupChoose: return -1;
    default: return QMRamDiskBackupMode_disabled;
    }
}

// ---- "Save every" menu -----------------------------------------------------------------

bool RamDiskEditorPresentation::saves(const QMRamDisk::Ptr &ramDisk)
{
    return QMRamDiskAutoSave::saveActionOf(ramDisk) != QMRamDiskAction_none;
}

QString RamDiskEditorPresentation::autoSaveTitle(qint64 seconds)
{
    if (seconds <= 0)
        return P::localizedDefault("Off");
    if (seconds % 60 == 0)
        return seconds == 60 ? P::localizedDefault("1 minute")
                             : P::localizedDefault("%1 minutes").arg(seconds / 60);
    return P::localizedDefault("%1 seconds").arg(seconds);
}

RamDiskEditorPresentation::Menu RamDiskEditorPresentation::autoSaveMenu(const QMRamDisk::Ptr &ramDisk)
{
    Menu menu;
    const bool saved = saves(ramDisk);
    const qint64 current = saved ? ramDisk->autoSaveInterval() : 0;
    QList<qint64> choices = QMRamDiskAutoSave::intervalChoices();
    if (!choices.contains(current)) {
        choices << current;
        std::sort(choices.begin(), choices.end());
    }
    for (const qint64 seconds : choices) {
        const bool offered = QMRamDiskAutoSave::intervalChoices().contains(seconds);
        if (seconds == current)
            menu.selected = int(menu.items.size());
        menu.items << item(autoSaveTitle(seconds), offered ? int(seconds) : AutoSaveKept);
    }
    menu.enabled = saved;
    return menu;
}

qint64 RamDiskEditorPresentation::autoSaveIntervalAfterEdit(const QMRamDisk::Ptr &ramDisk, bool savedBefore)
{
    if (!saves(ramDisk))
        return 0;
    return savedBefore ? ramDisk->autoSaveInterval() : QMRamDisk::defaultAutoSaveInterval;
}

// ---- Enabling ---------------------------------------------------------------------------

RamDiskEditorPresentation::State RamDiskEditorPresentation::state(const QMRamDisk::Ptr &ramDisk)
{
    State s;
    if (!ramDisk)
        return s;
    const qint64 action = ramDisk->action();
    const qint64 status = ramDisk->status();
    const qint64 type = ramDisk->type();
    const bool idle = action == QMRamDiskAction_none;
    const bool notCreated = status == QMRamDiskStatus_notCreated;
    s.busy = !idle;
    s.image = idle;
    // The type replaces name, size and mount directory: never while an action runs on them.
    s.type = notCreated && idle;
    s.name = notCreated && idle && (type == QMRamDiskType_default || type == QMRamDiskType_unassigned);
    s.capacity = idle;
    // A mounted memory instance takes a new size in place; a loop device only shows its use.
    const bool resizable = status == QMRamDiskStatus_mounted
                           && QMRamDeviceKindOfDevice(ramDisk->deviceNode()) == QMRamDeviceKind::MemoryInstance;
    s.sliderVisible = status != QMRamDiskStatus_mounted || resizable;
    s.usageVisible = status == QMRamDiskStatus_mounted;
    s.resizeVisible = resizable;
    s.mountPoint = idle;
    s.createAtLogin = true;
    s.preferWired = notCreated && idle;
    s.postCommand = idle;
    s.indexing = notCreated && idle;
    s.backup = true;
    s.autoSave = s.backup && saves(ramDisk);
    return s;
}

// ---- Options ------------------------------------------------------------------------------

bool E::preferWiredShown()
{
    return QMKernelFeatures::wiredMemory();
}

const char *E::optionsLabelKey()
{
    return preferWiredShown() ? "Options" : "Auto-Create";
}

QString E::caseNote(const QMRamDisk::Ptr &ramDisk)
{
    if (!ramDisk || ramDisk->format() == QMRamDiskFormat_caseSensitiveHFSPlus || !ramDisk->isCaseSensitive())
        return {};
    return P::localized("Names are case-sensitive: this kernel offers no case-insensitive names.");
}

// ---- Button and progress line -----------------------------------------------------------

RamDiskEditorPresentation::Command RamDiskEditorPresentation::command(const QMRamDisk::Ptr &ramDisk,
                                                                      std::optional<QPair<qint64, qint64>> otherProgram)
{
    return command(ramDisk, double(QDateTime::currentMSecsSinceEpoch()) / 1000.0, otherProgram);
}

RamDiskEditorPresentation::Command RamDiskEditorPresentation::command(const QMRamDisk::Ptr &ramDisk, double now,
                                                                      std::optional<QPair<qint64, qint64>> otherProgram)
{
    Command c;
    c.title = P::localized("Create");
    if (!ramDisk)
        return c;
    const bool elsewhere = otherProgram && ramDisk->action() == QMRamDiskAction_none;
    const qint64 action = elsewhere ? otherProgram->first : ramDisk->action();
    const qint64 status = ramDisk->status();
    const bool busy = action >= QMRamDiskAction_create && action <= QMRamDiskAction_last;
    auto titleForStatus = [status] {
        switch (status) {
        case QMRamDiskStatus_mounted: return P::localized("Eject");
        case QMRamDiskStatus_created: return P::localized("Mount");
        default: return P::localized("Create");
        }
    };
    if (busy) {
        c.animating = true;
        switch (action) {
        case QMRamDiskAction_create: c.title = P::localized("Create"); break;
        case QMRamDiskAction_remount: c.title = P::localized("Mount"); break;
        case QMRamDiskAction_eject:
        case QMRamDiskAction_cleanUpFiles:
        case QMRamDiskAction_rebuild: c.title = P::localized("Eject"); break;
        default: c.title = titleForStatus(); break; // synchronising and backing up keep it
        }
        c.progress = QMRamDiskManager::displayStringFromAction(action, elsewhere ? otherProgram->second
                                                                                : ramDisk->lastActionInfo());
        c.progressIsActive = true;
        c.enabled = false;
        return c;
    }
    c.title = titleForStatus();
    QString message;
    const bool valid = QMRamDiskManager::canCreateWithName(ramDisk->name(), ramDisk->size(), ramDisk->type(),
                                                           ramDisk->mountDirectory(), &message);
    c.progress = valid ? QString() : message;
    c.enabled = valid && action == QMRamDiskAction_none;
    // What is at stake when nothing runs: how much work a crash would take with it.
    if (valid && action == QMRamDiskAction_none && saves(ramDisk)) {
        c.progress = QMRamDiskAutoSave::savedText(ramDisk->lastSaveDate(), now);
        c.progressIsSaveDate = true;
    }
    return c;
}

// ---- Capacity ---------------------------------------------------------------------------

int RamDiskEditorPresentation::sliderMaximum(quint64 physicalMemory)
{
    return int(std::rint(double(physicalMemory) * 7.5e-7));
}

quint64 RamDiskEditorPresentation::sizeForSliderValue(double value)
{
    constexpr quint64 step = 128000000ULL;
    const double rounded = std::rint(value);
    const quint64 bytes = rounded > 0 ? quint64(rounded) * 1000000ULL : 0;
    const quint64 steps = std::max<quint64>(1, (bytes + step - 1) / step);
    return steps * step;
}

QString RamDiskEditorPresentation::sizeText(quint64 size)
{
    QString text = P::localized("%.0f Mo");
    text.replace(QStringLiteral("%.0f"), QString::number(double(size) * 1e-6, 'f', 0));
    return text;
}

RamDiskEditorPresentation::Resize RamDiskEditorPresentation::resize(const QMRamDisk::Ptr &ramDisk, quint64 size)
{
    Resize r;
    if (!ramDisk || !ramDisk->canResizeInPlace() || size == ramDisk->size())
        return r;
    if (const QMError::Ptr refusal = ramDisk->checkCanResizeTo(size)) {
        r.toolTip = refusal->message();
        return r;
    }
    r.enabled = true;
    r.toolTip = P::fill(P::localizedDefault("Resize the mounted RAM disk to %@, keeping its files"), {sizeText(size)});
    return r;
}

QString RamDiskEditorPresentation::usageToolTip(quint64 size, quint64 volFree)
{
    const quint64 used = size > volFree ? size - volFree : 0;
    return P::fill(P::localizedDefault("Free: %@\nUsed: %@"),
                   {QMFunctions::stringFromBytesWithBin1024Style(qint64(volFree)),
                    QMFunctions::stringFromBytesWithBin1024Style(qint64(used))});
}

// ---- Places -----------------------------------------------------------------------------

QString RamDiskEditorPresentation::displayNameOfPath(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    if (clean == QLatin1String("/"))
        return P::localizedDefault("Computer");
    if (clean == QDir::cleanPath(QDir::homePath()))
        return P::localizedDefault("Home");
    const QString name = QFileInfo(clean).fileName();
    return name.isEmpty() ? clean : name;
}

QString RamDiskEditorPresentation::iconNameOfPath(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    if (clean == QLatin1String("/"))
        return QStringLiteral("computer");
    if (clean == QDir::cleanPath(QDir::homePath()))
        return QStringLiteral("user-home");
    static const std::pair<QStandardPaths::StandardLocation, const char *> userDirs[] = {
        {QStandardPaths::DesktopLocation, "user-desktop"},     {QStandardPaths::DocumentsLocation, "folder-documents"},
        {QStandardPaths::DownloadLocation, "folder-download"}, {QStandardPaths::MusicLocation, "folder-music"},
        {QStandardPaths::PicturesLocation, "folder-pictures"}, {QStandardPaths::MoviesLocation, "folder-videos"},
    };
    for (const auto &[location, name] : userDirs) {
        const QString dir = QStandardPaths::writableLocation(location);
        if (!dir.isEmpty() && QDir::cleanPath(dir) == clean && clean != QDir::cleanPath(QDir::homePath()))
            return QString::fromLatin1(name);
    }
    return QStringLiteral("folder");
}

QString RamDiskEditorPresentation::volumePath(const QMRamDisk::Ptr &ramDisk, bool planned)
{
    if (!ramDisk)
        return {};
    const QString path = ramDisk->path();
    if (ramDisk->status() != QMRamDiskStatus_notCreated && !path.isEmpty())
        return path;
    if (!planned)
        return {};
    const QString base = ramDisk->basePath();
    if (!base.isEmpty())
        return base;
    const QString name = ramDisk->name();
    if (name.isEmpty())
        return {};
    return QDir::cleanPath(QMRamDiskDevice::defaultVolumesDirectory() + QLatin1Char('/') + name);
}

bool RamDiskEditorPresentation::isInsideRamDisk(const QString &path, const QMRamDisk::Ptr &ramDisk, bool planned,
                                                QString *message)
{
    const QString volume = volumePath(ramDisk, planned);
    if (path.isEmpty() || volume.isEmpty())
        return false;
    const QStringList volumes = spellings(volume);
    for (const QString &p : spellings(path)) {
        for (const QString &v : volumes) {
            if (isSameOrBelow(p, v)) {
                if (message)
                    *message = P::localizedDefault("A folder inside the RAM disk itself cannot be chosen: what is "
                                                   "written there is lost when the RAM disk is ejected.");
                return true;
            }
        }
    }
    return false;
}
