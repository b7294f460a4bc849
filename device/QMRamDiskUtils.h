#pragma once

#include <QString>
#include <QUrl>

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
    // True when a helper of this installation runs for this user.
    static bool helperIsRunning();
    // true: stops every running helper, then starts a new one detached with the single
    // argument "FromApp". false: stops every running helper.
    static void setHelperIsRunning(bool running);

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
};
