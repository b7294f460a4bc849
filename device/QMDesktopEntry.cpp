#include "QMDesktopEntry.h"

#include "QMBrowserInstallations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

namespace {
// Desktop-entry escapes in string values: \s \n \t \r \\.
QString unescaped(const QString &raw)
{
    QString out;
    out.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        const QChar c = raw.at(i);
        if (c != u'\\' || i + 1 == raw.size()) {
            out += c;
            continue;
        }
        const QChar n = raw.at(++i);
        switch (n.unicode()) {
        case 's': out += u' '; break;
        case 'n': out += u'\n'; break;
        case 't': out += u'\t'; break;
        case 'r': out += u'\r'; break;
        default: out += n; break;
        }
    }
    return out;
}
} // namespace

bool QMDesktopEntry::load(const QString &path)
{
    _path.clear();
    _entries.clear();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inGroup = false, sawGroup = false;
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            inGroup = line == QLatin1String("[Desktop Entry]");
            sawGroup = sawGroup || inGroup;
            continue;
        }
        if (!inGroup)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        _entries.append({line.left(eq).trimmed(), unescaped(line.mid(eq + 1).trimmed())});
    }
    if (!sawGroup) {
        _entries.clear();
        return false;
    }
    _path = path;
    return true;
}

QStringList QMDesktopEntry::applicationDirectories()
{
    QStringList dirs;
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || !QDir::isAbsolutePath(dataHome))
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    dirs << dataHome + QStringLiteral("/applications");
    QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dataDirs.isEmpty())
        dataDirs = QStringLiteral("/usr/local/share:/usr/share");
    // The system's entries are where its applications are: under the applications root.
    for (const QString &d : dataDirs.split(u':', Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(d))
            dirs << QMBrowserInstallations::underRoot(QDir::cleanPath(d)) + QStringLiteral("/applications");
    }
    dirs.removeDuplicates();
    return dirs;
}

bool QMDesktopEntry::loadFirst(const QStringList &desktopFileIds)
{
    // The user's own entries override the system's, whatever the id.
    for (const QString &dir : applicationDirectories()) {
        for (const QString &id : desktopFileIds) {
            const QString path = dir + u'/' + id;
            if (QFileInfo(path).isFile() && load(path))
                return true;
        }
    }
    return false;
}

QString QMDesktopEntry::groupValue(const QString &path, const QString &group, const QString &key)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QString header = u'[' + group + u']';
    bool inGroup = false;
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine(64 * 1024)).trimmed();
        if (line.startsWith(u'[')) {
            inGroup = line == header;
        } else if (inGroup && !line.startsWith(u'#')) {
            const qsizetype eq = line.indexOf(u'=');
            if (eq > 0 && QStringView(line).left(eq).trimmed() == key)
                return line.mid(eq + 1).trimmed();
        }
    }
    return {};
}

QString QMDesktopEntry::value(const QString &key) const
{
    for (const auto &e : _entries) {
        if (e.first == key)
            return e.second;
    }
    return {};
}

QString QMDesktopEntry::localizedValue(const QString &key) const
{
    // lang_COUNTRY@MODIFIER, lang_COUNTRY, lang@MODIFIER, lang, then the plain key.
    const QString locale = QLocale().name();
    QStringList candidates;
    candidates << locale;
    const qsizetype underscore = locale.indexOf(u'_');
    if (underscore > 0)
        candidates << locale.left(underscore);
    for (const QString &c : candidates) {
        const QString v = value(QStringLiteral("%1[%2]").arg(key, c));
        if (!v.isNull())
            return v;
    }
    return value(key);
}
