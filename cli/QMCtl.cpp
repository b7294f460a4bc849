#include "QMCtl.h"

#include "QMCtlValues.h"
#include "QMLog.h"
#include "QMMacInfo.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskFunctions.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskUtils.h"

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
    const char *text;
};

const char *kSettingsHelp =
    "  --size SIZE            capacity: 512M, 2G, 1.5G (decimal) or 512Mi, 2Gi (binary)\n"
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
    "  --login, --no-login    create this RAM disk when the user logs in\n";

const CommandHelp kCommands[] = {
    {"list", "list [--json]", "Lists the configured RAM disks.\n"},
    {"add", "add NAME [settings]", "Adds a RAM disk. Settings:\n"},
    {"set", "set NAME [--name NEWNAME] [settings]", "Changes the settings of a RAM disk. Settings:\n"},
    {"create", "create NAME|--all", "Creates the RAM disk: attaches, formats, mounts and fills it.\n"},
    {"mount", "mount NAME|--all", "Mounts again a RAM disk whose volume was unmounted.\n"},
    {"eject", "eject NAME|--all", "Saves the contents as the backup mode says, then ejects the RAM disk.\n"},
    {"rebuild", "rebuild NAME|--all", "Ejects and creates the RAM disk again.\n"},
    {"backup", "backup NAME|--all", "Copies the contents of the RAM disk to its backup folder.\n"},
    {"sync", "sync NAME|--all", "Copies the contents of a base-synchronised RAM disk to its base.\n"},
    {"clean", "clean NAME|--all", "Removes every file of the RAM disk except the volume's own.\n"},
    {"remove", "remove NAME", "Removes a RAM disk that is not mounted, with its default backup.\n"},
    {"status", "status NAME [--json]", "Shows the settings and the state of a RAM disk.\n"},
    {"memory", "memory [--purge]", "Shows the memory summary; --purge frees inactive memory (asks for\n"
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
    const QString command = args.first();
    const QStringList rest = args.mid(1);
    if (!commandHelp(command))
        return usage(QString(), QStringLiteral("unknown command \"%1\"").arg(command));
    if (rest.contains(QStringLiteral("--help")) || rest.contains(QStringLiteral("-h")))
        return help(command);

    if (command == QLatin1String("memory"))
        return memory(rest);
    if (!load())
        return Failure;
    if (command == QLatin1String("list"))
        return list(rest);
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
            _out << kSettingsHelp;
        _out.flush();
        return Success;
    }
    _out << "Usage: quilmoctl COMMAND [ARGUMENTS]\n\nQuilmo's RAM disks from the command line.\n\nCommands:\n";
    for (const CommandHelp &c : kCommands)
        _out << "  " << QString::fromLatin1(c.synopsis).leftJustified(38) << "\n";
    _out << "\n'quilmoctl COMMAND --help' tells more of each command.\n"
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

bool QMCtl::load()
{
    _entries = std::make_unique<QMRamDiskEntries>(_progress.get());
    _entries->readRamDisksFromDefaultLocation();
    return true;
}

bool QMCtl::save()
{
    if (!_entries->writeRamDisksToDefaultLocation()) {
        _err << "quilmoctl: the RAM disk list could not be saved (see the log)\n";
        _err.flush();
        return false;
    }
    _entries->synchronizeHelperAuto();
    QMRamDiskEntries::postDidChangeToAllNotificationWithSender(senderName());
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
    o[QStringLiteral("size")] = static_cast<double>(r->size());
    o[QStringLiteral("caseSensitive")] = r->format() == QMRamDiskFormat_caseSensitiveHFSPlus;
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
    QList<QStringList> rows{{QStringLiteral("NAME"), QStringLiteral("SIZE"), QStringLiteral("STATUS"),
                             QStringLiteral("USED"), QStringLiteral("BACKUP"), QStringLiteral("LOGIN"),
                             QStringLiteral("MOUNT POINT")}};
    for (const QMRamDisk::Ptr &r : ramDisks) {
        const bool mounted = r->status() == QMRamDiskStatus_mounted;
        QString where = r->path();
        if (where.isEmpty())
            where = r->mountDirectory().isEmpty() ? QStringLiteral("-")
                                                  : QDir(r->mountDirectory()).filePath(r->name());
        rows << QStringList{r->name(), QMCtlValues::sizeText(r->size()),
                            r->action() != 0 ? QStringLiteral("busy") : QMCtlValues::statusWord(r->status()),
                            mounted ? QStringLiteral("%1%").arg(qRound(r->diskUsage() * 100)) : QStringLiteral("-"),
                            QMCtlValues::backupText(r->backupMode(), r->backupDir()),
                            r->createAtLogin() ? QStringLiteral("yes") : QStringLiteral("no"), where};
    }
    _out << QMCtlValues::table(rows);
    _out.flush();
    return Success;
}

int QMCtl::addOrSet(const QString &command, const QStringList &args)
{
    const bool adding = command == QLatin1String("add");
    if (args.isEmpty() || args.first().startsWith(QLatin1String("--")))
        return usage(command, QStringLiteral("the RAM disk's name is missing"));
    const QString name = args.first();

    QMRamDisk::Ptr ramDisk;
    if (adding) {
        if (find(name))
            return usage(command, QStringLiteral("a RAM disk named \"%1\" exists already").arg(name));
    } else {
        ramDisk = find(name);
        if (!ramDisk)
            return usage(command, QStringLiteral("no RAM disk is named \"%1\"").arg(name));
        if (ramDisk->action() != 0) {
            _err << "quilmoctl: \"" << name << "\" is busy\n";
            _err.flush();
            return Failure;
        }
    }

    // Collect the settings first, so that a wrong argument changes nothing.
    std::optional<QString> newName, mountDir, postCmd;
    std::optional<quint64> size;
    std::optional<qint64> format, indexMode;
    std::optional<QMCtlValues::Backup> backup;
    std::optional<bool> login;
    QStringList postArgs;
    bool postArgsGiven = false, noPost = false;
    for (int i = 1; i < args.size(); ++i) {
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
        } else if (a == QLatin1String("--login")) {
            login = true;
        } else if (a == QLatin1String("--no-login")) {
            login = false;
        } else {
            return usage(command, QStringLiteral("unknown option \"%1\"").arg(a));
        }
    }
    if (backup && backup->mode == QMRamDiskBackupMode_chosenDirectory && !QFileInfo(backup->directory).isDir())
        return usage(command, QStringLiteral("the backup directory %1 does not exist").arg(backup->directory));
    if (noPost && (postCmd || postArgsGiven))
        return usage(command, QStringLiteral("--no-post-command contradicts --post-command and --post-arg"));

    // Validate the resulting settings as the configuration window does.
    const QString finalName = newName.value_or(adding ? name : ramDisk->name());
    const quint64 finalSize = size.value_or(adding ? QMRamDisk::defaultCapSize() : ramDisk->size());
    const qint64 type = adding ? qint64(QMRamDiskType_default) : ramDisk->type();
    const QString finalMountDir = mountDir.value_or(adding ? QString() : ramDisk->mountDirectory());
    if (newName && !adding && *newName != ramDisk->name() && find(*newName))
        return usage(command, QStringLiteral("a RAM disk named \"%1\" exists already").arg(*newName));
    QString message;
    if (!QMRamDiskManager::canCreateWithName(finalName, finalSize, type, finalMountDir, &message)) {
        _err << "quilmoctl: " << message << "\n";
        _err.flush();
        return Failure;
    }
    const qint64 finalBackup = backup ? backup->mode : (adding ? 0 : ramDisk->backupMode());
    if (finalBackup == QMRamDiskBackupMode_baseSynchronized && finalMountDir.isEmpty()) {
        _err << "quilmoctl: a base-synchronised RAM disk needs a mount directory (--mount-dir)\n";
        _err.flush();
        return Failure;
    }

    if (adding) {
        ramDisk = _entries->addRamDisk();
        if (!ramDisk) {
            _err << "quilmoctl: Quilmo keeps at most 15 RAM disks\n";
            _err.flush();
            return Failure;
        }
    }
    ramDisk->setName(finalName);
    ramDisk->setSize(finalSize);
    if (mountDir || adding)
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
    if (!save())
        return Failure;
    if (adding)
        _out << "Added \"" << finalName << "\" (" << QMCtlValues::sizeText(finalSize) << ").\n";
    _out.flush();
    return Success;
}

int QMCtl::remove(const QStringList &args)
{
    if (args.size() != 1 || args.first().startsWith(QLatin1String("--")))
        return usage(QStringLiteral("remove"), QStringLiteral("give the name of one RAM disk"));
    const QMRamDisk::Ptr ramDisk = find(args.first());
    if (!ramDisk)
        return usage(QStringLiteral("remove"), QStringLiteral("no RAM disk is named \"%1\"").arg(args.first()));
    if (ramDisk->action() != 0 || ramDisk->status() != QMRamDiskStatus_notCreated) {
        _err << "quilmoctl: \"" << ramDisk->name() << "\" is " << QMCtlValues::statusWord(ramDisk->status())
             << ": eject it first (quilmoctl eject " << ramDisk->name() << ")\n";
        _err.flush();
        return Failure;
    }
    _entries->removeEntry(ramDisk);
    _entries->setNeedsSynchronizeHelper(true);
    return save() ? Success : Failure;
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
    rows << QStringList{QStringLiteral("Status:"), r->displayStatus()};
    rows << QStringList{QStringLiteral("Size:"), QMCtlValues::sizeText(r->size())};
    rows << QStringList{QStringLiteral("Case-sensitive:"), r->format() == 1 ? QStringLiteral("yes") : QStringLiteral("no")};
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
    rows << QStringList{QStringLiteral("Indexing:"), QMCtlValues::indexModeText(r->mdIndexMode())};
    if (!r->postCmd().isEmpty())
        rows << QStringList{QStringLiteral("Post-command:"),
                            (QStringList{r->postCmd()} + r->postCmdArgs().value_or(QStringList())).join(QLatin1Char(' '))};
    rows << QStringList{QStringLiteral("Create at login:"), r->createAtLogin() ? QStringLiteral("yes") : QStringLiteral("no")};
    _out << QMCtlValues::table(rows);
    _out.flush();
    return Success;
}

int QMCtl::action(const QString &command, const QStringList &args)
{
    const qint64 act = actionOfCommand(command);
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

    int result = Success;
    for (const QMRamDisk::Ptr &r : targets)
        result = std::max(result, runAction(r, act, command));
    return result;
}

int QMCtl::runAction(const QMRamDisk::Ptr &r, qint64 act, const QString &command)
{
    const QString name = r->name();
    auto refuse = [&](const QString &why) {
        _err << "quilmoctl: " << command << " \"" << name << "\": " << why << "\n";
        _err.flush();
        return Failure;
    };
    if (r->action() != 0)
        return refuse(QStringLiteral("another action is running"));
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
            return refuse(QStringLiteral("it is not synchronised with a base directory"));
        [[fallthrough]];
    default:
        if (s != QMRamDiskStatus_mounted)
            return refuse(QStringLiteral("it is not mounted"));
        if (act == QMRamDiskAction_backup && r->backupDirPath().isEmpty())
            return refuse(QStringLiteral("it has no backup folder (quilmoctl set %1 --backup default)").arg(name));
        break;
    }

    if (act == QMRamDiskAction_create || act == QMRamDiskAction_rebuild) {
        // The pipeline refuses with a bare "canStatus==NO"; say why before anything is ejected.
        QString message;
        if (!QMRamDiskManager::canCreateWithName(name, r->size(), r->type(), r->mountDirectory(), &message))
            return refuse(message);
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
    if (error) {
        printErrorChain(QStringLiteral("quilmoctl: %1 \"%2\" failed").arg(command, name), error);
        return Failure;
    }
    if (act == QMRamDiskAction_create || act == QMRamDiskAction_remount || act == QMRamDiskAction_rebuild)
        _out << "\"" << name << "\" is mounted at " << r->path() << "\n";
    else if (act == QMRamDiskAction_eject)
        _out << "\"" << name << "\" is ejected\n";
    _out.flush();
    return Success;
}

void QMCtl::printErrorChain(const QString &prefix, const QMError::Ptr &error)
{
    _err << prefix << ": " << error->message();
    if (!error->reason().isEmpty())
        _err << " (" << error->reason() << ")";
    _err << "\n";
    QMError::Cause cause = error->depends();
    while (!cause.isNull()) {
        if (cause.kind() == QMError::Cause::Kind::Error) {
            const QMError::Ptr e = cause.error();
            _err << "  because: " << e->message();
            if (!e->reason().isEmpty())
                _err << " (" << e->reason().trimmed() << ")";
            _err << "\n";
            cause = e->depends();
        } else {
            _err << "  because: " << cause.localizedDescription().trimmed() << "\n";
            break;
        }
    }
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
            _err << "quilmoctl: memory cannot be purged on this system\n";
            _err.flush();
            return Failure;
        }
        if (!QMRamDiskUtils::purgeMemory()) {
            _err << "quilmoctl: the purge could not be started (see the log)\n";
            _err.flush();
            return Failure;
        }
        _out << "Purge started.\n";
    }
    QMMemoryStatistics s;
    if (!QMMacInfo::getMemoryStatistics(&s)) {
        _err << "quilmoctl: the memory statistics cannot be read\n";
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
    if (_entries || load()) {
        for (const QMRamDisk::Ptr &r : _entries->ramDisks())
            if (r->status() == QMRamDiskStatus_mounted)
                inRamDisks += r->volSize() - r->volFree();
        rows << QStringList{QStringLiteral("Used by RAM disks:"), b(inRamDisks)};
    }
    _out << QMCtlValues::table(rows);
    _out.flush();
    return Success;
}
