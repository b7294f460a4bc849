#pragma once

#include <QImage>
#include <QString>
#include <QVariantMap>

#include <optional>

// What the preset types mean on this machine, the rules a RAM disk's name, size and mount
// directory must follow, and the icons of the types. Class operations only; every one may
// run on any thread.
class QMRamDiskManager
{
public:
    // The per-user support directory ($XDG_DATA_HOME/org.quilmo.Quilmo), created if
    // missing; null when it cannot be made.
    static QString appSupportPath();

    // Where the served applications live; null when not installed. On Linux the browsers'
    // are the paths of their executables (the installation the preset uses).
    static QString favoriteSafariPath();
    static QString favoriteXcodePath();
    static QString favoriteFirefoxAppPath();
    static QString favoriteChromeAppPath();
    static QString favoriteChromiumAppPath();

    // The preset of a type: {"status": 1|0|-1} and, with status 1 (not for type 0),
    // "name", "mountDirectory" and "size" (quint64), and "backupMode" where the preset keeps
    // its directory in step (the browsers' caches); with status 0 or -1, "reason": why the
    // preset is unavailable or not offered here. A browser found here adds "application"
    // (its name, version and installation, for people), "version" and "installation".
    // None for types without a preset.
    static std::optional<QVariantMap> creationInfosOfRamDiskType(qint64 type, const QString &simId);

    // True when an application with that identifier runs for this user; the message slot
    // gets "%@ is running" with the application's name, or null when none runs.
    static bool hasRunningApplication(const QString &bundleIdentifier, QString *message);
    static bool hasRunningAppForType(qint64 type, QString *message);

    // True when a RAM disk with these settings may be created; otherwise false with the
    // reason in *message (which is mandatory). A null mountDirectory is the default one.
    static bool canCreateWithName(const QString &name, quint64 size, qint64 type, const QString &mountDirectory,
                                  QString *message);
    // True when a mounted RAM disk that holds `usedBytes` may take `size` bytes: the size
    // rules of a creation, and room for what it holds and 1 %; otherwise false with the
    // reason in *message (mandatory).
    static bool canResizeToSize(quint64 size, quint64 usedBytes, QString *message);
    // The size a RAM disk of `size` bytes grows to in one step: the next of 256 MB, 512 MB,
    // 1 GB, 2 GB... (in units of 1,000,000 bytes, doubling) above it; 0 when that is more
    // than this machine allows.
    static quint64 nextSizeStep(quint64 size);
    // True when mountDirectory may receive the volume `name`; preset types always may.
    static bool canUseMountDirectory(const QString &mountDirectory, const QString &name, qint64 type,
                                     QString *message);

    // The progress text of an action at a step; null for unknown actions.
    static QString displayStringFromAction(qint64 action, qint64 info);

    // The generic RAM-disk icon at 16 or 128 pixels; null for any other size.
    static QImage ramDiskIcon(int size);
    // The served application's icon, or the generic icon.
    static QImage imageOfType(qint64 type, int size);
    // The served application's icon for types 2 to 9 (taken at 128); null otherwise or when
    // the application has none.
    static QImage specificIconFromType(qint64 type, int size);

    // Tests place the system's applications ("/Applications/Xcode.app", "/usr/bin/firefox",
    // "/snap", "/var/lib/flatpak") under another root; null goes back to the environment's
    // ($QUILMO_TEST_APPLICATIONS_ROOT, else "/").
    static void setApplicationsRootForTesting(const QString &root);

    // Size bounds of a RAM disk, in bytes.
    static constexpr quint64 minimumSize = 128000000ULL;
    static constexpr quint64 maximumSize = 128000000000ULL;
};
