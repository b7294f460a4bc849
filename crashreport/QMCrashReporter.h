#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// The crash reporter of the programs with windows. It notices an unclean end (a crash
// report written by the fatal-signal handler, or a run that never reached its quit), offers
// it once at the next start of Quilmo, and gathers the reports, the logs and a profile of
// the machine into one archive in the user's home folder, which the user sends to support
// by hand: nothing is uploaded.
//
// The profile lists the RAM disks by size and modes only. The logs and reports that go into
// the archive are redacted by their structure (see redacted()), so that no file or folder
// name, RAM disk name or path of the user's leaves with them, whatever it was called. The
// archive is the user's alone (mode 0600).
class QMCrashReporter
{
public:
    // What the program knows about its RAM disks, for the profile.
    struct RamDiskProfile
    {
        QStringList lines; // one line per RAM disk, without names or paths
    };
    using ProfileProvider = std::function<RamDiskProfile()>;

    // Quilmo's own reporter (the class the critical-exception alert asks for).
    static QMCrashReporter *sharedInstance();

    // A reporter for `program` (its marker and report names); tests make their own.
    explicit QMCrashReporter(const QString &program);

    // At start: a marker left by a run that did not quit becomes a report (unless that run
    // left a crash report already), and this run's marker is written. Old reports beyond
    // the newest `keptReports` are deleted.
    void applicationLoaded();
    // At a clean quit: the marker goes.
    void applicationTerminated();

    // True when a report (of any Quilmo program) has not been offered at a start yet.
    bool needsDisplayReclam() const;

    // Offers to gather a problem report: 0 at start after a crash, 1 from the Help menu,
    // 2 from the critical-exception alert. Every report found is then counted as offered.
    // A sheet on the window when it is shown, else application-modal.
    void presentToUserWithMode(int mode);

    void setWindow(QWidget *window);
    void setProfileProvider(ProfileProvider provider);
    // Called once a report archive was made: the application checks for a newer version,
    // which may already fix what went wrong.
    void setReportCreatedHandler(std::function<void()> handler) { _reportCreatedHandler = std::move(handler); }

    // The reports of the crash directory, oldest first, and those not yet offered.
    QStringList reportFiles() const;
    QStringList pendingReports() const;
    void markReportsOffered(const QStringList &reports);

    // The environment profile written into the archive.
    QString environmentProfile() const;
    // Writes "Quilmo-Problem-Report-<date>.tar.gz" (mode 0600) into `directory`; its path,
    // or a null text with the reason in *error.
    QString createArchive(const QString &directory, QString *error) const;

    // `text` with what may be the user's taken out, line by line, by the structure of the
    // log: every quoted field (RAM disk names, "…" texts) becomes "<private>", and every
    // path that is not in one of the system's own directories (where no RAM disk can be:
    // /usr, /lib, /etc, /proc, /dev…) becomes "<path>", up to the end of its field.
    static QString redacted(const QString &text);

    // $XDG_STATE_HOME/quilmo/<program>.running while the program runs.
    QString runningMarkerPath() const;
    // Support page the report is meant for (the site's support page for Quilmo).
    static QString supportURL();

    static constexpr int keptReports = 30;

private:
    void deleteOldReports() const;
    void revealInFileManager(const QString &path) const;
    void createAndShowArchive();

    QString _program;
    QPointer<QWidget> _window;
    ProfileProvider _profileProvider;
    std::function<void()> _reportCreatedHandler;
};
