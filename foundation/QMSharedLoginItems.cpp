#include "QMSharedLoginItems.h"

#include "QMLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *kClass = "QMSharedLoginItems";

// Value escapes of the desktop entry format: \s \n \t \r \\.
QString unescapeValue(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 >= value.size()) {
            out += c;
            continue;
        }
        const QChar n = value.at(++i);
        switch (n.unicode()) {
        case 's': out += QLatin1Char(' '); break;
        case 'n': out += QLatin1Char('\n'); break;
        case 't': out += QLatin1Char('\t'); break;
        case 'r': out += QLatin1Char('\r'); break;
        case '\\': out += QLatin1Char('\\'); break;
        default: out += QLatin1Char('\\'); out += n; break;
        }
    }
    return out;
}

QString escapeValue(const QString &value)
{
    QString out;
    out.reserve(value.size() + 8);
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\': out += QLatin1String("\\\\"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\t': out += QLatin1String("\\t"); break;
        case '\r': out += QLatin1String("\\r"); break;
        default: out += c; break;
        }
    }
    // A leading space would be trimmed by readers.
    if (out.startsWith(QLatin1Char(' ')))
        out.replace(0, 1, QLatin1String("\\s"));
    return out;
}

struct DesktopFile
{
    bool ok = false;
    QString name;
    QString exec;
    bool hidden = false;
    bool autostartDisabled = false;
};

// Only the keys the login items need, from the [Desktop Entry] group; localized keys
// ("Name[de]") are not the display name we match on.
DesktopFile readDesktopFile(const QString &path)
{
    DesktopFile df;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return df;
    bool inMainGroup = false;
    bool sawGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            sawGroup = sawGroup || inMainGroup;
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Name"))
            df.name = unescapeValue(value);
        else if (key == QLatin1String("Exec"))
            df.exec = unescapeValue(value);
        else if (key == QLatin1String("Hidden"))
            df.hidden = value == QLatin1String("true");
        else if (key == QLatin1String("X-GNOME-Autostart-enabled"))
            df.autostartDisabled = value == QLatin1String("false");
    }
    df.ok = sawGroup;
    return df;
}

bool samePath(const QString &a, const QString &b)
{
    const QString ca = QFileInfo(a).canonicalFilePath();
    const QString cb = QFileInfo(b).canonicalFilePath();
    if (!ca.isEmpty() && !cb.isEmpty())
        return ca == cb;
    return QDir::cleanPath(a) == QDir::cleanPath(b);
}

struct Target
{
    QString path;      // the program's absolute path
    QString fileName;  // N
    QString baseName;  // N without its extension
};

bool targetFromUrl(const QUrl &url, Target *target)
{
    if (url.isEmpty() || !url.isLocalFile())
        return false;
    const QString path = QDir::cleanPath(url.toLocalFile());
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return false;
    const QFileInfo info(path);
    target->path = path;
    target->fileName = info.fileName();
    target->baseName = info.completeBaseName();
    return !target->fileName.isEmpty();
}

struct Match
{
    bool exact = false; // resolves to the program and is enabled
    bool loose = false; // same name, or same program but disabled
    bool stale = false;
    bool resolved = false;
};

Match matchEntry(const QMSharedLoginItems::Entry &e, const Target &t)
{
    Match m;
    m.stale = e.resolution == QMSharedLoginItems::Entry::Missing;
    m.resolved = e.resolution == QMSharedLoginItems::Entry::Resolved;
    const bool pathMatch = m.resolved && samePath(e.resolvedPath, t.path);
    m.exact = pathMatch && !e.isDisabled;
    // A disabled entry of the program itself would never start it: treat it like another
    // copy, so that adding enables the item again.
    m.loose = (!e.displayName.isEmpty() && (e.displayName == t.fileName || e.displayName == t.baseName))
              || (pathMatch && e.isDisabled);
    return m;
}

bool removeEntry(const QMSharedLoginItems::Entry &e)
{
    if (QFile::remove(e.filePath))
        return true;
    const int code = errno;
    const QString address = e.resolvedPath.isEmpty() ? e.program : e.resolvedPath;
    QM_LogErrorMethod(kClass, QStringLiteral("LSSharedFileListItemRemove:%1 urlRef:%2").arg(code).arg(address));
    return false;
}

// A file name for a new entry that does not replace any other entry.
QString newEntryPath(const QString &dir, const QString &baseName)
{
    QString stem;
    for (const QChar c : baseName)
        stem += (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char('.'))
                    ? c
                    : QLatin1Char('_');
    if (stem.isEmpty() || stem.startsWith(QLatin1Char('.')))
        stem.prepend(QLatin1String("item"));
    QString path = dir + QLatin1Char('/') + stem + QLatin1String(".desktop");
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = dir + QLatin1Char('/') + stem + QLatin1Char('-') + QString::number(n) + QLatin1String(".desktop");
    return path;
}

bool insertEntry(const QString &dir, const Target &t)
{
    const QByteArray native = QFile::encodeName(t.path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(native.constData(), X_OK) != 0) {
        // An entry for a program that cannot start would be stale from the outset.
        QM_LogErrorMethod(kClass, QStringLiteral("insertItem==NULL path:%1 error:%2")
                                      .arg(t.path, QString::fromLocal8Bit(strerror(errno ? errno : ENOEXEC))));
        return false;
    }
    const QString path = newEntryPath(dir, t.baseName);
    QSaveFile file(path);
    // TryExec: once the program is gone (the package removed), the session skips the entry
    // instead of failing to start it at every login.
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=%1\n"
                                        "TryExec=%2\n"
                                        "Exec=%3\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(escapeValue(t.baseName), escapeValue(t.path),
                                  QMSharedLoginItems::execLineForProgram(t.path));
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        QM_LogErrorMethod(kClass, QStringLiteral("insertItem==NULL path:%1 error:%2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

} // namespace

QString QMSharedLoginItems::autostartDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart");
}

QString QMSharedLoginItems::execLineForProgram(const QString &programPath)
{
    QString arg = programPath;
    arg.replace(QLatin1Char('%'), QLatin1String("%%"));
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool needsQuotes =
        arg.isEmpty() || std::any_of(arg.begin(), arg.end(), [](QChar c) { return reserved.contains(c); });
    if (needsQuotes) {
        QString quoted = QStringLiteral("\"");
        for (const QChar c : arg) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
                quoted += QLatin1Char('\\');
            quoted += c;
        }
        quoted += QLatin1Char('"');
        arg = quoted;
    }
    return escapeValue(arg);
}

QString QMSharedLoginItems::programFromExecLine(const QString &exec)
{
    qsizetype i = 0;
    while (i < exec.size() && exec.at(i).isSpace())
        ++i;
    if (i >= exec.size())
        return {};
    QString token;
    if (exec.at(i) == QLatin1Char('"')) {
        bool closed = false;
        for (++i; i < exec.size(); ++i) {
            const QChar c = exec.at(i);
            if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
                token += exec.at(++i);
            } else if (c == QLatin1Char('"')) {
                closed = true;
                break;
            } else {
                token += c;
            }
        }
        if (!closed)
            return {};
    } else {
        for (; i < exec.size() && !exec.at(i).isSpace(); ++i)
            token += exec.at(i);
    }
    token.replace(QLatin1String("%%"), QLatin1String("%"));
    return token;
}

bool QMSharedLoginItems::snapshot(QList<Entry> *entries)
{
    entries->clear();
    const QString dirPath = autostartDirectory();
    const QByteArray native = QFile::encodeName(dirPath);
    DIR *dir = ::opendir(native.constData());
    if (!dir)
        return errno == ENOENT;
    QStringList names;
    while (dirent *de = ::readdir(dir)) {
        const QString name = QFile::decodeName(de->d_name);
        if (name.endsWith(QLatin1String(".desktop")) && !name.startsWith(QLatin1Char('.')))
            names << name;
    }
    ::closedir(dir);
    names.sort();

    for (const QString &name : std::as_const(names)) {
        Entry e;
        e.filePath = dirPath + QLatin1Char('/') + name;
        const DesktopFile df = readDesktopFile(e.filePath);
        if (!df.ok)
            continue;
        e.displayName = df.name;
        e.isDisabled = df.hidden || df.autostartDisabled;
        e.program = programFromExecLine(df.exec);
        if (e.program.isEmpty()) {
            e.resolution = Entry::Unresolvable;
        } else if (QDir::isAbsolutePath(e.program)) {
            struct stat st {};
            if (::stat(QFile::encodeName(e.program).constData(), &st) == 0) {
                e.resolution = Entry::Resolved;
                e.resolvedPath = QDir::cleanPath(e.program);
            } else {
                e.resolution = (errno == ENOENT || errno == ENOTDIR) ? Entry::Missing : Entry::Unresolvable;
            }
        } else if (!e.program.contains(QLatin1Char('/'))) {
            const QString found = QStandardPaths::findExecutable(e.program);
            e.resolution = found.isEmpty() ? Entry::Missing : Entry::Resolved;
            e.resolvedPath = found;
        } else {
            // Relative to what? Autostart has no working directory to speak of.
            e.resolution = Entry::Unresolvable;
        }
        entries->append(e);
    }
    return true;
}

bool QMSharedLoginItems::addLoginItem(const QUrl &url)
{
    Target t;
    if (!targetFromUrl(url, &t))
        return false;
    const QString dir = autostartDirectory();
    QList<Entry> entries;
    if (!QDir().mkpath(dir) || !snapshot(&entries)) {
        QM_LogErrorMethod(kClass, QStringLiteral("snapshot==NULL"));
        return false;
    }
    bool present = false;
    for (const Entry &e : std::as_const(entries)) {
        const Match m = matchEntry(e, t);
        if (m.stale && m.loose)
            removeEntry(e);
        else if (m.exact)
            present = true;
        else if (m.resolved && m.loose)
            removeEntry(e);
    }
    if (present)
        return true;
    return insertEntry(dir, t);
}

bool QMSharedLoginItems::removeLoginItem(const QUrl &url)
{
    Target t;
    if (!targetFromUrl(url, &t))
        return false;
    QList<Entry> entries;
    if (!snapshot(&entries)) {
        QM_LogErrorMethod(kClass, QStringLiteral("snapshot==NULL"));
        return false;
    }
    bool met = false;
    for (const Entry &e : std::as_const(entries)) {
        const Match m = matchEntry(e, t);
        if ((m.stale && m.loose) || (m.resolved && (m.exact || m.loose))) {
            met = true;
            removeEntry(e);
        }
    }
    return met;
}

bool QMSharedLoginItems::isLoginItem(const QUrl &url, bool *isValid)
{
    Target t;
    if (!targetFromUrl(url, &t))
        return false;
    QList<Entry> entries;
    if (!snapshot(&entries)) {
        QM_LogErrorMethod(kClass, QStringLiteral("snapshot==NULL"));
        return false;
    }
    bool validMark = false;
    bool nameMark = false;
    for (const Entry &e : std::as_const(entries)) {
        const Match m = matchEntry(e, t);
        if (m.exact)
            validMark = true;
        else if ((m.stale || m.resolved) && m.loose)
            nameMark = true;
    }
    if (isValid)
        *isValid = validMark;
    return validMark || nameMark;
}
