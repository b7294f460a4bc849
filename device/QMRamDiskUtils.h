#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <sys/types.h>

// Memory purging, the menu-bar helper's start and stop, and the system utilities the
// interface links to.
class QMRamDiskUtils
{
public:
    // True when the disk tool's purge personality is installed.
    static bool canPurgeMemory();
    // Starts purge with administrator rights, without waiting; true when it was started.
    static bool purgeMemory();

    // The helper program (P/libexec/quilmo/Quilmo-Helper) when it exists, else an empty URL.
    static QUrl helperURL();
    // The install prefix P of the main application, as seen from inside the helper.
    static QString ramDiskAppPath();
    // How long a helper asked to quit may take: it lets its running actions end and saves
    // what changed first (at most 30 s each), so a stop waits that long before forcing it.
    static constexpr int helperQuitBoundMs = 65000;

    // True when a helper of this installation runs for this user.
    static bool helperIsRunning();
    // The helpers of this installation that run for this user's RAM disks: a helper run
    // with another home (another list of RAM disks: `sudo -H`, a sandbox, a test) guards
    // that list, is no second instance of this one, and is never counted nor stopped here.
    static QList<pid_t> helperProcessIds();
    // true: stops every running helper, then starts a new one detached with the single
    // argument "FromApp". false: stops every running helper. A stop asks each helper to
    // quit and waits for it up to helperQuitBoundMs before forcing it, so that the saves
    // it makes on its way out are not cut off.
    static void setHelperIsRunning(bool running);
    // Starts a helper with "FromApp" unless one runs already; true when one runs or was
    // started.
    static bool ensureHelperIsRunning();

    // The first installed task manager and disk utility, else an empty URL.
    static QUrl activityMonitorURL();
    static QUrl diskUtilityURL();

    // The identifiers the running-application table knows the two programs by.
    static QString bundleIdentifier();
    static QString helperBundleIdentifier();
    // Where the helper program belongs, whether or not it exists.
    static QString helperPath();

    // Tests point the installation at another prefix (P above); null goes back to the real one.
    static void setInstallPrefixForTesting(const QString &prefix);
    static QString installPrefix();

private:
    // Starts a helper detached with the single argument "FromApp"; false when it could not.
    static bool startHelper();
};
