#pragma once

#include "QMUpdateApplication.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QVariantMap>

#include <optional>

class QAbstractButton;
class QDialog;
class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;

// Quilmo's update checker: reads the one-line version document on the vendor's server,
// shows its message or offers a newer build, downloads and installs it in place and
// relaunches. One shared instance; everything runs on the main thread.
//
// Only an archive signed with the release key built in (QMUpdateSignature) for the very
// build the document offers is installed; its signature is "<link>.minisig", fetched before
// the archive. A build without a key, an installation someone else manages (a package) or
// one that is not Quilmo's own only says that a newer version exists and where to get it.
//
// What the application object (Quilmo's, not the helper's) calls:
//  - At launch, once the main window is up:
//      auto *updates = QMCheckForUpdates::sharedInstance();
//      QMUpdateApplication app = QMUpdateApplication::current();
//      app.terminationHook = [] { /* what applicationWillTerminate does: save, quit the helper */ };
//      updates->setApplication(app);
//      updates->setAppBuild(QMFunctions::appBuild().toLongLong(), QMCheckForUpdates::defaultInfoURL());
//      QObject::connect(updates, &QMCheckForUpdates::QMCheckForUpdatesDidInstallUpdateNotification,
//                       controller, &AppController::checkForUpdatesDidInstallUpdate); // restart the helper
//      updates->synchronizeAtLaunch();
//  - The "Check For Update…" menu item: synchronizeByUser().
//  - The crash reporter, after it sent a report: synchronizeFromCrashReport().
// After an install the running program goes on with its files replaced; the new helper
// runs once the application quits and starts it again on the notification.
class QMCheckForUpdates : public QObject
{
    Q_OBJECT

public:
    enum ConnectionAction { Idle = 0, FetchingVersion = 1, Downloading = 2 };

    static QMCheckForUpdates *sharedInstance();

    void setApplication(const QMUpdateApplication &application);
    const QMUpdateApplication &application() const { return _application; }

    // Stores the running build and where the version document lives; drops the obsolete
    // "QMCheckForUpdates-cBuild".
    void setAppBuild(qint64 build, const QUrl &infoURL);
    void setAppBuild(qint64 build, const QString &infoURL);
    // The vendor website with the path "quilmo.version".
    static QUrl defaultInfoURL();
    // Whether this build may replace its own installation at all (a build option).
    static bool selfUpdateEnabled();

    // At launch: never for an installation the package manager owns (it updates Quilmo),
    // and only while "Check for updates automatically" is on.
    void synchronizeAtLaunch();
    void synchronizeByUser();
    void synchronizeFromCrashReport();

    // The windows' buttons.
    void newVersionAction(QAbstractButton *sender);
    void updatingAction(QAbstractButton *sender);

    qint64 build() const { return _build; }
    QUrl infoURL() const { return _infoURL; }
    qint64 connectionAction() const { return _connectionAction; }
    QVariantMap connectionInfo() const { return _connectionInfo; }

    // Steps of a check and an install; public so that each can be driven on its own.
    void performSynchronizing(const QVariantMap &options);
    void checkDidEndWithError(bool failed, const QString &error, const QVariantMap &connectionInfo);
    void downloadDidEndWithError(bool failed, const QString &error);
    bool installUpdateWithData(const QByteArray &data, QString *reason, bool *quit);
    // Runs a tool as root and waits for it; false when it could not be started.
    bool execute(const QString &tool, const QStringList &args, qint64 *status);

    // "Check for updates automatically" ("QMCheckForUpdates-Automatically", on unless
    // turned off).
    bool checksAutomatically() const;
    void setChecksAutomatically(bool on);

    // Whether a download link may be fetched: https (or http to this machine only), on the
    // version document's own host or one of allowedDownloadHosts().
    static bool isAllowedDownloadURL(const QUrl &url, const QUrl &documentURL);
    // The other hosts this build was told to download from.
    static QStringList allowedDownloadHosts();
    // The argument the relaunched program gets: it waits for this one to leave.
    static QString relaunchArgument(); // "--after-update"

    QString description() const;

signals:
    // Posted after an update was installed; Quilmo restarts its helper on it.
    void QMCheckForUpdatesDidInstallUpdateNotification();

private:
    explicit QMCheckForUpdates(QObject *parent = nullptr);

    void startRequest(const QUrl &url, ConnectionAction action);
    void connectionDidReceiveResponse();
    void connectionDidReceiveData();
    void connectionDidEnd(bool failed, const QString &error);
    bool handleResponse();

    void signatureDidEnd(bool failed, const QString &error);
    void updateDidFail(const QString &reason, bool quit);
    bool canInstallItself(QString *why) const;
    void loadWindows();
    void setIndeterminate();
    void bringToFront();
    void openWebsite();
    void quitApplication();
    QString websiteButtonTitle() const;
    void showOffer(const QVariantMap &offer);

    QMUpdateApplication _application;
    qint64 _build = 0;
    QUrl _infoURL;
    qint64 _connectionAction = Idle;
    QPointer<QNetworkReply> _connection;
    QVariantMap _connectionInfo;
    std::optional<QByteArray> _connectionData;
    bool _responseHandled = false;
    // A download fetches the signature first, then the archive.
    enum DownloadPart { Signature, Archive } _downloadPart = Archive;
    QByteArray _signature;
    int _lastStatus = 0;
    QString _downloadProblem; // what the user is told when a download is refused
    QNetworkAccessManager *_network = nullptr;

    QVariantMap _offer;
    qint64 _progressMaximum = 0; // 0: indeterminate

    QDialog *_newVersionWindow = nullptr;
    QLabel *_newVersionIcon = nullptr;
    QLabel *_newVersionTitle = nullptr;
    QLabel *_newVersionMessage = nullptr;
    QPushButton *_newVersionInstallButton = nullptr;
    QPushButton *_newVersionSkipButton = nullptr;
    QPushButton *_newVersionLaterButton = nullptr;
    QDialog *_updatingWindow = nullptr;
    QLabel *_updatingIcon = nullptr;
    QLabel *_updatingTitle = nullptr;
    QProgressBar *_updatingProgress = nullptr;
    QLabel *_updatingProgressLabel = nullptr;
    QPushButton *_updatingRelaunchButton = nullptr;
};
