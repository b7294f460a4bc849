#include "QMCrashReporter.h"

#include "QMAlert.h"
#include "QMCrashHandler.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMLogFile.h"
#include "QMMacInfo.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Localizable", text);
}

QString offeredListPath()
{
    return QMCrashHandler::crashDirectory() + QStringLiteral("/offered");
}

QStringList readOfferedList()
{
    QFile f(offeredListPath());
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool processIsAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// "NAME" of /etc/os-release, which QSysInfo reads too; kept readable when it is missing.
QString distribution()
{
    const QString pretty = QSysInfo::prettyProductName();
    return pretty.isEmpty() ? QStringLiteral("unknown") : pretty;
}

QString orNone(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("none") : text;
}

// The system's own directories: no RAM disk and no file of the user's lies there, and what
// a crash report names there (libraries, programs) helps to read it.
bool isSystemPath(const QString &path)
{
    static const char *const prefixes[] = {"/usr/", "/lib/", "/lib32/", "/lib64/", "/libx32/", "/bin/", "/sbin/",
                                           "/etc/", "/proc/", "/sys/", "/dev/", "/opt/", "/boot/", "/snap/"};
    for (const char *prefix : prefixes)
        if (path.startsWith(QLatin1String(prefix)))
            return true;
    return false;
}

// A path begins at "/" (or "~/") at the start of a field: after a blank, a bracket, a
// quote, "=" or the ":" of "key:".
bool startsPath(const QString &line, qsizetype i)
{
    const bool slash = line.at(i) == QLatin1Char('/')
                       || (line.at(i) == QLatin1Char('~') && i + 1 < line.size() && line.at(i + 1) == QLatin1Char('/'));
    if (!slash)
        return false;
    return i == 0 || line.at(i - 1).isSpace() || QStringLiteral("([{<:=,'\"").contains(line.at(i - 1));
}

// Where the path that begins at `start` ends: at the end of its field. Names may hold
// blanks, so a field ends only at the next " key:" of the log line, at a closing bracket
// that it did not open, at a quote, a tab, or the end of the line.
qsizetype pathEnd(const QString &line, qsizetype start)
{
    static const QRegularExpression nextField(QStringLiteral("\\s+[A-Za-z_][\\w.\\[\\]-]*[:=](?!\\s)"));
    int depth = 0;
    for (qsizetype i = start; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == QLatin1Char('(')) {
            ++depth;
        } else if (c == QLatin1Char(')')) {
            if (depth-- == 0)
                return i;
        } else if (c == QLatin1Char('"') || c == QLatin1Char('>') || c == QLatin1Char(']') || c == QLatin1Char('\t')) {
            return i;
        } else if (c.isSpace()
                   && nextField.match(line, i, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption)
                          .hasMatch()) {
            return i;
        }
    }
    return line.size();
}

QString redactedLine(QString line)
{
    // Quoted fields: names of RAM disks (their records print them quoted), of files in
    // messages, whatever a user typed.
    static const QRegularExpression quoted(QStringLiteral("\"(?:[^\"\\\\]|\\\\.)*\"|\u201C[^\u201D]*\u201D"));
    line.replace(quoted, QStringLiteral("\"<private>\""));
    QString result;
    result.reserve(line.size());
    for (qsizetype i = 0; i < line.size();) {
        if (!startsPath(line, i)) {
            result += line.at(i++);
            continue;
        }
        const qsizetype end = pathEnd(line, i);
        const QString path = line.mid(i, end - i);
        result += isSystemPath(path) ? path : QStringLiteral("<path>");
        i = end;
    }
    return result;
}

} // namespace

QMCrashReporter *QMCrashReporter::sharedInstance()
{
    static QMCrashReporter reporter(QStringLiteral("Quilmo"));
    return &reporter;
}

QMCrashReporter::QMCrashReporter(const QString &program) : _program(program) {}

void QMCrashReporter::setWindow(QWidget *window)
{
    _window = window;
}

void QMCrashReporter::setProfileProvider(ProfileProvider provider)
{
    _profileProvider = std::move(provider);
}

QString QMCrashReporter::runningMarkerPath() const
{
    return QMLogFile::logDirectory() + QLatin1Char('/') + _program + QStringLiteral(".running");
}

QString QMCrashReporter::supportURL()
{
    QString base = QMLog::vendorWebsiteURL().toString();
    return base + QStringLiteral("?page=support&app=quilmo");
}

void QMCrashReporter::applicationLoaded()
{
    const QString dir = QMCrashHandler::crashDirectory();
    QDir().mkpath(dir);
    const QString marker = runningMarkerPath();
    QFile previous(marker);
    if (previous.open(QIODevice::ReadOnly)) {
        const qint64 pid = QString::fromUtf8(previous.readAll()).trimmed().toLongLong();
        previous.close();
        const bool stillRunning = pid != getpid() && processIsAlive(pid)
                                  && QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget()
                                         == QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
        if (!stillRunning) {
            // The run that wrote the marker never quit. A crash report of that process
            // says more; without one, record that it ended (killed, or the session went).
            const QString suffix = QStringLiteral("-%1").arg(pid) + QMCrashHandler::reportSuffix();
            bool hasCrashReport = false;
            for (const QString &report : reportFiles())
                hasCrashReport = hasCrashReport
                                 || (QFileInfo(report).fileName().startsWith(_program + QLatin1Char('-'))
                                     && report.endsWith(suffix));
            if (!hasCrashReport) {
                const qint64 when = QFileInfo(marker).lastModified().toSecsSinceEpoch();
                const QString path = dir + QStringLiteral("/%1-%2-%3-unclean").arg(_program).arg(when).arg(pid)
                                     + QMCrashHandler::reportSuffix();
                QFile report(path);
                if (report.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
                    report.write(QStringLiteral("Quilmo unclean end\nProgram: %1\nVersion: %2\nBuild: %3\n"
                                                "Process: %4\nStarted: %5\n\n"
                                                "The program ended without quitting and left no crash report "
                                                "(it was killed, or the session or the machine went down).\n")
                                     .arg(_program, QMFunctions::appVersion(), QMFunctions::appBuild())
                                     .arg(pid)
                                     .arg(QFileInfo(marker).lastModified().toString(Qt::ISODate))
                                     .toUtf8());
                } else {
                    QM_LogErrorFunction(QStringLiteral("open==NO path:%1").arg(path));
                }
            }
        }
    }
    QFile current(marker);
    if (current.open(QIODevice::WriteOnly | QIODevice::Truncate))
        current.write(QByteArray::number(static_cast<qint64>(getpid())) + '\n');
    else
        QM_LogErrorFunction(QStringLiteral("open==NO path:%1").arg(marker));
    deleteOldReports();
}

void QMCrashReporter::applicationTerminated()
{
    QFile::remove(runningMarkerPath());
}

QStringList QMCrashReporter::reportFiles() const
{
    QDir dir(QMCrashHandler::crashDirectory());
    QFileInfoList infos = dir.entryInfoList({QStringLiteral("*") + QMCrashHandler::reportSuffix()}, QDir::Files);
    // Oldest first: by the time in the name (program-seconds-pid), then by name.
    auto seconds = [](const QFileInfo &info) {
        const QStringList parts = info.completeBaseName().split(QLatin1Char('-'));
        for (const QString &p : parts) {
            bool ok = false;
            const qint64 v = p.toLongLong(&ok);
            if (ok && v > 100000000)
                return v;
        }
        return info.lastModified().toSecsSinceEpoch();
    };
    std::sort(infos.begin(), infos.end(), [&](const QFileInfo &a, const QFileInfo &b) {
        const qint64 sa = seconds(a), sb = seconds(b);
        return sa != sb ? sa < sb : a.fileName() < b.fileName();
    });
    QStringList paths;
    for (const QFileInfo &info : infos)
        paths << info.absoluteFilePath();
    return paths;
}

QStringList QMCrashReporter::pendingReports() const
{
    const QStringList offered = readOfferedList();
    QStringList pending;
    for (const QString &report : reportFiles())
        if (!offered.contains(QFileInfo(report).fileName()))
            pending << report;
    return pending;
}

void QMCrashReporter::markReportsOffered(const QStringList &reports)
{
    QStringList offered = readOfferedList();
    // Only names of reports still there: the list never grows beyond the kept reports.
    QStringList present;
    for (const QString &report : reportFiles())
        present << QFileInfo(report).fileName();
    for (const QString &report : reports)
        offered << QFileInfo(report).fileName();
    QStringList kept;
    for (const QString &name : std::as_const(offered))
        if (present.contains(name) && !kept.contains(name))
            kept << name;
    QFile f(offeredListPath());
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        QM_LogErrorFunction(QStringLiteral("open==NO path:%1").arg(offeredListPath()));
        return;
    }
    f.write(kept.join(QLatin1Char('\n')).toUtf8() + '\n');
}

bool QMCrashReporter::needsDisplayReclam() const
{
    return !pendingReports().isEmpty();
}

void QMCrashReporter::deleteOldReports() const
{
    const QStringList reports = reportFiles();
    for (qsizetype i = 0; i + keptReports < reports.size(); ++i)
        QFile::remove(reports.at(i));
}

QString QMCrashReporter::environmentProfile() const
{
    QStringList lines;
    lines << QStringLiteral("Quilmo problem report");
    lines << QStringLiteral("Created: %1").arg(QDateTime::currentDateTime().toString(Qt::ISODate));
    lines << QStringLiteral("Quilmo: %1 (build %2)").arg(QMFunctions::appVersion(), QMFunctions::appBuild());
    lines << QStringLiteral("Program: %1").arg(_program);
    lines << QStringLiteral("Qt: %1 (built with %2)").arg(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR));
    lines << QStringLiteral("Distribution: %1").arg(distribution());
    lines << QStringLiteral("Kernel: %1 %2 %3")
                 .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(), QSysInfo::currentCpuArchitecture());
    lines << QStringLiteral("Desktop: %1, session %2")
                 .arg(orNone(qEnvironmentVariable("XDG_CURRENT_DESKTOP")),
                      orNone(qEnvironmentVariable("XDG_SESSION_TYPE")));
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        lines << QStringLiteral("Qt platform: %1").arg(QGuiApplication::platformName());
    lines << QStringLiteral("Machine: %1; %2").arg(orNone(QMMacInfo::macModelType()), orNone(QMMacInfo::processorInfo()));
    lines << QStringLiteral("Memory: %1 physical").arg(QMFunctions::stringFromBytesWithBin1024Style(
                 static_cast<qint64>(QMMacInfo::physicalMemory())));
    QMMemoryStatistics stats;
    if (QMMacInfo::getMemoryStatistics(&stats)) {
        auto b = [](quint64 v) { return QMFunctions::stringFromBytesWithBin1024Style(static_cast<qint64>(v)); };
        lines << QStringLiteral("Memory use: %1 wired, %2 active, %3 inactive, %4 free, %5 purgeable, %6 compressed")
                     .arg(b(stats.wired), b(stats.active), b(stats.inactive), b(stats.free), b(stats.purgeable),
                          b(stats.compressed));
    }
    lines << QStringLiteral("Uptime: %1").arg(orNone(QMMacInfo::systemUptime()));
    const RamDiskProfile ramDisks = _profileProvider ? _profileProvider() : RamDiskProfile{};
    lines << QStringLiteral("RAM disks: %1").arg(ramDisks.lines.size());
    for (const QString &line : ramDisks.lines)
        lines << QStringLiteral("  ") + line;
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString QMCrashReporter::redacted(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line = redactedLine(line);
    return lines.join(QLatin1Char('\n'));
}

QString QMCrashReporter::createArchive(const QString &directory, QString *error) const
{
    auto fail = [&](const QString &why) {
        QM_LogErrorFunction(why);
        if (error)
            *error = why;
        return QString();
    };
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
    const QString name = QStringLiteral("Quilmo-Problem-Report-") + stamp;

    // What goes in, read and redacted first.
    QList<QPair<QString, QByteArray>> entries;
    entries.append({name + QStringLiteral("/profile.txt"), environmentProfile().toUtf8()});
    auto addRedacted = [&](const QString &inArchive, const QString &path) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            entries.append({inArchive, redacted(QString::fromUtf8(f.readAll())).toUtf8()});
    };
    for (const QString &report : reportFiles())
        addRedacted(name + QStringLiteral("/crashes/") + QFileInfo(report).fileName(), report);
    const QFileInfoList logs =
        QDir(QMLogFile::logDirectory()).entryInfoList({QStringLiteral("*.log"), QStringLiteral("*.log.*")}, QDir::Files);
    for (const QFileInfo &log : logs)
        addRedacted(name + QStringLiteral("/logs/") + log.fileName(), log.absoluteFilePath());

    // Made the user's alone from its first byte: the logs it gathers were kept private too.
    QString archive = directory + QLatin1Char('/') + name + QStringLiteral(".tar.gz");
    int fd = -1;
    for (int n = 2; (fd = ::open(QFile::encodeName(archive).constData(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) < 0 && errno == EEXIST;
         ++n)
        archive = directory + QLatin1Char('/') + name + QStringLiteral("-%1.tar.gz").arg(n);
    if (fd < 0)
        return fail(QStringLiteral("open==NO path:%1 error:%2").arg(archive, QString::fromLocal8Bit(strerror(errno))));
    ::fchmod(fd, 0600);

    struct archive *writer = archive_write_new();
    bool ok = writer && archive_write_add_filter_gzip(writer) == ARCHIVE_OK
              && archive_write_set_format_pax_restricted(writer) == ARCHIVE_OK
              && archive_write_open_fd(writer, fd) == ARCHIVE_OK;
    const time_t now = time(nullptr);
    auto add = [&](const QString &path, const QByteArray *data) {
        struct archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, path.toUtf8().constData());
        archive_entry_set_filetype(entry, data ? AE_IFREG : AE_IFDIR);
        archive_entry_set_perm(entry, data ? 0600 : 0700);
        archive_entry_set_size(entry, data ? data->size() : 0);
        archive_entry_set_mtime(entry, now, 0);
        bool written = archive_write_header(writer, entry) == ARCHIVE_OK;
        if (written && data && !data->isEmpty())
            written = archive_write_data(writer, data->constData(), size_t(data->size())) == data->size();
        archive_entry_free(entry);
        return written;
    };
    for (const char *dir : {"", "/crashes", "/logs"})
        ok = ok && add(name + QLatin1String(dir), nullptr);
    for (const auto &entry : std::as_const(entries))
        ok = ok && add(entry.first, &entry.second);
    const QString why = writer && archive_error_string(writer) ? QString::fromLocal8Bit(archive_error_string(writer))
                                                                : QStringLiteral("(null)");
    ok = writer && archive_write_close(writer) == ARCHIVE_OK && ok;
    if (writer)
        archive_write_free(writer);
    if (::close(fd) != 0)
        ok = false;
    if (!ok) {
        QFile::remove(archive);
        return fail(QStringLiteral("archive_write==NO path:%1 error:%2").arg(archive, why));
    }
    return archive;
}

void QMCrashReporter::revealInFileManager(const QString &path) const
{
    // The desktop's file manager selects the file where it offers the standard interface;
    // otherwise the folder is opened.
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = QStringLiteral("org.freedesktop.FileManager1");
    if (bus.isConnected() && bus.interface()
        && (bus.interface()->isServiceRegistered(service).value()
            || bus.interface()->activatableServiceNames().value().contains(service))) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/FileManager1"),
                                                           service, QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
        if (bus.send(call))
            return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

void QMCrashReporter::createAndShowArchive()
{
    QString why;
    const QString archive = createArchive(QDir::homePath(), &why);
    QMAlertRequest done;
    done.window = _window;
    if (archive.isNull()) {
        done.objectName = QStringLiteral("QMCrashReporterFailed");
        done.icon = QMessageBox::Warning;
        done.messageText = tr("The problem report could not be created.");
        done.informativeText = tr("Check that your home folder has free space and that you may write in it, then "
                                  "try again.");
        // How it failed, for support: a failed step and the tool's output.
        done.detailedText = why;
        QMAlert::beginSheet(done, {});
        return;
    }
    revealInFileManager(archive);
    QDesktopServices::openUrl(QUrl(supportURL()));
    done.objectName = QStringLiteral("QMCrashReporterDone");
    done.icon = QMessageBox::Information;
    done.messageText = tr("The problem report is ready.");
    done.informativeText = tr("It is the file \"%@\" in your home folder. Please attach it to your message "
                              "on the support page.")
                               .replace(QLatin1String("%@"), QFileInfo(archive).fileName());
    QMAlert::beginSheet(done, {});
    if (_reportCreatedHandler)
        _reportCreatedHandler();
}

void QMCrashReporter::presentToUserWithMode(int mode)
{
    // Whatever the answer, these reports have been offered.
    markReportsOffered(reportFiles());

    QMAlertRequest alert;
    alert.objectName = QStringLiteral("QMCrashReporterAlert");
    alert.icon = mode == 0 ? QMessageBox::Warning : QMessageBox::Question;
    alert.window = _window;
    switch (mode) {
    case 0:
        alert.messageText = tr("Quilmo ended unexpectedly the last time it ran.");
        break;
    case 2:
        alert.messageText = tr("Report this error to Quilmo's support?");
        break;
    default:
        alert.messageText = tr("Submit a problem report to Quilmo's support?");
        break;
    }
    alert.informativeText =
        tr("Quilmo can gather into one archive in your home folder, readable by you alone: its crash reports, its "
           "logs, and a description of this computer (Quilmo's and the system's versions, the desktop, the memory, "
           "and the size and settings of each RAM disk). Names of RAM disks, files and folders, and every path in "
           "your home or on a RAM disk, are replaced by <private> and <path>. You can look inside before you attach "
           "it to a message on the support page; nothing is sent by Quilmo itself.");
    alert.buttons = {tr("Create Report"), mode == 0 ? tr("Not Now") : tr("Cancel")};
    QMAlert::beginSheet(alert, [this](int button) {
        if (button == 0)
            createAndShowArchive();
    });
}
