#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// Replaces Quilmo's installation (the prefix P of P/bin/Quilmo) with the tree of a
// downloaded archive, in place.
//
// The new tree is first copied next to the directories it replaces, then each of them is
// swapped in by renaming; a failed rename puts back what was already swapped (see
// QMUpdateSwap). So until the first rename the old installation is untouched, and only from
// then on must the running program quit when something fails. Where the user may not
// change the installation's files, the same steps run once as root (pkexec
// quilmo-update-swap).
class QMUpdateInstaller
{
public:
    struct Identity
    {
        QString appPath;          // the installation prefix
        QString appName;          // "Quilmo": names the downloaded file
        QString appVersion;       // names the copy of the old version kept in the trash
        QString bundleIdentifier; // names the temporary directory
        QString executable;       // the program relative to appPath ("bin/Quilmo")
        QString tempDirectory;    // null: the user's cache directory, never a shared one such as /tmp
        QString savedCopyDirectory; // where the old version is copied before it goes to the trash; null: the application-support directory
        QString swapTool; // quilmo-update-swap, run as root when the user may not change the installation; null: the running program's
    };

    // Runs a tool as root, waits for it and hands back its exit status; false when it
    // could not be started.
    using PrivilegedRunner = std::function<bool(const QString &tool, const QStringList &args, qint64 *status)>;

    QMUpdateInstaller(Identity identity, PrivilegedRunner runner);

    // Steps and failure reasons of the update install. `quit` is set once the installation's
    // files began to change.
    bool installUpdateWithData(const QByteArray &data, QString *reason, bool *quit);

    // Whether the last install needed administrator rights.
    bool usedPrivileges() const { return _usedPrivileges; }
    // The temporary directory of the last install.
    QString temporaryDirectory() const { return _tmpPath; }

    QString description() const;

    // Whether Quilmo may replace this installation itself: a prefix of its own (named after
    // it, holding the running program) that no package manager owns and that is not part of
    // the system's /usr. `why` says why not.
    static bool isSelfContained(const QString &prefix, const QString &executable, QString *why);
    // Whether the package manager (dpkg) owns `program`; *package names its package.
    static bool isPackageManaged(const QString &program, QString *package = nullptr);

    // Write and delete rights judged by the permission bits for the effective user, as for
    // anyone else: even root treats a read-only file as one it may not simply change.
    static bool isWritableByUser(const QString &path);
    static bool isDeletableByUser(const QString &path);

private:
    bool needsPrivileges(QString *reason);

    Identity _identity;
    PrivilegedRunner _runner;
    QString _tmpPath;
    bool _usedPrivileges = false;
};
