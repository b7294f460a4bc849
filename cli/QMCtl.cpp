#include "QMCtl.h"

#include "QMCommandLine.h"
#include "QMCtlValues.h"
#include "QMKernelFeatures.h"
#include "QMLog.h"
#include "QMLogFile.h"
#include "QMMacInfo.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskFunctions.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskUtils.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

namespace {

struct CommandHelp
{
    const char *name;
    const char *synopsis;
    const char *summary; // one line, for the list of commands
    const char *text;
};

const char *kSettingsHelp =
    "  --size SIZE            capacity: 512M, 2G, 1.5G (decimal) or 512Mi, 2Gi (binary);\n"
    "                         at least %1 and at most %2\n"
    "  --mount-dir DIR        directory in which the volume is mounted as DIR/NAME\n"
    "                         (default: the desktop's volume directory)\n"
    "  --case-sensitive       case-sensitive file names\n"
    "  --case-insensitive     case-insensitive file names where the kernel supports it\n"
    "  --backup MODE          none, default (Quilmo's backup folder), base (keep the\n"
    "                         covered directory in step), or a directory for the backup\n"
    "  --post-command PATH    program run in the volume after creation\n"
    "  --post-arg ARG         an argument of the post-command (repeat for several)\n"
    "  --no-post-command      run nothing after creation\n"
    "  --index MODE           search indexing: default, on or off\n"
    "  --login, --no-login    create this RAM disk when the user logs in\n"
    "  --wired, --no-wired    keep the RAM disk's memory out of swap (up to 1 GiB, where\n"
    "                         the kernel can)\n"
    "  --autosave MINUTES     save a RAM disk with a backup mode every 5, 15, 30 or 60\n"
    "                         minutes while it is mounted (and before the session or\n"
    "                         the machine goes), or off; new ones start at 15\n";

const char *kTypeHelp =
    "  --type TYPE            a preset that puts an application's cache in memory:\n"
    "                         custom, firefox, chrome, chromium, safari, xcode-build,\n"
    "                         ios-simulator, core-simulator, appcode ('quilmoctl presets'\n"
    "                         tells which this machine offers). A preset gives the name,\n"
    "                         the mount directory, the size and the backup; --size,\n"
    "                         --case-*, --post-*, --index and --login still apply, and\n"
    "                         --mount-dir may name the preset's directory or a parent.\n"
    "                         Each preset is used by one RAM disk at most.\n";

const CommandHelp kCommands[] = {
    {"list", "list [--json]", "list the configured RAM disks",
     "Lists the configured RAM disks, with when each was last saved.\n"},
    {"presets", "presets [--all] [--json]", "list the presets this machine offers",
     "Lists the preset types this machine can offer: whether each is ready (and why not),\n"
     "the name, mount directory and size it gives, and the RAM disk that already uses it;\n"
     "for the browsers, the installation it serves (the default browser's) and its version.\n"
     "  --all                  also the presets whose application is not on this machine\n"
     "  --json                 the same as JSON\n"},
    {"add", "add [NAME] [--type TYPE] [settings]", "add a RAM disk (NAME, or a preset with --type)",
     "Adds a RAM disk. NAME is needed unless a preset (--type) gives it. Settings:\n"},
    {"set", "set NAME [--name NEWNAME] [--type TYPE] [settings]", "change the settings of a RAM disk",
     "Changes the settings of a RAM disk. --type works only while it is not created.\n"
     "--size on a mounted RAM disk resizes it in place, keeping its files (not on\n"
     "kernels where a RAM disk is a loop device: eject it first there).\n"
     "Settings:\n"},
    {"create", "create NAME|--all", "create and mount a RAM disk, filled from its backup",
     "Creates the RAM disk: attaches, formats, mounts and fills it.\n"},
    {"mount", "mount NAME|--all", "mount again a RAM disk whose volume was unmounted",
     "Mounts again a RAM disk whose volume was unmounted.\n"},
    {"eject", "eject NAME|--all [--force]", "save the contents, then eject the RAM disk",
     "Saves the contents as the backup mode says, then ejects the RAM disk.\n"
     "  --force   eject without saving, also while programs use it: the last complete\n"
     "            copy is kept as it is, and what was written since is lost\n"},
    {"rebuild", "rebuild NAME|--all", "eject and create the RAM disk again",
     "Ejects and creates the RAM disk again.\n"},
    {"backup", "backup NAME|--all [--force]", "copy the contents to the backup folder",
     "Copies the contents of the RAM disk to its backup folder.\n"
     "  --force   also when its contents are incomplete (its restore did not copy\n"
     "            everything): the complete copy is then replaced with them\n"},
    {"sync", "sync NAME|--all", "copy the contents back to the covered directory",
     "Copies the contents of a base-synchronised RAM disk to its base.\n"},
    {"clean", "clean NAME|--all", "delete every file of the RAM disk",
     "Removes every file of the RAM disk except the volume's own.\n"},
    {"remove", "remove NAME [--delete-backup]", "forget a RAM disk that is not created",
     "Removes a RAM disk that is not created. Its backup in Quilmo's folder, when it\n"
     "holds files, is moved to the trash, where it can be taken back; --delete-backup\n"
     "deletes it instead.\n"},
    {"status", "status NAME [--json]", "show the settings and state of a RAM disk",
     "Shows the settings and the state of a RAM disk.\n"},
    {"memory", "memory [--purge]", "show the memory summary, or free inactive memory",
     "Shows the memory summary; --purge frees inactive memory (asks for\n"
     "an administrator).\n"},
};

const CommandHelp *commandHelp(const QString &name)
{
    for (const CommandHelp &c : kCommands)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

qint64 actionOfCommand(const QString &command)
{
    if (command == QLatin1String("create")) return QMRamDiskAction_create;
    if (command == QLatin1String("mount")) return QMRamDiskAction_remount;
    if (command == QLatin1String("eject")) return QMRamDiskAction_eject;
    if (command == QLatin1String("rebuild")) return QMRamDiskAction_rebuild;
    if (command == QLatin1String("backup")) return QMRamDiskAction_backup;
    if (command == QLatin1String("sync")) return QMRamDiskAction_copyToBase;
    if (command == QLatin1String("clean")) return QMRamDiskAction_cleanUpFiles;
    return QMRamDiskAction_none;
}

// What a preset type means on this machine, with the RAM disk (other than `except`) that
// already uses it.
struct PresetState
{
    int status = -1; // 1 available, 0 shown but unavailable, other: not offered
    QString reason;
    QString name;
    QString mountDirectory;
    quint64 size = 0;
    qint64 backupMode = 0;
    QString application; // the browser's installation the preset uses, its version, where it is
    QString version;
    QString installation;
    QMRamDisk::Ptr usedBy;
};

PresetState presetState(qint64 type, const QList<QMRamDisk::Ptr> &ramDisks, const QMRamDisk::Ptr &except)
{
    PresetState p;
    if (const auto infos = QMRamDiskManager::creationInfosOfRamDiskType(type, QString())) {
        p.status = infos->value(QStringLiteral("status")).toInt();
        p.reason = infos->value(QStringLiteral("reason")).toString();
        p.name = infos->value(QStringLiteral("name")).toString();
        p.mountDirectory = infos->value(QStringLiteral("mountDirectory")).toString();
        p.size = infos->value(QStringLiteral("size")).toULongLong();
        p.backupMode = infos->value(QStringLiteral("backupMode")).toLongLong();
        p.application = infos->value(QStringLiteral("application")).toString();
        p.version = infos->value(QStringLiteral("version")).toString();
        p.installation = infos->value(QStringLiteral("installation")).toString();
    }
    if (type == QMRamDiskType_default)
        return p; // custom RAM disks are never "used up"
    for (const QMRamDisk::Ptr &r : ramDisks) {
        if (except && r->identifier() == except->identifier())
            continue;
        // A Safari RAM disk may still carry the retired number 1.
        const qint64 t = r->type();
        if (t == type || (type == QMRamDiskType_Safari && t == QMRamDiskType_unassigned)) {
            p.usedBy = r;
            break;
        }
    }
    return p;
}

QString presetStatusWord(int status)
{
    return status == 1 ? QStringLiteral("available") : status == 0 ? QStringLiteral("unavailable")
                                                                    : QStringLiteral("not offered");
}

// True when `dir` is `presetDir` or one of its parents: the places the windows' mount-point
// menu offers a preset.
bool isOnPresetPath(const QString &dir, const QString &presetDir)
{
    const QString d = QDir::cleanPath(dir);
    const QString p = QDir::cleanPath(presetDir);
    return d == p || d == QLatin1String("/") || p.startsWith(d + QLatin1Char('/'));
}

QString absolutePath(const QString &path)
{
    if (path.startsWith(QLatin1Char('~')))
        return QDir::cleanPath(QDir::homePath() + path.mid(1));
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

// Receives the store's reports on the action's thread: shows the step on a terminal and
// wakes the command when the action is over.
class QMCtl::Progress : public QMRamDiskEntriesDelegate
{
public:
    explicit Progress(QTextStream &err) : _err(err), _terminal(isatty(STDERR_FILENO) == 1) {}

    void ramDiskEntries(QMRamDiskEntries *entries, const QMRamDisk::Ptr &ramDisk) override
    {
        ramDiskEntriesDidReport(entries, ramDisk, ramDisk->report());
    }
    void ramDiskEntriesDidReport(QMRamDiskEntries *, const QMRamDisk::Ptr &ramDisk,
                                 const QMRamDiskReport &report) override
    {
        std::lock_guard lock(_mutex);
        if (_terminal && !report.isFinal()) {
            const QString step = QMRamDiskManager::displayStringFromAction(report.action, report.actionInfo);
            _err << "\r\033[K" << ramDisk->name() << ": " << step;
            _err.flush();
        }
        if (report.isFinal() && ramDisk == _watched) {
            _finished = true;
            _done.notify_all();
        }
    }
    void ramDiskEntriesUpdator(QMRamDiskEntries *, const QMRamDisk::Ptr &) override {}

    void watch(const QMRamDisk::Ptr &ramDisk)
    {
        std::lock_guard lock(_mutex);
        _watched = ramDisk;
        _finished = false;
    }

    void waitUntilFinished()
    {
        std::unique_lock lock(_mutex);
        _done.wait(lock, [this] { return _finished; });
        if (_terminal) {
            _err << "\r\033[K";
            _err.flush();
        }
        _watched.reset();
    }

private:
    QTextStream &_err;
    const bool _terminal;
    std::mutex _mutex;
    std::condition_variable _done;
    QMRamDisk::Ptr _watched;
    bool _finished = false;
};

QMCtl::QMCtl(QTextStream &out, QTextStream &err)
    : _out(out), _err(err), _progress(std::make_unique<Progress>(err))
{
}

QMCtl::~QMCtl() = default;

QString QMCtl::senderName()
{
    return QStringLiteral("quilmoctl");
}

int QMCtl::run(const QStringList &args)
{
    if (args.isEmpty() || args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h")
        || args.first() == QLatin1String("help"))
        return help(args.value(1));
    if (args.first() == QLatin1String("--version") || args.first() == QLatin1String("-v")) {
        _out << QMCommandLine::versionText(QStringLiteral("quilmoctl")) << "\n";
        _out.flush();
        return Success;
    }
    const QString command = args.first();
    const QStringList rest = args.mid(1);
    if (!commandHelp(command))
        return usage(QString(), QStringLiteral("unknown command \"%1\"").arg(command));
    if (rest.contains(QStringLiteral("--help")) || rest.contains(QStringLiteral("-h")))
        return help(command);

    if (command == QLatin1String("memory"))
        return memory(rest);
    // A change of the list is read, made and written under the file's lock, so that
    // programs changing it at the same time never work from the same old list.
    const bool changesList = command == QLatin1String("add") || command == QLatin1String("set")
                             || command == QLatin1String("remove");
    if (!load(changesList))
        return Failure;
    if (command == QLatin1String("list"))
        return list(rest);
    if (command == QLatin1String("presets"))
        return presets(rest);
    if (command == QLatin1String("add") || command == QLatin1String("set"))
        return addOrSet(command, rest);
    if (command == QLatin1String("remove"))
        return remove(rest);
    if (command == QLatin1String("status"))
        return status(rest);
    return action(command, rest);
}

int QMCtl::help(const QString &command)
{
    if (const CommandHelp *c = commandHelp(command)) {
        _out << "Usage: quilmoctl " << c->synopsis << "\n\n" << c->text;
        if (command == QLatin1String("add") || command == QLatin1String("set"))
            _out << QString::fromLatin1(kSettingsHelp)
                        .arg(QMCtlValues::sizeText(QMRamDiskManager::minimumSize),
                             QMCtlValues::sizeText(QMRamDiskManager::maximumSize))
                 << kTypeHelp;
        _out.flush();
        return Success;
    }
    _out << "Usage: quilmoctl COMMAND [ARGUMENTS]\n\nQuilmo's RAM disks from the command line.\n\nCommands:\n";
    for (const CommandHelp &c : kCommands)
        _out << "  " << QString::fromLatin1(c.name).leftJustified(9) << c.summary << "\n";
    _out << "\n'quilmoctl COMMAND --help' tells more of each command; 'quilmoctl --version' tells\n"
            "the version. --verbose, before the command, writes the log to standard error.\n"
            "Exit status: 0 success, 1 the action failed, 2 wrong usage.\n";
    _out.flush();
    return command.isEmpty() ? Success : Usage;
}

int QMCtl::usage(const QString &command, const QString &message)
{
    _err << "quilmoctl: " << message << "\n";
    if (const CommandHelp *c = commandHelp(command))
        _err << "Usage: quilmoctl " << c->synopsis << "\n";
    else
        _err << "Try 'quilmoctl --help'.\n";
    _err.flush();
    return Usage;
}

bool QMCtl::load(bool locked)
{
    _entries = std::make_unique<QMRamDiskEntries>(_progress.get());
    QMError::Ptr error;
    if (locked && !_entries->lockEntriesFile(&error)) {
        printErrorChain(QStringLiteral("quilmoctl"), error);
        return false;
    }
    // A list that cannot be read is an error, never an empty list.
    if (!_entries->readRamDisksFromDefaultLocation(&error) && error) {
        printErrorChain(QStringLiteral("quilmoctl"), error);
        return false;
    }
    return true;
}

bool QMCtl::save()
{
    if (!_entries->writeRamDisksToDefaultLocation()) {
        _err << "quilmoctl: the list of RAM disks could not be saved. Check that your home folder has free space\n"
                "  and that its files are yours, then try again; --verbose shows how it fails.\n";
        _err.flush();
        return false;
    }
    _entries->synchronizeHelperAuto();
    QMRamDiskEntries::postDidChangeToAllNotificationWithSender(senderName(), _entries->entriesFilePath());
    // A RAM disk mounted here, or given a backup while mounted, is saved by Quilmo-Helper
    // for the rest of the session, whether or not the tray menu is wanted.
    if (!QMRamDiskAutoSave::ensureGuardFor(_entries->ramDisks()))
        _err << "quilmoctl: warning: Quilmo-Helper could not be started: mounted RAM disks are saved only when "
                "ejected or asked (see the log)\n";
    return true;
}

QMRamDisk::Ptr QMCtl::find(const QString &nameOrIdentifier) const
{
    for (const QMRamDisk::Ptr &r : _entries->ramDisks())
        if (r->identifier() == nameOrIdentifier)
            return r;
    for (const QMRamDisk::Ptr &r : _entries->ramDisks())
        if (r->name() == nameOrIdentifier)
            return r;
    return nullptr;
}

QJsonObject QMCtl::jsonOf(const QMRamDisk::Ptr &r) const
{
    QJsonObject o;
    o[QStringLiteral("identifier")] = r->identifier();
    o[QStringLiteral("name")] = r->name();
    o[QStringLiteral("type")] = r->type();
    o[QStringLiteral("typeName")] = QMCtlValues::typeWord(r->type());
    o[QStringLiteral("size")] = static_cast<double>(r->size());
    o[QStringLiteral("caseSensitive")] = r->isCaseSensitive();
    o[QStringLiteral("preferWired")] = r->preferWired();
    o[QStringLiteral("mountDirectory")] = r->mountDirectory().isNull() ? QJsonValue() : QJsonValue(r->mountDirectory());
    o[QStringLiteral("status")] = QMCtlValues::statusWord(r->status());
    o[QStringLiteral("statusCode")] = r->status();
    o[QStringLiteral("path")] = r->path().isNull() ? QJsonValue() : QJsonValue(r->path());
    o[QStringLiteral("deviceNode")] = r->deviceNode().isNull() ? QJsonValue() : QJsonValue(r->deviceNode());
    o[QStringLiteral("backup")] = QMCtlValues::backupText(r->backupMode(), r->backupDir());
    o[QStringLiteral("backupMode")] = r->backupMode();
    o[QStringLiteral("backupDirPath")] = r->backupDirPath().isNull() ? QJsonValue() : QJsonValue(r->backupDirPath());
    o[QStringLiteral("index")] = QMCtlValues::indexModeText(r->mdIndexMode());
    o[QStringLiteral("postCommand")] = r->postCmd().isNull() ? QJsonValue() : QJsonValue(r->postCmd());
    o[QStringLiteral("postArguments")] = QJsonArray::fromStringList(r->postCmdArgs().value_or(QStringList()));
    o[QStringLiteral("createAtLogin")] = r->createAtLogin();
    o[QStringLiteral("autoSaveInterval")] = r->autoSaveInterval();
    o[QStringLiteral("lastSaveDate")] = r->lastSaveDate() > 0 ? QJsonValue(r->lastSaveDate()) : QJsonValue();
    o[QStringLiteral("volumeSize")] = static_cast<double>(r->volSize());
    o[QStringLiteral("volumeFree")] = static_cast<double>(r->volFree());
    o[QStringLiteral("busy")] = r->action() != 0;
    return o;
}

int QMCtl::list(const QStringList &args)
{
    bool json = false;
    for (const QString &a : args) {
        if (a == QLatin1String("--json"))
            json = true;
        else
            return usage(QStringLiteral("list"), QStringLiteral("unexpected argument \"%1\"").arg(a));
    }
    const auto ramDisks = _entries->ramDisks();
    if (json) {
        QJsonArray array;
        for (const QMRamDisk::Ptr &r : ramDisks)
            array.append(jsonOf(r));
        _out << QJsonDocument(array).toJson(QJsonDocument::Indented);
        _out.flush();
        return Success;
    }
    if (ramDisks.isEmpty()) {
        _out << "No RAM disk is configured. Add one with: quilmoctl add NAME --size 512M\n";
        _out.flush();
        return Success;
    }
    QList<QStringList> rows{{QStringLiteral("NAME"), QStringLiteral("TYPE"), QStringLiteral("SIZE"),
                             QStringLiteral("STATUS"), QStringLiteral("USED"), QStringLiteral("BACKUP"),
                             QStringLiteral("AUTOSAVE"), QStringLiteral("LAST SAVE"), QStringLiteral("LOGIN"),
                             QStringLiteral("MOUNT POINT")}};
    const double now = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    for (const QMRamDisk::Ptr &r : ramDisks) {
        const bool mounted = r->status() == QMRamDiskStatus_mounted;
        const bool saves = QMRamDiskAutoSave::saveActionOf(r) != QMRamDiskAction_none;
        QString where = r->path();
        if (where.isEmpty())
            where = r->mountDirectory().isEmpty() ? QStringLiteral("-")
                                                  : QDir(r->mountDirectory()).filePath(r->name());
        rows << QStringList{r->name(), QMCtlValues::typeWord(r->type()), QMCtlValues::sizeText(r->size()),
                            r->action() != 0 ? QStringLiteral("busy") : QMCtlValues::statusWord(r->status()),
                            mounted ? QStringLiteral("%1%").arg(qRound(r->diskUsage() * 100)) : QStringLiteral("-"),
                            QMCtlValues::backupText(r->backupMode(), r->backupDir()),
                            saves ? QMCtlValues::autoSaveText(r->autoSaveInterval()) : QStringLiteral("-"),
                            saves ? QMRamDiskAutoSave::savedText(r->lastSaveDate(), now) : QStringLiteral("-"),
                            r->createAtLogin() ? QStringLiteral("yes") : QStringLiteral("no"), where};
    }
    _out << QMCtlValues::table(rows);
    _out.flush();
    return Success;
}

int QMCtl::presets(const QStringList &args)
{
    bool json = false;
    bool all = false;
    for (const QString &a : args) {
        if (a == QLatin1String("--json"))
            json = true;
        else if (a == QLatin1String("--all"))
            all = true;
        else
            return usage(QStringLiteral("presets"), QStringLiteral("unexpected argument \"%1\"").arg(a));
    }
    const auto ramDisks = _entries->ramDisks();
    QJsonArray array;
    QList<QStringList> rows{{QStringLiteral("TYPE"), QStringLiteral("STATUS"), QStringLiteral("NAME"),
                             QStringLiteral("SIZE"), QStringLiteral("MOUNT DIRECTORY"), QStringLiteral("USED BY")}};
    QStringList reasons;
    int hidden = 0;
    QStringList applications;
    for (const qint64 type : QMCtlValues::typesInMenuOrder()) {
        const PresetState p = presetState(type, ramDisks, nullptr);
        // What this machine can offer: the presets whose application is here (ready, or
        // missing its folder or a newer version). The others only with --all.
        if (!all && p.status != 1 && p.status != 0 && !p.usedBy) {
            ++hidden;
            continue;
        }
        const bool available = p.status == 1;
        const bool custom = type == QMRamDiskType_default;
        QJsonObject o;
        o[QStringLiteral("type")] = QMCtlValues::typeWord(type);
        o[QStringLiteral("typeCode")] = type;
        o[QStringLiteral("status")] = presetStatusWord(p.status);
        o[QStringLiteral("statusCode")] = p.status;
        o[QStringLiteral("reason")] = p.reason.isEmpty() ? QJsonValue() : QJsonValue(p.reason);
        o[QStringLiteral("name")] = available && !custom ? QJsonValue(p.name) : QJsonValue();
        o[QStringLiteral("mountDirectory")] = available && !custom ? QJsonValue(p.mountDirectory) : QJsonValue();
        o[QStringLiteral("size")] = available && !custom ? QJsonValue(static_cast<double>(p.size)) : QJsonValue();
        o[QStringLiteral("backup")] = available && !custom ? QJsonValue(QMCtlValues::backupText(p.backupMode, QString()))
                                                           : QJsonValue();
        o[QStringLiteral("usedBy")] = p.usedBy ? QJsonValue(p.usedBy->name()) : QJsonValue();
        o[QStringLiteral("application")] = p.application.isEmpty() ? QJsonValue() : QJsonValue(p.application);
        o[QStringLiteral("version")] = p.application.isEmpty() ? QJsonValue() : QJsonValue(p.version);
        o[QStringLiteral("installation")] = p.application.isEmpty() ? QJsonValue() : QJsonValue(p.installation);
        array.append(o);
        const QString dash = QStringLiteral("-");
        rows << QStringList{QMCtlValues::typeWord(type), presetStatusWord(p.status),
                            available && !custom ? p.name : dash,
                            available && !custom ? QMCtlValues::sizeText(p.size) : dash,
                            available && !custom ? QMRamDisk::stringByAbbreviatingWithTildeInPath(p.mountDirectory) : dash,
                            p.usedBy ? p.usedBy->name() : dash};
        if (!available && !p.reason.isEmpty())
            reasons << QStringLiteral("  %1: %2").arg(QMCtlValues::typeWord(type), p.reason);
        if (!p.application.isEmpty())
            applications << QStringLiteral("  %1: %2").arg(QMCtlValues::typeWord(type), p.application);
    }
    if (json) {
        _out << QJsonDocument(array).toJson(QJsonDocument::Indented);
    } else {
        _out << QMCtlValues::table(rows);
        if (!applications.isEmpty())
            _out << "\nApplications found here:\n" << applications.join(QLatin1Char('\n')) << "\n";
        if (!reasons.isEmpty())
            _out << "\nNot available here:\n" << reasons.join(QLatin1Char('\n')) << "\n";
        _out << "\nAdd one with: quilmoctl add --type TYPE\n";
        if (hidden > 0)
            _out << hidden << (hidden == 1 ? " preset needs an application" : " presets need applications")
                 << " this machine does not have: 'quilmoctl presets --all' lists them.\n";
    }
    _out.flush();
    return Success;
}

int QMCtl::addOrSet(const QString &command, const QStringList &args)
{
    const bool adding = command == QLatin1String("add");
    // NAME comes first; a preset added with --type may leave it out.
    QString name;
    int first = 0;
    if (!args.isEmpty() && !args.first().startsWith(QLatin1String("--"))) {
        name = args.first();
        first = 1;
    }
    if (name.isNull() && !(adding && args.contains(QStringLiteral("--type"))))
        return usage(command, QStringLiteral("the RAM disk's name is missing"));

    QMRamDisk::Ptr ramDisk;
    if (!adding) {
        ramDisk = find(name);
        if (!ramDisk)
            return usage(command, QStringLiteral("no RAM disk is named \"%1\"").arg(name));
        if (ramDisk->action() != 0) {
            _err << "quilmoctl: \"" << name << "\" is busy with another action; wait until it ends, then try again\n";
            _err.flush();
            return Failure;
        }
    }

    // Collect the settings first, so that a wrong argument changes nothing.
    std::optional<QString> newName, mountDir, postCmd;
    std::optional<quint64> size;
    std::optional<qint64> format, indexMode, type;
    std::optional<QMCtlValues::Backup> backup;
    std::optional<bool> login, wired;
    std::optional<qint64> autoSave;
    QStringList postArgs;
    bool postArgsGiven = false, noPost = false;
    for (int i = first; i < args.size(); ++i) {
        const QString &a = args[i];
        auto value = [&](QString *v) {
            if (i + 1 >= args.size())
                return false;
            *v = args[++i];
            return true;
        };
        QString v;
        if (a == QLatin1String("--size")) {
            if (!value(&v) || !(size = QMCtlValues::parseSize(v)))
                return usage(command, QStringLiteral("--size needs a size such as 512M or 2G"));
        } else if (a == QLatin1String("--mount-dir")) {
            if (!value(&v) || v.isEmpty())
                return usage(command, QStringLiteral("--mount-dir needs a directory"));
            mountDir = absolutePath(v);
        } else if (a == QLatin1String("--name") && !adding) {
            if (!value(&v))
                return usage(command, QStringLiteral("--name needs the new name"));
            newName = v;
        } else if (a == QLatin1String("--type")) {
            if (!value(&v) || !(type = QMCtlValues::parseType(v)))
                return usage(command, QStringLiteral("--type needs one of: custom, firefox, chrome, safari, xcode-build, "
                                                     "ios-simulator, core-simulator, appcode"));
        } else if (a == QLatin1String("--case-sensitive")) {
            format = QMRamDiskFormat_caseSensitiveHFSPlus;
        } else if (a == QLatin1String("--case-insensitive")) {
            format = QMRamDiskFormat_HFSPlus;
        } else if (a == QLatin1String("--backup")) {
            if (!value(&v) || !(backup = QMCtlValues::parseBackup(v)))
                return usage(command, QStringLiteral("--backup needs none, default, base or a directory"));
            if (backup->mode == QMRamDiskBackupMode_chosenDirectory)
                backup->directory = absolutePath(backup->directory);
        } else if (a == QLatin1String("--post-command")) {
            if (!value(&v) || v.isEmpty())
                return usage(command, QStringLiteral("--post-command needs a program"));
            postCmd = absolutePath(v);
        } else if (a == QLatin1String("--post-arg")) {
            if (!value(&v))
                return usage(command, QStringLiteral("--post-arg needs an argument"));
            postArgs << v;
            postArgsGiven = true;
        } else if (a == QLatin1String("--no-post-command")) {
            noPost = true;
        } else if (a == QLatin1String("--index")) {
            if (!value(&v) || !(indexMode = QMCtlValues::parseIndexMode(v)))
                return usage(command, QStringLiteral("--index needs default, on or off"));
        } else if (a == QLatin1String("--autosave")) {
            if (!value(&v) || !(autoSave = QMCtlValues::parseAutoSave(v)))
                return usage(command, QStringLiteral("--autosave needs off, 5, 15, 30 or 60 (minutes)"));
        } else if (a == QLatin1String("--login")) {
            login = true;
        } else if (a == QLatin1String("--no-login")) {
            login = false;
        } else if (a == QLatin1String("--wired")) {
            wired = true;
        } else if (a == QLatin1String("--no-wired")) {
            wired = false;
        } else {
            return usage(command, QStringLiteral("unknown option \"%1\"").arg(a));
        }
    }
    // As in the windows: wired memory only where the kernel keeps a RAM disk out of swap,
    // and chosen before the RAM disk exists.
    if (wired && *wired && !QMKernelFeatures::wiredMemory())
        return usage(command, QStringLiteral("--wired needs a kernel that keeps a RAM disk out of swap (Linux 6.6 "
                                             "or later); this one cannot"));
    if (wired && !adding && *wired != ramDisk->preferWired() && ramDisk->status() != QMRamDiskStatus_notCreated)
        return usage(command, QStringLiteral("--wired and --no-wired apply before the RAM disk exists (eject it first)"));
    if (backup && backup->mode == QMRamDiskBackupMode_chosenDirectory && !QFileInfo(backup->directory).isDir())
        return usage(command, QStringLiteral("the backup directory %1 does not exist").arg(backup->directory));
    if (noPost && (postCmd || postArgsGiven))
        return usage(command, QStringLiteral("--no-post-command contradicts --post-command and --post-arg"));
    if (name.isNull() && type == qint64(QMRamDiskType_default))
        return usage(command, QStringLiteral("the RAM disk's name is missing"));
    auto fail = [this](const QString &message) {
        _err << "quilmoctl: " << message << "\n";
        _err.flush();
        return Failure;
    };

    // A new type is applied as the windows' type menu does: only before the RAM disk exists,
    // only where this machine offers the preset, and each preset once.
    const qint64 oldType = adding ? qint64(QMRamDiskType_default) : ramDisk->type();
    const bool typeChanges = type && (adding || *type != oldType);
    if (type && !adding && *type != oldType && ramDisk->status() != QMRamDiskStatus_notCreated)
        return fail(QStringLiteral("the type of \"%1\" cannot change while it exists (eject it first)").arg(name));
    const qint64 finalType = type.value_or(oldType);
    const QString word = QMCtlValues::typeWord(finalType);
    const bool preset = finalType != QMRamDiskType_default && finalType != QMRamDiskType_unassigned;
    PresetState p;
    if (preset) {
        p = presetState(finalType, _entries->ramDisks(), ramDisk);
        if (typeChanges && p.status != 1)
            return fail(QStringLiteral("the %1 preset is not available here: %2 ('quilmoctl presets' lists what "
                                       "this machine offers)")
                            .arg(word, p.reason.isEmpty() ? presetStatusWord(p.status) : p.reason));
        if (typeChanges && p.usedBy)
            return fail(QStringLiteral("the %1 preset is used by \"%2\" already; each preset serves one RAM disk "
                                       "(quilmoctl remove %2 frees it)")
                            .arg(word, p.usedBy->name()));
        // What a preset decides, the user does not change (as in the windows).
        const QString givesName = typeChanges ? p.name : ramDisk->name();
        if (adding && !name.isNull() && name != givesName)
            return usage(command, QStringLiteral("a %1 RAM disk takes the preset's name \"%2\": leave NAME out")
                                      .arg(word, givesName));
        if (newName && *newName != givesName)
            return usage(command, QStringLiteral("a %1 RAM disk keeps the preset's name \"%2\"").arg(word, givesName));
        if (backup)
            return usage(command, QStringLiteral("a %1 RAM disk takes its backup from the preset").arg(word));
        const QString presetDir = typeChanges || p.status == 1 ? p.mountDirectory : ramDisk->mountDirectory();
        if (mountDir && !isOnPresetPath(*mountDir, presetDir))
            return usage(command, QStringLiteral("a %1 RAM disk is mounted in %2 or one of its parents")
                                      .arg(word, QMRamDisk::stringByAbbreviatingWithTildeInPath(presetDir)));
    }

    // Validate the resulting settings as the configuration window does.
    // A change back to custom starts over as a plain RAM disk, as in the windows.
    const QString finalName = newName.value_or(typeChanges ? (preset ? p.name : adding ? name : QStringLiteral("RamDisk"))
                                               : adding    ? name
                                                           : ramDisk->name());
    const quint64 finalSize = size.value_or(typeChanges && preset ? p.size
                                            : typeChanges || adding ? QMRamDisk::defaultCapSize()
                                                                    : ramDisk->size());
    const QString finalMountDir = mountDir.value_or(typeChanges && preset ? p.mountDirectory
                                                    : typeChanges || adding ? QString()
                                                                            : ramDisk->mountDirectory());
    const QMRamDisk::Ptr sameName = find(finalName);
    if (sameName && sameName != ramDisk)
        return usage(command, QStringLiteral("a RAM disk named \"%1\" exists already").arg(finalName));
    QString message;
    QString running;
    if (preset && QMRamDiskManager::hasRunningAppForType(finalType, &running)) {
        // Settings may change while the application runs; creating waits until it quits.
        // The check without the type leaves out the running application and the preset's
        // own places, which are never refused.
        if (!QMRamDiskManager::canCreateWithName(finalName, finalSize, QMRamDiskType_default, QString(), &message))
            return fail(message);
        _err << "quilmoctl: note: " << running << ": quit it before you create \"" << finalName << "\"\n";
    } else if (!QMRamDiskManager::canCreateWithName(finalName, finalSize, finalType, finalMountDir, &message)) {
        return fail(message);
    }
    const qint64 finalBackup = backup                  ? backup->mode
                               : typeChanges && preset ? p.backupMode
                               : typeChanges || adding ? qint64(QMRamDiskBackupMode_disabled)
                                                       : ramDisk->backupMode();
    if (finalBackup == QMRamDiskBackupMode_baseSynchronized && finalMountDir.isEmpty())
        return fail(QStringLiteral("a base-synchronised RAM disk needs a mount directory (--mount-dir)"));
    // Only what is saved somewhere can be saved on a schedule. A RAM disk that gets a
    // backup mode starts with the usual interval; one that loses it loses its schedule.
    const bool savesAfter = finalBackup != QMRamDiskBackupMode_disabled || finalType == QMRamDiskType_CoreSimulator;
    const bool savedBefore = !adding
                             && QMRamDiskAutoSave::saveActionOf(ramDisk) != QMRamDiskAction_none;
    if (autoSave && *autoSave > 0 && !savesAfter)
        return fail(QStringLiteral("\"%1\" has no backup to save to; give it one with --backup").arg(finalName));
    const qint64 finalAutoSave = !savesAfter  ? 0
                                 : autoSave   ? *autoSave
                                 : savedBefore ? ramDisk->autoSaveInterval()
                                               : QMRamDisk::defaultAutoSaveInterval;

    // A mounted RAM disk takes its new size in place, where its device can: a record that
    // says one size while the volume has another would be wrong.
    bool resizeLive = false;
    if (!adding && size && *size != ramDisk->size()) {
        ramDisk->update();
        if (ramDisk->status() == QMRamDiskStatus_mounted) {
            if (const QMError::Ptr refusal = ramDisk->checkCanResizeTo(*size))
                return fail(QStringLiteral("the size of \"%1\" cannot change while it is mounted: %2")
                                .arg(name, refusal->message()));
            resizeLive = true;
        } else if (ramDisk->status() == QMRamDiskStatus_created) {
            // Its device keeps the old size until it is ejected; a record saying otherwise
            // would be wrong, and a volume not mounted cannot be resized in place.
            return fail(QStringLiteral("the size of \"%1\" cannot change while its device exists without being "
                                       "mounted: mount it again (remount) or eject it first")
                            .arg(name));
        }
    }

    if (adding) {
        ramDisk = _entries->addRamDisk();
        if (!ramDisk)
            return fail(QStringLiteral("Quilmo keeps at most 15 RAM disks; remove one first (quilmoctl remove NAME)"));
    }
    if (typeChanges)
        ramDisk->changeToType(finalType, 0); // name, place, size and backup from the preset
    ramDisk->setName(finalName);
    if (!resizeLive)
        ramDisk->setSize(finalSize); // else the resize sets it once the volume has it
    ramDisk->setMountDirectory(finalMountDir);
    if (format)
        ramDisk->setFormat(*format);
    if (backup) {
        ramDisk->setBackupMode(backup->mode);
        ramDisk->setBackupDir(backup->mode == QMRamDiskBackupMode_chosenDirectory ? backup->directory : QString());
    }
    if (noPost) {
        ramDisk->setPostCmd(QString());
        ramDisk->setPostCmdArgs(std::nullopt);
    }
    if (postCmd)
        ramDisk->setPostCmd(*postCmd);
    if (postArgsGiven)
        ramDisk->setPostCmdArgs(postArgs);
    if (indexMode)
        ramDisk->setMdIndexMode(*indexMode);
    if (login) {
        ramDisk->setCreateAtLogin(*login);
        _entries->setNeedsSynchronizeHelper(true);
    }
    if (wired)
        ramDisk->setPreferWired(*wired);
    if (ramDisk->preferWired() && finalSize > QMRamDiskDevice::wiredMemoryMaxSize && (wired || size))
        _err << "quilmoctl: note: wired memory is only asked for RAM disks of up to 1 GiB\n";
    if (finalAutoSave != ramDisk->autoSaveInterval()) {
        ramDisk->setAutoSaveInterval(finalAutoSave);
        _entries->setNeedsSynchronizeHelper(true); // the helper saves on schedule
    }
    if (!save())
        return Failure;
    if (resizeLive) {
        ramDisk->setResizeTarget(finalSize);
        return runAction(ramDisk, QMRamDiskAction_resize, command, false);
    }
    if (adding) {
        _out << "Added \"" << finalName << "\" (" << QMCtlValues::sizeText(finalSize);
        if (preset)
            _out << ", " << word << " preset, mounted in "
                 << QMRamDisk::stringByAbbreviatingWithTildeInPath(finalMountDir);
        _out << ").\n";
    }
    _out.flush();
    return Success;
}

int QMCtl::remove(const QStringList &args)
{
    bool deleteBackup = false;
    QStringList names;
    for (const QString &a : args) {
        if (a == QLatin1String("--delete-backup"))
            deleteBackup = true;
        else if (a.startsWith(QLatin1String("--")))
            return usage(QStringLiteral("remove"), QStringLiteral("unexpected argument \"%1\"").arg(a));
        else
            names << a;
    }
    if (names.size() != 1)
        return usage(QStringLiteral("remove"), QStringLiteral("give the name of one RAM disk"));
    const QMRamDisk::Ptr ramDisk = find(names.first());
    if (!ramDisk)
        return usage(QStringLiteral("remove"), QStringLiteral("no RAM disk is named \"%1\"").arg(names.first()));
    if (ramDisk->action() != 0 || ramDisk->status() != QMRamDiskStatus_notCreated) {
        _err << "quilmoctl: \"" << ramDisk->name() << "\" is " << QMCtlValues::statusWord(ramDisk->status())
             << ": eject it first (quilmoctl eject " << ramDisk->name() << ")\n";
        _err.flush();
        return Failure;
    }
    // The user's files kept in Quilmo's folder go to the trash unless asked otherwise; if
    // they cannot, nothing is removed.
    const QMRamDisk::BackupDirs backup = ramDisk->backupDirsInAppSupport();
    const QString size = QMRamDiskFunctions::stringFromBytesWithBin1000Style(static_cast<qint64>(backup.bytes));
    QStringList trashed;
    if (backup.files > 0 && !deleteBackup) {
        QString why;
        if (!ramDisk->trashBackupDirs(&trashed, &why)) {
            _err << "quilmoctl: the backup of \"" << ramDisk->name() << "\" could not be moved to the trash (" << why
                 << "); nothing was removed (--delete-backup deletes it)\n";
            _err.flush();
            return Failure;
        }
    }
    // What is left of the backup (all of it with --delete-backup) goes with the entry.
    _entries->removeEntry(ramDisk);
    _entries->setNeedsSynchronizeHelper(true);
    if (!save())
        return Failure;
    if (!trashed.isEmpty())
        _out << "The backup of \"" << ramDisk->name() << "\" (" << size << ") was moved to the trash: "
             << trashed.first() << "\n";
    else if (backup.files > 0)
        _out << "The backup of \"" << ramDisk->name() << "\" (" << size << ") was deleted.\n";
    _out.flush();
    return Success;
}

int QMCtl::status(const QStringList &args)
{
    bool json = false;
    QString name;
    for (const QString &a : args) {
        if (a == QLatin1String("--json"))
            json = true;
        else if (name.isNull() && !a.startsWith(QLatin1String("--")))
            name = a;
        else
            return usage(QStringLiteral("status"), QStringLiteral("unexpected argument \"%1\"").arg(a));
    }
    if (name.isNull())
        return usage(QStringLiteral("status"), QStringLiteral("the RAM disk's name is missing"));
    const QMRamDisk::Ptr r = find(name);
    if (!r)
        return usage(QStringLiteral("status"), QStringLiteral("no RAM disk is named \"%1\"").arg(name));
    if (json) {
        _out << QJsonDocument(jsonOf(r)).toJson(QJsonDocument::Indented);
        _out.flush();
        return Success;
    }
    QList<QStringList> rows;
    rows << QStringList{QStringLiteral("Name:"), r->name()};
    rows << QStringList{QStringLiteral("Identifier:"), r->identifier()};
    if (r->type() != QMRamDiskType_default && r->type() != QMRamDiskType_unassigned)
        rows << QStringList{QStringLiteral("Type:"),
                            QStringLiteral("%1 (%2)").arg(r->displayName(), QMCtlValues::typeWord(r->type()))};
    else
        rows << QStringList{QStringLiteral("Type:"), QMCtlValues::typeWord(r->type())};
    rows << QStringList{QStringLiteral("Status:"), r->displayStatus()};
    rows << QStringList{QStringLiteral("Size:"), QMCtlValues::sizeText(r->size())};
    // What the volume does (or will do), which a kernel without case folding decides.
    const bool caseSensitive = r->isCaseSensitive();
    rows << QStringList{QStringLiteral("Case-sensitive:"),
                        !caseSensitive ? QStringLiteral("no")
                        : r->format() == QMRamDiskFormat_caseSensitiveHFSPlus
                            ? QStringLiteral("yes")
                            : QStringLiteral("yes (this kernel offers no case-insensitive names)")};
    if (r->preferWired() || QMKernelFeatures::wiredMemory())
        rows << QStringList{QStringLiteral("Wired memory:"),
                            !r->preferWired()               ? QStringLiteral("no")
                            : !QMKernelFeatures::wiredMemory() ? QStringLiteral("asked, but this kernel cannot keep it out of swap")
                            : r->size() > QMRamDiskDevice::wiredMemoryMaxSize      ? QStringLiteral("asked, but only RAM disks up to 1 GiB get it")
                                                             : QStringLiteral("yes (never swapped)")};
    rows << QStringList{QStringLiteral("Mount directory:"),
                        r->mountDirectory().isEmpty() ? QStringLiteral("(default)") : r->mountDirectory()};
    if (!r->path().isEmpty())
        rows << QStringList{QStringLiteral("Mounted at:"), r->path()};
    if (!r->deviceNode().isEmpty() && r->status() != QMRamDiskStatus_notCreated)
        rows << QStringList{QStringLiteral("Device:"), r->deviceNode()};
    if (r->status() == QMRamDiskStatus_mounted)
        rows << QStringList{QStringLiteral("Usage:"),
                            QStringLiteral("%1 of %2 used").arg(QMRamDiskFunctions::stringFromBytesWithBin1000Style(
                                                                    static_cast<qint64>(r->volSize() - r->volFree())),
                                                                QMRamDiskFunctions::stringFromBytesWithBin1000Style(
                                                                    static_cast<qint64>(r->volSize())))};
    rows << QStringList{QStringLiteral("Backup:"), QMCtlValues::backupText(r->backupMode(), r->backupDir())};
    if (!r->backupDirPath().isEmpty())
        rows << QStringList{QStringLiteral("Backup folder:"), r->backupDirPath()};
    if (QMRamDiskAutoSave::saveActionOf(r) != QMRamDiskAction_none) {
        const qint64 every = r->autoSaveInterval();
        rows << QStringList{QStringLiteral("Save every:"),
                            every > 0 ? QMCtlValues::autoSaveText(every) : QStringLiteral("off (only at eject and when asked)")};
        QString saved = QMRamDiskAutoSave::savedText(r->lastSaveDate(), double(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
        if (r->lastSaveDate() > 0)
            saved += QStringLiteral(" (%1)").arg(QDateTime::fromMSecsSinceEpoch(qint64(r->lastSaveDate() * 1000))
                                                     .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        rows << QStringList{QStringLiteral("Last save:"), saved};
        if (r->contentsIncomplete())
            rows << QStringList{QStringLiteral("Contents:"),
                                QStringLiteral("incomplete: not saved automatically until backed up by hand")};
    }
    rows << QStringList{QStringLiteral("Indexing:"), QMCtlValues::indexModeText(r->mdIndexMode())};
    if (!r->postCmd().isEmpty())
        rows << QStringList{QStringLiteral("Post-command:"),
                            (QStringList{r->postCmd()} + r->postCmdArgs().value_or(QStringList())).join(QLatin1Char(' '))};
    rows << QStringList{QStringLiteral("Create at login:"), r->createAtLogin() ? QStringLiteral("yes") : QStringLiteral("no")};
    _out << QMCtlValues::table(rows);
    _out.flush();
    return Success;
}

int QMCtl::action(const QString &command, const QStringList &givenArgs)
{
    const qint64 act = actionOfCommand(command);
    QStringList args = givenArgs;
    const bool force = (act == QMRamDiskAction_eject || act == QMRamDiskAction_backup)
                       && args.removeAll(QStringLiteral("--force")) > 0;
    QList<QMRamDisk::Ptr> targets;
    if (args.size() == 1 && args.first() == QLatin1String("--all")) {
        for (const QMRamDisk::Ptr &r : _entries->ramDisks()) {
            const qint64 s = r->status();
            // --all means each RAM disk to which the action applies.
            const bool applies = act == QMRamDiskAction_create ? s == QMRamDiskStatus_notCreated
                                 : act == QMRamDiskAction_remount ? s == QMRamDiskStatus_created
                                 : act == QMRamDiskAction_eject ? s != QMRamDiskStatus_notCreated
                                                                 : s == QMRamDiskStatus_mounted;
            if (applies)
                targets << r;
        }
    } else if (args.size() == 1 && !args.first().startsWith(QLatin1String("--"))) {
        const QMRamDisk::Ptr r = find(args.first());
        if (!r)
            return usage(command, QStringLiteral("no RAM disk is named \"%1\"").arg(args.first()));
        targets << r;
    } else {
        return usage(command, QStringLiteral("give the name of one RAM disk, or --all"));
    }

    // Each one is acted on, whatever happened to those before it; the status is the worst.
    int result = Success;
    for (const QMRamDisk::Ptr &r : targets)
        result = std::max(result, act == QMRamDiskAction_eject && force ? forceEject(r) : runAction(r, act, command, force));
    return result;
}

int QMCtl::forceEject(const QMRamDisk::Ptr &r)
{
    const QString name = r->name();
    auto fail = [&](const QMError::Ptr &error) {
        printErrorChain(QStringLiteral("quilmoctl: eject \"%1\" failed").arg(name), error);
        return Failure;
    };
    if (r->action() != 0) {
        _err << "quilmoctl: eject \"" << name << "\": another action is running\n";
        _err.flush();
        return Failure;
    }
    r->update();
    // The window's forced eject: the volume goes without a copy, whoever uses it, and the
    // last complete copy stays as it is.
    QString warning;
    QMError::Ptr error;
    if (r->status() == QMRamDiskStatus_mounted)
        error = QMRamDiskDevice::forceEjectRamDiskAtPath(r->path(), &warning);
    else if (r->status() == QMRamDiskStatus_created)
        error = QMRamDiskDevice::ejectRamDiskDeviceNode(r->deviceNode(), QString(), true, true, &warning);
    if (!warning.isEmpty()) {
        _err << "warning: " << warning << "\n";
        _err.flush();
    }
    if (error)
        return fail(error);
    r->update();
    if (r->status() != QMRamDiskStatus_notCreated) {
        _err << "quilmoctl: eject \"" << name << "\" failed: it is still " << QMCtlValues::statusWord(r->status())
             << "\n";
        _err.flush();
        return Failure;
    }
    // Gone now: the ordinary ejection only puts back a base that was set aside and
    // forgets the device, under the record's lock.
    _progress->watch(r);
    _entries->startAction(QMRamDiskAction_eject, r, true);
    _progress->waitUntilFinished();
    error = r->lastError();
    save();
    if (error)
        return fail(error);
    _out << "\"" << name << "\" is ejected without saving; its last complete copy is kept\n";
    _out.flush();
    return Success;
}

int QMCtl::runAction(const QMRamDisk::Ptr &r, qint64 act, const QString &command, bool force)
{
    const QString name = r->name();
    auto refuse = [&](const QString &why) {
        _err << "quilmoctl: " << command << " \"" << name << "\": " << why << "\n";
        _err.flush();
        return Failure;
    };
    if (r->action() != 0)
        return refuse(QStringLiteral("another action is running on it; wait until it ends, then try again"));
    // A preset's application writes into its RAM disk: the windows disable these while it runs.
    if (act == QMRamDiskAction_create || act == QMRamDiskAction_eject || act == QMRamDiskAction_rebuild
        || act == QMRamDiskAction_cleanUpFiles) {
        QString running;
        if (QMRamDiskManager::hasRunningAppForType(r->type(), &running))
            return refuse(running);
    }
    const qint64 s = r->status();
    switch (act) {
    case QMRamDiskAction_create:
        if (s != QMRamDiskStatus_notCreated)
            return refuse(QStringLiteral("it exists already (%1)").arg(QMCtlValues::statusWord(s)));
        break;
    case QMRamDiskAction_remount:
        if (s == QMRamDiskStatus_mounted)
            return refuse(QStringLiteral("it is mounted already"));
        if (s != QMRamDiskStatus_created)
            return refuse(QStringLiteral("it is not created (quilmoctl create %1)").arg(name));
        break;
    case QMRamDiskAction_eject:
        if (s == QMRamDiskStatus_notCreated)
            return refuse(QStringLiteral("it is not created"));
        break;
    case QMRamDiskAction_copyToBase:
        if (!r->isBaseSynchronized())
            return refuse(QStringLiteral("it is not synchronised with a base directory (only a RAM disk with "
                                         "--backup base is)"));
        [[fallthrough]];
    default:
        if (s == QMRamDiskStatus_created)
            return refuse(QStringLiteral("it is not mounted (quilmoctl mount %1)").arg(name));
        if (s != QMRamDiskStatus_mounted)
            return refuse(QStringLiteral("it is not created (quilmoctl create %1)").arg(name));
        if (act == QMRamDiskAction_backup && r->backupDirPath().isEmpty() && !r->isBaseSynchronized())
            return refuse(QStringLiteral("it has no backup folder (quilmoctl set %1 --backup default)").arg(name));
        break;
    }

    if (act == QMRamDiskAction_create || act == QMRamDiskAction_rebuild) {
        // The pipeline refuses with a bare "canStatus==NO"; say why before anything is ejected.
        QString message;
        if (!QMRamDiskManager::canCreateWithName(name, r->size(), r->type(), r->mountDirectory(), &message))
            return refuse(message);
    }

    if (act == QMRamDiskAction_backup && r->contentsIncomplete()) {
        if (!force)
            return refuse(QStringLiteral("its contents are incomplete (its restore did not copy everything): a backup "
                                         "would replace the complete copy with an incomplete one; give --force to "
                                         "replace it anyway, or eject it with --force to keep that copy"));
        r->setReplacesIncompleteCopy(true);
    }
    if (act == QMRamDiskAction_cleanUpFiles) {
        // Runs on this thread and reports nothing.
        _entries->startAction(act, r, false);
    } else {
        _progress->watch(r);
        _entries->startAction(act, r, true);
        _progress->waitUntilFinished();
    }
    // Clean-up reports only a refusal; the engine clears the error when it starts one.
    const QMError::Ptr error = r->lastError();
    r->update();
    save();
    // What the action did that the user must know although it may have succeeded.
    const QString warning = r->lastWarning();
    if (!warning.isEmpty()) {
        for (const QString &line : warning.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            _err << "warning: " << line << "\n";
        _err.flush();
    }
    if (error) {
        printErrorChain(QStringLiteral("quilmoctl: %1 \"%2\" failed").arg(command, name), error);
        return Failure;
    }
    if (act == QMRamDiskAction_create || act == QMRamDiskAction_remount || act == QMRamDiskAction_rebuild)
        _out << "\"" << name << "\" is mounted at " << r->path() << "\n";
    else if (act == QMRamDiskAction_eject)
        _out << "\"" << name << "\" is ejected\n";
    else if (act == QMRamDiskAction_resize)
        _out << "\"" << name << "\" is resized to " << QMCtlValues::sizeText(r->size()) << " while mounted at "
             << r->path() << "\n";
    _out.flush();
    return Success;
}

void QMCtl::printErrorChain(const QString &prefix, const QMError::Ptr &error)
{
    // Words only: how it failed (functions, lines, conditions) is in the log, or on
    // standard error with --verbose.
    _err << prefix << ": " << error->alertMessageText(QString()) << "\n";
    for (const QString &cause : error->userCauses())
        _err << "  because: " << cause << "\n";
    const QString advice = error->advice();
    if (advice.isNull())
        _err << "  Try again. If it keeps failing, run the command again with --verbose to see how it fails\n"
                "  (the log of earlier runs is "
             << QMRamDisk::stringByAbbreviatingWithTildeInPath(QMLogFile::logFilePath(QStringLiteral("quilmoctl")))
             << ").\n";
    else if (!advice.isEmpty())
        _err << "  " << advice << "\n";
    _err.flush();
}

int QMCtl::memory(const QStringList &args)
{
    bool purge = false;
    for (const QString &a : args) {
        if (a == QLatin1String("--purge"))
            purge = true;
        else
            return usage(QStringLiteral("memory"), QStringLiteral("unexpected argument \"%1\"").arg(a));
    }
    if (purge) {
        if (!QMRamDiskUtils::canPurgeMemory()) {
            _err << "quilmoctl: memory cannot be purged here: Quilmo's purge tool is missing; install Quilmo again\n";
            _err.flush();
            return Failure;
        }
        if (!QMRamDiskUtils::purgeMemory()) {
            _err << "quilmoctl: the purge could not be started; run the command again with --verbose to see why\n";
            _err.flush();
            return Failure;
        }
        _out << "Purge started.\n";
    }
    QMMemoryStatistics s;
    if (!QMMacInfo::getMemoryStatistics(&s)) {
        _err << "quilmoctl: the memory statistics cannot be read from /proc/meminfo; check that /proc is mounted\n";
        _err.flush();
        return Failure;
    }
    auto b = [](quint64 n) { return QMRamDiskFunctions::stringFromBytesWithBin1024Style(static_cast<qint64>(n)); };
    QList<QStringList> rows{
        {QStringLiteral("Physical memory:"), b(QMMacInfo::physicalMemory())},
        {QStringLiteral("Free:"), b(s.free)},
        {QStringLiteral("Active:"), b(s.active)},
        {QStringLiteral("Inactive:"), b(s.inactive)},
        {QStringLiteral("Wired:"), b(s.wired)},
        {QStringLiteral("Purgeable:"), b(s.purgeable)},
        {QStringLiteral("Compressed:"), b(s.compressed)},
    };
    quint64 inRamDisks = 0;
    if (_entries || load(false)) {
        for (const QMRamDisk::Ptr &r : _entries->ramDisks())
            if (r->status() == QMRamDiskStatus_mounted)
                inRamDisks += r->volSize() - r->volFree();
        rows << QStringList{QStringLiteral("Used by RAM disks:"), b(inRamDisks)};
    }
    _out << QMCtlValues::table(rows);
    _out.flush();
    return Success;
}
