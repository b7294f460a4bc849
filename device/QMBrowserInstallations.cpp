#include "QMBrowserInstallations.h"

#include "QMDesktopEntry.h"
#include "QMFunctions.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QRegularExpression>

#include <unistd.h>

namespace {

using Installation = QMBrowserInstallations::Installation;

QMutex gRootMutex;
std::optional<QString> gRootOverride;

// "" for "/", so that a system path joins the root as it is.
QString rootPrefix()
{
    const QString root = QMBrowserInstallations::applicationsRoot();
    return root == QLatin1String("/") ? QString() : root;
}

QString xdgHome(const char *variable, const char *fallback)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(QDir::homePath()) + u'/' + QLatin1String(fallback);
}

// The system directories of an XDG list ("/usr/local/share:/usr/share"), under the root.
QStringList xdgSystemDirs(const char *variable, const char *fallback)
{
    QString value = qEnvironmentVariable(variable);
    if (value.isEmpty())
        value = QLatin1String(fallback);
    QStringList dirs;
    for (const QString &dir : value.split(u':', Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(dir))
            dirs << QMBrowserInstallations::underRoot(QDir::cleanPath(dir));
    }
    dirs.removeDuplicates();
    return dirs;
}

QString fileName(const QString &path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return !path.isEmpty() && info.isFile() && info.isExecutable();
}

bool isDirectory(const QString &path)
{
    return QFileInfo(path).isDir();
}

bool sameFile(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    const QString ca = QFileInfo(a).canonicalFilePath();
    return a == b || (!ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath());
}

// Follows symbolic links to the file itself; an absolute target stays under the root.
QString followLinks(QString path)
{
    for (int hops = 0; hops < 32; ++hops) {
        const QFileInfo info(path);
        if (!info.isSymLink())
            return info.exists() ? QDir::cleanPath(path) : QString();
        char target[4096];
        const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target - 1);
        if (n <= 0)
            return {};
        const QString t = QFile::decodeName(QByteArray(target, static_cast<qsizetype>(n)));
        path = QDir::cleanPath(t.startsWith(u'/') ? QMBrowserInstallations::underRoot(t)
                                                  : info.absolutePath() + u'/' + t);
    }
    return {};
}

QString findOnPath(const QString &name)
{
    QString path = qEnvironmentVariable("PATH");
    if (path.isEmpty())
        path = QStringLiteral("/usr/local/bin:/usr/bin:/bin");
    for (const QString &dir : path.split(u':', Qt::SkipEmptyParts)) {
        // A relative entry would depend on where Quilmo was started.
        if (!QDir::isAbsolutePath(dir))
            continue;
        const QString candidate = QMBrowserInstallations::underRoot(QDir::cleanPath(dir)) + u'/' + name;
        if (isExecutableFile(followLinks(candidate)))
            return candidate;
    }
    return {};
}

bool isScript(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.read(2) == "#!";
}

// The words of a shell line, quotes taken away and "$" references kept; ";" stands alone.
QStringList shellWords(const QString &line)
{
    QStringList words;
    QString word;
    bool inWord = false;
    QChar quote;
    for (const QChar c : line) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else
                word += c;
            continue;
        }
        if (c == u'\'' || c == u'"') {
            quote = c;
            inWord = true;
        } else if (c == u'#' && !inWord) {
            break;
        } else if (c.isSpace() || c == u';') {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
            if (c == u';')
                words << QStringLiteral(";");
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    return words;
}

// Whether a word stands where a command begins.
bool startsCommand(const QStringList &words, qsizetype i)
{
    if (i == 0)
        return true;
    const QString &before = words.at(i - 1);
    static const QStringList keywords = {QStringLiteral(";"),  QStringLiteral("then"), QStringLiteral("else"),
                                         QStringLiteral("do"), QStringLiteral("&&"),   QStringLiteral("||"),
                                         QStringLiteral("export")};
    return keywords.contains(before) || before.endsWith(u')');
}

const QRegularExpression &assignmentPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^([A-Za-z_][A-Za-z0-9_]*)=(.*)$"));
    return pattern;
}

// Every value a word can have with the script's assignments; none when it needs what only
// running the script tells ("$(command -v firefox)", "$0", "${X:-y}").
QStringList expansions(const QString &word, const QHash<QString, QStringList> &variables, int depth = 0)
{
    if (depth > 8 || word.contains(QLatin1String("$(")) || word.contains(u'`'))
        return {};
    static const QRegularExpression reference(QStringLiteral(R"(\$\{([A-Za-z_][A-Za-z0-9_]*)\}|\$([A-Za-z_][A-Za-z0-9_]*))"));
    const QRegularExpressionMatch m = reference.match(word);
    if (!m.hasMatch())
        return word.contains(u'$') ? QStringList() : QStringList{word};
    const QString name = m.captured(1).isEmpty() ? m.captured(2) : m.captured(1);
    QStringList out;
    for (const QString &value : variables.value(name)) {
        for (const QString &v : expansions(value, variables, depth + 1)) {
            QString replaced = word;
            replaced.replace(m.capturedStart(), m.capturedLength(), v);
            out << expansions(replaced, variables, depth + 1);
            if (out.size() >= 16) // a launcher has few; a script that has more is not one
                return out;
        }
    }
    return out;
}

// The programs a wrapper script hands over to with "exec", in the order written. A
// variable set in several places (in the branches of a "case") gives each of its values.
QStringList execTargets(const QString &script)
{
    QFile f(script);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QStringList lines = QString::fromUtf8(f.read(256 * 1024)).split(u'\n');
    QHash<QString, QStringList> variables;
    QList<QStringList> execs;
    for (const QString &line : lines) {
        const QStringList words = shellWords(line);
        for (qsizetype i = 0; i < words.size(); ++i) {
            if (!startsCommand(words, i))
                continue;
            const QRegularExpressionMatch m = assignmentPattern().match(words.at(i));
            if (m.hasMatch()) {
                QStringList &values = variables[m.captured(1)];
                if (!values.contains(m.captured(2)))
                    values << m.captured(2);
            } else if (words.at(i) == QLatin1String("exec")) {
                execs << words.mid(i + 1);
            }
        }
    }
    QStringList targets;
    for (const QStringList &args : execs) {
        qsizetype i = 0;
        while (i < args.size() && args.at(i).startsWith(u'-'))
            i += args.at(i) == QLatin1String("-a") ? 2 : 1; // exec -a NAME PROGRAM
        if (i < args.size())
            targets << expansions(args.at(i), variables);
    }
    return targets;
}

struct Resolved
{
    QString program;
    QString snap; // the snap whose command the launcher runs
};

Resolved resolveLauncher(const QString &path, int depth = 0)
{
    if (path.isEmpty() || depth > 6)
        return {};
    // A snap's command is a link to snapd's own launcher, named after the snap.
    const QString clean = QDir::cleanPath(path);
    if (clean.startsWith(QMBrowserInstallations::underRoot(QStringLiteral("/snap/bin")) + u'/'))
        return {{}, fileName(clean).section(u'.', 0, 0)};
    const QString real = followLinks(clean);
    if (!isExecutableFile(real))
        return {};
    if (!isScript(real))
        return {real, {}};
    for (const QString &target : execTargets(real)) {
        QString next;
        if (target.startsWith(u'/'))
            next = QMBrowserInstallations::underRoot(target);
        else if (!target.contains(u'/'))
            next = findOnPath(target);
        const Resolved r = resolveLauncher(next, depth + 1);
        if (!r.program.isEmpty() || !r.snap.isEmpty())
            return r;
    }
    return {};
}

// ---- Versions ---------------------------------------------------------------------------

// The first word that begins with a digit of what `program --version` prints
// ("Chromium 120.0.6099.109 built on Debian"), asked once per program and modification.
QString versionOutput(const QString &program)
{
    static QMutex mutex;
    static QHash<QString, QString> versions;
    const QString key = program + u'@' + QString::number(QFileInfo(program).lastModified().toMSecsSinceEpoch());
    {
        QMutexLocker lock(&mutex);
        const auto it = versions.constFind(key);
        if (it != versions.constEnd())
            return *it;
    }
    qint64 status = 0;
    QString out;
    QString version;
    if (QMFunctions::executeCommand(program, {QStringLiteral("--version")}, &status, &out, nullptr) && status == 0) {
        for (const QString &word : out.simplified().split(u' ')) {
            if (!word.isEmpty() && word.at(0).isDigit()) {
                version = word;
                break;
            }
        }
    }
    QMutexLocker lock(&mutex);
    versions.insert(key, version);
    return version;
}

// "version: '120.0.6099.109'" of a snap's meta/snap.yaml.
QString snapYamlVersion(const QString &snapDirectory)
{
    QFile f(snapDirectory + QStringLiteral("/meta/snap.yaml"));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine());
        if (line.startsWith(QLatin1String("version:"))) {
            QString value = line.mid(8).trimmed();
            if (value.size() >= 2 && (value.front() == u'\'' || value.front() == u'"') && value.back() == value.front())
                value = value.mid(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

// The newest release of a Flatpak's AppStream file, which lists its releases newest first.
QString metainfoVersion(const QString &files, const QString &id)
{
    for (const QString &relative : {QStringLiteral("/share/metainfo/%1.metainfo.xml"),
                                    QStringLiteral("/share/metainfo/%1.appdata.xml"),
                                    QStringLiteral("/share/appdata/%1.appdata.xml")}) {
        QFile f(files + relative.arg(id));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        static const QRegularExpression release(QStringLiteral(R"(<release\b[^>]*\bversion\s*=\s*["']([^"']+)["'])"));
        const QRegularExpressionMatch m = release.match(QString::fromUtf8(f.read(4 * 1024 * 1024)));
        if (m.hasMatch())
            return m.captured(1);
    }
    return {};
}

QString installationVersion(const Installation &inst, const QString &snapDirectory, const QString &flatpakFiles)
{
    QString version;
    if (inst.browser == QMBrowserInstallations::Firefox && !inst.program.isEmpty()) {
        // Beside the real program, whatever launched it; platform.ini when it is alone.
        const QString dir = QFileInfo(inst.program).absolutePath();
        version = QMDesktopEntry::groupValue(dir + QStringLiteral("/application.ini"), QStringLiteral("App"),
                                             QStringLiteral("Version"));
        if (version.isEmpty())
            version = QMDesktopEntry::groupValue(dir + QStringLiteral("/platform.ini"), QStringLiteral("Build"),
                                                 QStringLiteral("Milestone"));
    }
    // A sandboxed program is not run outside its sandbox: its package tells the version.
    if (version.isEmpty() && inst.kind == QMBrowserInstallations::Directory)
        version = versionOutput(inst.program);
    if (version.isEmpty() && inst.kind == QMBrowserInstallations::Snap)
        version = snapYamlVersion(snapDirectory);
    if (version.isEmpty() && inst.kind == QMBrowserInstallations::Flatpak)
        version = metainfoVersion(flatpakFiles, inst.sandboxId);
    return version;
}

// ---- Where each browser is installed ----------------------------------------------------------

struct Layout
{
    QStringList launchers;   // names on PATH
    QStringList directories; // where packages and tarballs put the program
    QStringList programs;    // the program's name there
    QString snap;            // the snap's name and its program inside the snap
    QString snapProgram;
    QString flatpak;         // the Flatpak's id and its program inside files/
    QString flatpakProgram;
};

const Layout &layoutOf(QMBrowserInstallations::Browser browser)
{
    static const Layout firefox{
        {QStringLiteral("firefox"), QStringLiteral("firefox-esr")},
        {QStringLiteral("/usr/lib/firefox"), QStringLiteral("/usr/lib/firefox-esr"), QStringLiteral("/usr/lib64/firefox"),
         QStringLiteral("/usr/lib64/firefox-esr"), QStringLiteral("/opt/firefox"), QStringLiteral("/opt/firefox-esr"),
         QStringLiteral("/usr/local/lib/firefox")},
        {QStringLiteral("firefox"), QStringLiteral("firefox-esr"), QStringLiteral("firefox-bin")},
        QStringLiteral("firefox"),
        QStringLiteral("usr/lib/firefox/firefox"),
        QStringLiteral("org.mozilla.firefox"),
        QStringLiteral("lib/firefox/firefox")};
    static const Layout chromium{
        {QStringLiteral("chromium"), QStringLiteral("chromium-browser")},
        {QStringLiteral("/usr/lib/chromium"), QStringLiteral("/usr/lib/chromium-browser"),
         QStringLiteral("/usr/lib64/chromium-browser")},
        {QStringLiteral("chromium"), QStringLiteral("chromium-browser"), QStringLiteral("chrome")},
        QStringLiteral("chromium"),
        QStringLiteral("usr/lib/chromium-browser/chrome"),
        QStringLiteral("org.chromium.Chromium"),
        QStringLiteral("chromium/chrome")};
    // Google's own package only: its launchers find the program from where they are.
    static const Layout chrome{{}, {QStringLiteral("/opt/google/chrome")}, {QStringLiteral("chrome")}, {}, {}, {}, {}};
    switch (browser) {
    case QMBrowserInstallations::Firefox: return firefox;
    case QMBrowserInstallations::Chromium: return chromium;
    default: return chrome;
    }
}

class Finder
{
public:
    explicit Finder(QMBrowserInstallations::Browser browser) : _browser(browser), _layout(layoutOf(browser)) {}

    QList<Installation> find()
    {
        // What its name on PATH starts comes first, then the usual places, then the sandboxes.
        for (const QString &name : _layout.launchers) {
            const QString launcher = findOnPath(name);
            const Resolved r = resolveLauncher(launcher);
            if (!r.snap.isEmpty() && r.snap == _layout.snap)
                addSnap(launcher);
            else if (!r.program.isEmpty())
                addDirectory(r.program, launcher);
        }
        for (const QString &dir : _layout.directories) {
            for (const QString &name : _layout.programs) {
                const QString program = QMBrowserInstallations::underRoot(dir) + u'/' + name;
                if (isExecutableFile(program)) {
                    addDirectory(followLinks(program), program);
                    break;
                }
            }
        }
        if (!_layout.snap.isEmpty())
            addSnap(QMBrowserInstallations::underRoot(QStringLiteral("/snap/bin/")) + _layout.snap);
        if (!_layout.flatpak.isEmpty()) {
            // "flatpak run" prefers the user's installation.
            addFlatpak(xdgHome("XDG_DATA_HOME", ".local/share") + QStringLiteral("/flatpak"), true);
            addFlatpak(QMBrowserInstallations::underRoot(QStringLiteral("/var/lib/flatpak")), false);
        }
        return _found;
    }

private:
    Installation base(QMBrowserInstallations::Kind kind) const
    {
        Installation inst;
        inst.browser = _browser;
        inst.kind = kind;
        return inst;
    }

    void addDirectory(const QString &program, const QString &executable)
    {
        // A launcher that runs something else ("flatpak run …") is not this installation.
        if (program.isEmpty() || !_layout.programs.contains(fileName(program)))
            return;
        for (const Installation &i : std::as_const(_found)) {
            if (i.kind == QMBrowserInstallations::Directory && sameFile(i.program, program))
                return;
        }
        Installation inst = base(QMBrowserInstallations::Directory);
        inst.program = program;
        inst.executable = executable;
        inst.cacheHome = xdgHome("XDG_CACHE_HOME", ".cache");
        inst.version = installationVersion(inst, {}, {});
        _found << inst;
    }

    void addSnap(const QString &command)
    {
        const QString snapDirectory = QMBrowserInstallations::underRoot(QStringLiteral("/snap/")) + _layout.snap
                                      + QStringLiteral("/current");
        if (!isDirectory(snapDirectory))
            return;
        for (const Installation &i : std::as_const(_found)) {
            if (i.kind == QMBrowserInstallations::Snap)
                return;
        }
        Installation inst = base(QMBrowserInstallations::Snap);
        inst.sandboxId = _layout.snap;
        inst.program = snapDirectory + u'/' + _layout.snapProgram;
        inst.executable = QFileInfo(command).isSymLink() || QFileInfo::exists(command) ? command : inst.program;
        // The snap's launcher points XDG_CACHE_HOME at $SNAP_USER_COMMON/.cache.
        inst.cacheHome = QDir::cleanPath(QDir::homePath()) + QStringLiteral("/snap/") + _layout.snap
                         + QStringLiteral("/common/.cache");
        inst.version = installationVersion(inst, snapDirectory, {});
        _found << inst;
    }

    void addFlatpak(const QString &installation, bool user)
    {
        const QString app = installation + QStringLiteral("/app/") + _layout.flatpak;
        const QString files = app + QStringLiteral("/current/active/files");
        if (!isDirectory(files))
            return;
        Installation inst = base(QMBrowserInstallations::Flatpak);
        inst.sandboxId = _layout.flatpak;
        inst.userInstallation = user;
        inst.program = files + u'/' + _layout.flatpakProgram;
        const QString exported = installation + QStringLiteral("/exports/bin/") + _layout.flatpak;
        inst.executable = QFileInfo::exists(exported) ? exported : inst.program;
        // Flatpak gives each application its own XDG_CACHE_HOME.
        inst.cacheHome = QDir::cleanPath(QDir::homePath()) + QStringLiteral("/.var/app/") + _layout.flatpak
                         + QStringLiteral("/cache");
        inst.version = installationVersion(inst, {}, files);
        _found << inst;
    }

    QMBrowserInstallations::Browser _browser;
    const Layout &_layout;
    QList<Installation> _found;
};

// ---- The default browser ---------------------------------------------------------------------

QStringList applicationDirectories()
{
    const QString dataHome = xdgHome("XDG_DATA_HOME", ".local/share");
    QStringList dirs = QMDesktopEntry::applicationDirectories();
    // Where Flatpak and snapd export their entries, should the session not list them.
    dirs << dataHome + QStringLiteral("/flatpak/exports/share/applications")
         << QMBrowserInstallations::underRoot(QStringLiteral("/var/lib/flatpak/exports/share/applications"))
         << QMBrowserInstallations::underRoot(QStringLiteral("/var/lib/snapd/desktop/applications"));
    dirs.removeDuplicates();
    return dirs;
}

QString desktopFilePath(const QString &id)
{
    if (id.isEmpty() || id.contains(u'/'))
        return {};
    for (const QString &dir : applicationDirectories()) {
        if (QFileInfo(dir + u'/' + id).isFile())
            return dir + u'/' + id;
    }
    return {};
}

// Whether a desktop entry starts the installation: a Flatpak's entry runs "flatpak run ID",
// a snap's "/snap/bin/NAME", a package's its launcher or the program.
bool entryStarts(const QString &id, const Installation &inst)
{
    QMDesktopEntry entry;
    const QString path = desktopFilePath(id);
    if (path.isEmpty() || !entry.load(path)) {
        // Without the entry to read, the ids that Flatpak and snapd give.
        if (inst.kind == QMBrowserInstallations::Flatpak)
            return id == inst.sandboxId + QStringLiteral(".desktop");
        if (inst.kind == QMBrowserInstallations::Snap)
            return id.startsWith(inst.sandboxId + u'_');
        return false;
    }
    const QStringList words = shellWords(entry.exec());
    for (const QString &word : words) {
        if (word == QLatin1String("flatpak") || word.endsWith(QLatin1String("/flatpak")))
            return inst.kind == QMBrowserInstallations::Flatpak && words.contains(inst.sandboxId);
    }
    qsizetype i = 0;
    while (i < words.size() && (words.at(i) == QLatin1String("env") || assignmentPattern().match(words.at(i)).hasMatch()))
        ++i;
    if (i >= words.size())
        return false;
    const QString program = words.at(i);
    const Resolved r = resolveLauncher(program.startsWith(u'/') ? QMBrowserInstallations::underRoot(program)
                                                                : findOnPath(program));
    if (!r.snap.isEmpty())
        return inst.kind == QMBrowserInstallations::Snap && r.snap == inst.sandboxId;
    return inst.kind == QMBrowserInstallations::Directory && sameFile(r.program, inst.program);
}

QString placeText(const char *text)
{
    return QCoreApplication::translate("QMRamDiskLocalizable", text);
}

} // namespace

// ---- Public ------------------------------------------------------------------------------------

QString QMBrowserInstallations::Installation::place() const
{
    switch (kind) {
    case Snap: return placeText("snap");
    case Flatpak: return userInstallation ? placeText("Flatpak, for this user") : placeText("Flatpak");
    default: return QFileInfo(program).absolutePath();
    }
}

QList<QMBrowserInstallations::Installation> QMBrowserInstallations::installations(Browser browser)
{
    return Finder(browser).find();
}

std::optional<QMBrowserInstallations::Installation> QMBrowserInstallations::preferred(Browser browser)
{
    const QList<Installation> all = installations(browser);
    if (all.isEmpty())
        return std::nullopt;
    if (all.size() > 1) {
        for (const QString &id : defaultWebBrowsers()) {
            for (const Installation &inst : all) {
                if (entryStarts(id, inst))
                    return inst;
            }
        }
    }
    return all.first();
}

QStringList QMBrowserInstallations::defaultWebBrowsers()
{
    QStringList desktops;
    for (const QString &d : qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':', Qt::SkipEmptyParts))
        desktops << d.toLower();
    // The MIME associations, user first, then the desktop-specific lists before the plain ones.
    QStringList dirs{xdgHome("XDG_CONFIG_HOME", ".config")};
    dirs << xdgSystemDirs("XDG_CONFIG_DIRS", "/etc/xdg");
    const QStringList applications = applicationDirectories();
    dirs << applications;
    QStringList ids;
    const QString key = QStringLiteral("x-scheme-handler/http");
    for (const QString &dir : std::as_const(dirs)) {
        QStringList files;
        for (const QString &desktop : std::as_const(desktops))
            files << dir + u'/' + desktop + QStringLiteral("-mimeapps.list");
        files << dir + QStringLiteral("/mimeapps.list");
        for (const QString &file : std::as_const(files))
            ids << QMDesktopEntry::groupValue(file, QStringLiteral("Default Applications"), key)
                       .split(u';', Qt::SkipEmptyParts);
    }
    // Without a choice made, the entries that say they open web pages, as xdg-mime takes them.
    for (const QString &dir : applications)
        ids << QMDesktopEntry::groupValue(dir + QStringLiteral("/mimeinfo.cache"), QStringLiteral("MIME Cache"), key)
                   .split(u';', Qt::SkipEmptyParts);
    for (QString &id : ids)
        id = id.trimmed();
    ids.removeAll(QString());
    ids.removeDuplicates();
    return ids;
}

QString QMBrowserInstallations::programOfLauncher(const QString &path)
{
    const Resolved r = resolveLauncher(path);
    return r.snap.isEmpty() ? r.program : QStringLiteral("snap:") + r.snap;
}

QString QMBrowserInstallations::applicationsRoot()
{
    QString root;
    {
        QMutexLocker lock(&gRootMutex);
        root = gRootOverride.value_or(qEnvironmentVariable("QUILMO_TEST_APPLICATIONS_ROOT"));
    }
    return root.isEmpty() || !QDir::isAbsolutePath(root) ? QStringLiteral("/") : QDir::cleanPath(root);
}

void QMBrowserInstallations::setApplicationsRootForTesting(const QString &root)
{
    QMutexLocker lock(&gRootMutex);
    if (root.isNull())
        gRootOverride.reset();
    else
        gRootOverride = root;
}

QString QMBrowserInstallations::underRoot(const QString &absolutePath)
{
    return rootPrefix() + absolutePath;
}
