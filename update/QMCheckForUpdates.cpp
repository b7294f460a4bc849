#include "QMCheckForUpdates.h"

#include "QMAlert.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMUpdateInstaller.h"
#include "QMUpdateSignature.h"
#include "QMUpdateVersionDocument.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHostAddress>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include <limits>

namespace {

const char *const kLastCheckKey = "QMCheckForUpdates-LastCheck";
const char *const kIgnoredVersionKey = "QMCheckForUpdates-IgnoredVersion";
const char *const kObsoleteBuildKey = "QMCheckForUpdates-cBuild";
const char *const kAutomaticKey = "QMCheckForUpdates-Automatically";
// The newer version an automatic check last told of, where it cannot be installed from here.
const char *const kNotifiedVersionKey = "QMCheckForUpdates-NotifiedVersion";

// Quilmo's archive is a few megabytes; a download far beyond that is not one.
constexpr qint64 kDownloadLimit = 512LL << 20;
// A minisign signature file is a few hundred bytes.
constexpr qint64 kSignatureLimit = 64LL << 10;

QString tr(const char *key)
{
    return QCoreApplication::translate("QMCheckForUpdates", key);
}

// A text of the string table with each "%@" filled in order.
QString text(const char *key, const QStringList &values = {})
{
    QString result = tr(key);
    qsizetype from = 0;
    for (const QString &value : values) {
        const qsizetype at = result.indexOf(QLatin1String("%@"), from);
        if (at < 0)
            break;
        result.replace(at, 2, value);
        from = at + value.size();
    }
    return result;
}

QString bytes(qint64 count)
{
    return QMFunctions::stringFromBytesWithBin1024Style(count);
}

QString withFullStop(QString reason)
{
    if (!reason.endsWith(QLatin1Char('.')))
        reason += QLatin1Char('.');
    return reason;
}

QString describeReply(const QNetworkReply *reply)
{
    return QStringLiteral("<QNetworkReply: %1>").arg(reply ? reply->url().toString() : QStringLiteral("(null)"));
}

} // namespace

QMCheckForUpdates *QMCheckForUpdates::sharedInstance()
{
    // Lives as long as the process: its windows are top-level widgets that the application
    // object takes down at exit.
    static QMCheckForUpdates *instance = new QMCheckForUpdates;
    return instance;
}

QMCheckForUpdates::QMCheckForUpdates(QObject *parent)
    : QObject(parent), _application(QMUpdateApplication::current()), _network(new QNetworkAccessManager(this))
{
    _infoURL = defaultInfoURL();
    _build = QMFunctions::appBuild().toLongLong();
}

QString QMCheckForUpdates::description() const
{
    return QStringLiteral("<QMCheckForUpdates: 0x%1 build:%2 connectionAction:%3>")
        .arg(QString::number(reinterpret_cast<quintptr>(this), 16))
        .arg(_build)
        .arg(_connectionAction);
}

void QMCheckForUpdates::setApplication(const QMUpdateApplication &application)
{
    _application = application;
}

void QMCheckForUpdates::setAppBuild(qint64 build, const QUrl &infoURL)
{
    _build = build;
    _infoURL = infoURL;
    QSettings settings(_application.settingsPath, QSettings::IniFormat);
    settings.remove(QLatin1String(kObsoleteBuildKey));
}

void QMCheckForUpdates::setAppBuild(qint64 build, const QString &infoURL)
{
    setAppBuild(build, QUrl(infoURL));
}

QUrl QMCheckForUpdates::defaultInfoURL()
{
    QString base = QMLog::vendorWebsiteURL().toString();
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return QUrl(base + QStringLiteral("quilmo.version"));
}

bool QMCheckForUpdates::selfUpdateEnabled()
{
#if QUILMO_SELF_UPDATE
    return true;
#else
    return false;
#endif
}

QStringList QMCheckForUpdates::allowedDownloadHosts()
{
    return QString::fromLatin1(QUILMO_UPDATE_HOSTS).split(QLatin1Char(','), Qt::SkipEmptyParts);
}

QString QMCheckForUpdates::relaunchArgument()
{
    return QStringLiteral("--after-update");
}

bool QMCheckForUpdates::isAllowedDownloadURL(const QUrl &url, const QUrl &documentURL)
{
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    const QString host = url.host();
    if (scheme == QLatin1String("http")) {
        // Plain http only to this machine, where nobody sits in between.
        const QHostAddress address(host);
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0 && (address.isNull() || !address.isLoopback()))
            return false;
    } else if (scheme != QLatin1String("https")) {
        return false;
    }
    // Only from where the version document itself came, or a host named when building.
    if (host.compare(documentURL.host(), Qt::CaseInsensitive) == 0)
        return true;
    for (const QString &allowed : allowedDownloadHosts())
        if (host.compare(allowed.trimmed(), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool QMCheckForUpdates::checksAutomatically() const
{
    QSettings settings(_application.settingsPath, QSettings::IniFormat);
    return settings.value(QLatin1String(kAutomaticKey), true).toBool();
}

void QMCheckForUpdates::setChecksAutomatically(bool on)
{
    QSettings settings(_application.settingsPath, QSettings::IniFormat);
    settings.setValue(QLatin1String(kAutomaticKey), on);
}

void QMCheckForUpdates::synchronizeAtLaunch()
{
    if (_application.packageManaged) {
        QM_LogInfoMethod(this, QStringLiteral("no check at launch: the package manager updates this installation"));
        return;
    }
    if (!checksAutomatically())
        return;
    if (_connectionAction == Idle)
        performSynchronizing({});
}

void QMCheckForUpdates::synchronizeByUser()
{
    if (_connectionAction == Idle)
        performSynchronizing({{QStringLiteral("UserInteraction"), true}});
}

void QMCheckForUpdates::synchronizeFromCrashReport()
{
    if (_connectionAction == Idle)
        performSynchronizing({{QStringLiteral("UserInteraction"), true}, {QStringLiteral("cr"), true}});
}

void QMCheckForUpdates::performSynchronizing(const QVariantMap &options)
{
    if (_connectionAction != Idle)
        return;
    {
        QSettings settings(_application.settingsPath, QSettings::IniFormat);
        settings.setValue(QLatin1String(kLastCheckKey), QDateTime::currentDateTimeUtc());
    }
    _connectionInfo = options;
    startRequest(_infoURL, FetchingVersion);
}

void QMCheckForUpdates::startRequest(const QUrl &url, ConnectionAction action)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(30000);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("%1/%2").arg(_application.name, _application.version));
    if (action == Downloading)
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);

    _connectionAction = action;
    _connectionData.reset();
    _responseHandled = false;
    _lastStatus = 0;
    QNetworkReply *reply = _network->get(request);
    _connection = reply;
    connect(reply, &QNetworkReply::metaDataChanged, this, &QMCheckForUpdates::connectionDidReceiveResponse);
    connect(reply, &QNetworkReply::readyRead, this, &QMCheckForUpdates::connectionDidReceiveData);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply != _connection)
            return;
        // Whatever is still buffered belongs to the answer.
        connectionDidReceiveData();
        if (reply != _connection)
            return;
        const bool failed = reply->error() != QNetworkReply::NoError;
        connectionDidEnd(failed, failed ? reply->errorString() : QString());
    });
    if (action == Downloading) {
        // The same rule as for the link itself: no redirect to plain http elsewhere.
        connect(reply, &QNetworkReply::redirected, this, [this, reply](const QUrl &target) {
            if (reply != _connection)
                return;
            if (isAllowedDownloadURL(target, _infoURL)) {
                emit reply->redirectAllowed();
                return;
            }
            connectionDidEnd(true, QStringLiteral("redirect to an insecure address: %1").arg(target.toString()));
        });
    }
}

// The response: false when it ended the connection.
bool QMCheckForUpdates::handleResponse()
{
    QNetworkReply *reply = _connection;
    if (!reply || _responseHandled)
        return true;
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusAttribute.isValid()) {
        // Nothing is known yet of an HTTP answer; a reply of another kind is refused.
        if (reply->url().scheme().startsWith(QLatin1String("http")))
            return true;
        _responseHandled = true;
        QM_LogErrorMethod(this, QStringLiteral("response:%1").arg(describeReply(reply)));
        _connectionData.reset();
        if (_connectionAction == Downloading) {
            connectionDidEnd(true, QStringLiteral("not an HTTP response"));
            return false;
        }
        return true;
    }
    const int status = statusAttribute.toInt();
    _lastStatus = status;
    // A redirect that will be followed is not the answer yet.
    if ((status == 301 || status == 302 || status == 303 || status == 307 || status == 308)
        && reply->hasRawHeader("Location"))
        return true;
    _responseHandled = true;
    if (status != 200) {
        QM_LogErrorMethod(this, QStringLiteral("httpResponse:%1 statusCode:%2 (%3)")
                                    .arg(describeReply(reply))
                                    .arg(status)
                                    .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
        _connectionData.reset();
        if (_connectionAction == Downloading) {
            connectionDidEnd(true, QStringLiteral("HTTP status %1").arg(status));
            return false;
        }
        return true;
    }
    if (_connectionAction == Downloading && _downloadPart == Archive) {
        const QString type = reply->header(QNetworkRequest::ContentTypeHeader).toString();
        if (type.section(QLatin1Char(';'), 0, 0).trimmed().compare(QLatin1String("application/zip"), Qt::CaseInsensitive) != 0) {
            connectionDidEnd(true, QStringLiteral("Content-Type: %1").arg(type));
            return false;
        }
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > 0) {
            _progressMaximum = length.toLongLong();
            // The bar counts in units small enough for its int range.
            _updatingProgress->setRange(0, int(std::min<qint64>(_progressMaximum, std::numeric_limits<int>::max())));
            _updatingProgress->setValue(0);
            _updatingProgressLabel->setText(text("0 of %@", {bytes(_progressMaximum)}));
        }
    }
    _connectionData = QByteArray();
    return true;
}

void QMCheckForUpdates::connectionDidReceiveResponse()
{
    if (sender() != _connection)
        return;
    handleResponse();
}

void QMCheckForUpdates::connectionDidReceiveData()
{
    QNetworkReply *reply = _connection;
    if (!reply || (sender() && sender() != reply))
        return;
    if (!handleResponse())
        return;
    const QByteArray chunk = reply->readAll();
    if (!_connectionData)
        return;
    _connectionData->append(chunk);
    if (_connectionAction != Downloading)
        return;
    const qint64 received = _connectionData->size();
    if (_downloadPart == Signature) {
        if (received > kSignatureLimit)
            connectionDidEnd(true, QStringLiteral("signature larger than %1").arg(bytes(kSignatureLimit)));
        return;
    }
    if (received > kDownloadLimit) {
        connectionDidEnd(true, QStringLiteral("download larger than %1").arg(bytes(kDownloadLimit)));
        return;
    }
    if (_progressMaximum <= 0) {
        _updatingProgressLabel->setText(QStringLiteral("--"));
        return;
    }
    const double scale = _progressMaximum > std::numeric_limits<int>::max()
                             ? double(std::numeric_limits<int>::max()) / double(_progressMaximum)
                             : 1.0;
    _updatingProgress->setValue(int(std::min<double>(double(received) * scale, _updatingProgress->maximum())));
    _updatingProgressLabel->setText(text("%@ of %@", {bytes(received), bytes(_progressMaximum)}));
}

void QMCheckForUpdates::connectionDidEnd(bool failed, const QString &error)
{
    const qint64 action = _connectionAction;
    const QVariantMap info = _connectionInfo;
    if (QNetworkReply *reply = _connection) {
        _connection = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    _connectionAction = Idle;
    _connectionInfo.clear();
    if (action == FetchingVersion)
        checkDidEndWithError(failed, error, info);
    else if (action == Downloading && _downloadPart == Signature)
        signatureDidEnd(failed, error);
    else if (action == Downloading)
        downloadDidEndWithError(failed, error);
}

void QMCheckForUpdates::checkDidEndWithError(bool failed, const QString &error, const QVariantMap &connectionInfo)
{
    const bool userAsked = connectionInfo.value(QStringLiteral("UserInteraction")).toBool();
    const bool afterCrashReport = connectionInfo.value(QStringLiteral("cr")).toBool();
    const QString name = _application.name;

    if (failed || !_connectionData || _connectionData->isEmpty()) {
        if (!error.isEmpty())
            QM_LogInfoMethod(this, QStringLiteral("check failed: %1").arg(error));
        if (!userAsked)
            return;
        QMAlertRequest alert;
        alert.objectName = QStringLiteral("checkFailedAlert");
        alert.messageText = text("Unable to Check for Update.");
        alert.informativeText = text("Please, check your network connection and try again.");
        alert.buttons = {websiteButtonTitle(), text("OK")};
        if (QMAlert::runModal(alert) == 0)
            openWebsite();
        return;
    }

    const QMUpdateVersionDocument doc = QMUpdateVersionDocument::fromData(*_connectionData);
    switch (doc.kind()) {
    case QMUpdateVersionDocument::Kind::Message: {
        if (!doc.messageIsShown())
            return;
        QMAlertRequest alert;
        alert.objectName = QStringLiteral("informationAlert");
        alert.icon = QMessageBox::Information;
        alert.messageText = text("Information about %@", {name});
        alert.informativeText = doc.messageText();
        alert.buttons = {websiteButtonTitle()};
        QMAlert::runModal(alert);
        openWebsite();
        return;
    }
    case QMUpdateVersionDocument::Kind::Invalid: {
        QM_LogErrorMethod(this, QStringLiteral("lines==nil string:%1").arg(doc.text()));
        if (!userAsked)
            return;
        bringToFront();
        QMAlertRequest alert;
        alert.objectName = QStringLiteral("invalidDocumentAlert");
        alert.messageText = text("Unable to Check for Update.");
        alert.informativeText = text("Please, try later or visit %@ Website.", {name});
        QMAlert::runModal(alert);
        return;
    }
    case QMUpdateVersionDocument::Kind::Offer:
        break;
    }

    if (doc.build() <= _build) {
        if (userAsked && !afterCrashReport) {
            bringToFront();
            QMAlertRequest alert;
            alert.objectName = QStringLiteral("upToDateAlert");
            alert.icon = QMessageBox::Information;
            alert.messageText = text("You are up to date!");
            alert.informativeText = text("%@ %@ is currently the newest version available.", {name, _application.version});
            QMAlert::runModal(alert);
        }
        return;
    }

    const auto required = doc.systemRequirement();
    const auto running = QMUpdateVersionDocument::runningSystemVersion();
    if (required && running && *running < *required) {
        if (userAsked && !afterCrashReport) {
            bringToFront();
            QMAlertRequest alert;
            alert.objectName = QStringLiteral("systemRequirementAlert");
            alert.messageText = text("%@ is now in version %@ (%@).", {name, doc.displayVersion(), doc.buildField()});
            alert.informativeText = text("This version requires at least OS X %@.", {doc.systemRequirementField()});
            QMAlert::runModal(alert);
        }
        return;
    }

    if (!userAsked) {
        QSettings settings(_application.settingsPath, QSettings::IniFormat);
        const QVariant ignored = settings.value(QLatin1String(kIgnoredVersionKey));
        if (ignored.isValid() && ignored.toString() == doc.displayVersion())
            return;
        // What cannot be installed from here is told once per version, not at every launch.
        QString why;
        if (!canInstallItself(&why)) {
            if (settings.value(QLatin1String(kNotifiedVersionKey)).toString() == doc.displayVersion())
                return;
            settings.setValue(QLatin1String(kNotifiedVersionKey), doc.displayVersion());
        }
    }

    showOffer({{QStringLiteral("build"), doc.buildField()},
               {QStringLiteral("displayVersion"), doc.displayVersion()},
               {QStringLiteral("downloadLink"), doc.downloadLink()}});
}

void QMCheckForUpdates::showOffer(const QVariantMap &offer)
{
    const QString name = _application.name;
    const QString version = offer.value(QStringLiteral("displayVersion")).toString();
    const QString build = offer.value(QStringLiteral("build")).toString();
    _connectionInfo = offer;

    QString why;
    if (!canInstallItself(&why)) {
        QM_LogInfoMethod(this, QStringLiteral("self-update off: %1").arg(why));
        bringToFront();
        QMAlertRequest alert;
        alert.objectName = QStringLiteral("newVersionAlert");
        alert.icon = QMessageBox::Information;
        alert.messageText = text("A new version of %@ is avalaible!", {name});
        alert.informativeText = text("%@ is now in version %@ (%@).", {name, version, build});
        alert.buttons = {websiteButtonTitle(), text("Skip This Version"), text("OK")};
        const int button = QMAlert::runModal(alert);
        if (button == 0) {
            openWebsite();
        } else if (button == 1) {
            QSettings settings(_application.settingsPath, QSettings::IniFormat);
            settings.setValue(QLatin1String(kIgnoredVersionKey), version);
        }
        return;
    }

    _offer = offer;
    loadWindows();
    _newVersionTitle->setText(text("A new version of %@ is avalaible!", {name}));
    _newVersionMessage->setText(text("%@ is now in version %@ (%@).", {name, version, build}));
    bringToFront();
    _newVersionWindow->setWindowModality(Qt::ApplicationModal);
    _newVersionWindow->open();
    _newVersionWindow->raise();
    _newVersionWindow->activateWindow();
}

bool QMCheckForUpdates::canInstallItself(QString *why) const
{
    // Someone else installed this copy (a package, a distribution): they update it. A build
    // without the release key cannot tell a real update from any other archive.
    if (!selfUpdateEnabled()) {
        *why = QStringLiteral("build option");
        return false;
    }
    if (_application.packageManaged) {
        *why = QStringLiteral("the package manager owns this installation");
        return false;
    }
    if (QMUpdateSignature::publicKey().isEmpty()) {
        *why = QStringLiteral("no release key in this build");
        return false;
    }
    return QMUpdateInstaller::isSelfContained(_application.installPrefix, _application.executable, why);
}

void QMCheckForUpdates::newVersionAction(QAbstractButton *sender)
{
    if (!_newVersionWindow)
        return;
    if (sender == _newVersionSkipButton) {
        QSettings settings(_application.settingsPath, QSettings::IniFormat);
        settings.setValue(QLatin1String(kIgnoredVersionKey), _offer.value(QStringLiteral("displayVersion")).toString());
        _newVersionWindow->reject();
        return;
    }
    if (sender == _newVersionLaterButton) {
        _newVersionWindow->reject();
        return;
    }
    if (sender != _newVersionInstallButton || _connectionAction != Idle)
        return;
    _newVersionWindow->accept();
    _newVersionWindow->hide();

    _updatingTitle->setText(text("Downloading update…"));
    _updatingRelaunchButton->setEnabled(false);
    setIndeterminate();

    const QUrl link(_offer.value(QStringLiteral("downloadLink")).toString());
    if (!isAllowedDownloadURL(link, _infoURL)) {
        // Code from the network runs with the user's rights: never over an open line, and
        // only from Quilmo's own server.
        _downloadProblem = text("The update is offered from %@, which is not %@'s server.",
                                {link.host().isEmpty() ? link.toString() : link.host(), _application.name});
        downloadDidEndWithError(true, QStringLiteral("download address not allowed: %1").arg(link.toString()));
        return;
    }
    _connectionInfo = _offer;
    _signature.clear();
    _downloadPart = Signature;
    QUrl signatureLink = link;
    signatureLink.setPath(link.path() + QStringLiteral(".minisig"));
    startRequest(signatureLink, Downloading);
    _updatingWindow->setWindowModality(Qt::NonModal);
    _updatingWindow->show();
}

void QMCheckForUpdates::signatureDidEnd(bool failed, const QString &error)
{
    _downloadPart = Archive;
    if (failed && _lastStatus == 404) {
        QM_LogErrorMethod(this, QStringLiteral("signature==nil error:%1").arg(error));
        updateDidFail(text("The update is not signed."), false);
        return;
    }
    if (failed) {
        downloadDidEndWithError(true, QStringLiteral("signature: %1").arg(error));
        return;
    }
    _signature = _connectionData.value_or(QByteArray());
    _connectionInfo = _offer;
    startRequest(QUrl(_offer.value(QStringLiteral("downloadLink")).toString()), Downloading);
}

void QMCheckForUpdates::downloadDidEndWithError(bool failed, const QString &error)
{
    loadWindows();
    bringToFront();
    const QString name = _application.name;
    if (failed) {
        QM_LogErrorMethod(this, QStringLiteral("hasError==YES error:%1").arg(error.isEmpty() ? QStringLiteral("(null)") : error));
        _updatingWindow->hide();
        QMAlertRequest alert;
        alert.objectName = QStringLiteral("downloadFailedAlert");
        alert.messageText = text("Unable to download update.");
        alert.informativeText = text("Please, download %@ from the Web.", {name});
        if (!_downloadProblem.isEmpty())
            alert.informativeText.prepend(_downloadProblem + QLatin1Char('\n'));
        _downloadProblem.clear();
        alert.buttons = {websiteButtonTitle(), text("OK")};
        if (QMAlert::runModal(alert) == 0)
            openWebsite();
        return;
    }

    // Taken before events run again: a check started meanwhile begins a buffer of its own.
    const QByteArray data = _connectionData.value_or(QByteArray());

    // Nothing but the release key's signature of this archive, as the build offered, and
    // never a build older than or equal to the running one.
    const qint64 offeredBuild = QMUpdateVersionDocument::integerValue(_offer.value(QStringLiteral("build")).toString());
    QString detail;
    const QMUpdateSignature::Outcome signature =
        QMUpdateSignature::verify(data, _signature, offeredBuild, QMUpdateSignature::publicKey(), &detail);
    if (offeredBuild <= _build || signature != QMUpdateSignature::Outcome::Valid) {
        QM_LogErrorMethod(this, QStringLiteral("verifySignature==NO build:%1 error:%2").arg(offeredBuild).arg(detail));
        QString reason;
        switch (signature) {
        case QMUpdateSignature::Outcome::Valid:
            reason = text("The update is not newer than %@ %@.", {name, _application.version});
            break;
        case QMUpdateSignature::Outcome::NoKey:
        case QMUpdateSignature::Outcome::Malformed:
            reason = text("The update's signature cannot be read.");
            break;
        case QMUpdateSignature::Outcome::OtherKey:
            reason = text("The update is not signed with %@'s release key.", {name});
            break;
        case QMUpdateSignature::Outcome::NotThisArchive:
            reason = text("The update's signature is not the signature of this archive.");
            break;
        case QMUpdateSignature::Outcome::OtherBuild:
            reason = text("The update is signed as another build than the one offered.");
            break;
        }
        updateDidFail(reason, false);
        return;
    }

    _updatingTitle->setText(text("Installing update…"));
    setIndeterminate();
    // Let the window show the new state before the install blocks for a moment.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

    QString reason;
    bool quit = false;
    if (installUpdateWithData(data, &reason, &quit)) {
        emit QMCheckForUpdatesDidInstallUpdateNotification();
        _updatingTitle->setText(text("Waiting relaunch…"));
        // Nothing is busy any more while the window waits for the user.
        _updatingProgress->setRange(0, 1);
        _updatingProgress->setValue(1);
        _updatingRelaunchButton->setEnabled(true);
        bringToFront();
        _updatingWindow->hide();
        _updatingWindow->setWindowModality(Qt::ApplicationModal);
        _updatingWindow->show();
        _updatingWindow->raise();
        _updatingWindow->activateWindow();
        return;
    }
    QM_LogErrorMethod(this, QStringLiteral("installUpdateWithData==NO reason:%1").arg(reason.isNull() ? QStringLiteral("(null)") : reason));
    updateDidFail(reason, quit);
}

void QMCheckForUpdates::updateDidFail(const QString &reason, bool quit)
{
    loadWindows();
    const QString name = _application.name;
    _updatingWindow->hide();
    const QString sentence = withFullStop(reason.isEmpty() ? text("Unknown reason") : reason);
    QMAlertRequest alert;
    alert.objectName = QStringLiteral("updateFailedAlert");
    alert.messageText = text("Updating Failed");
    alert.informativeText = quit ? text("%@\nPlease, download %@ again from %@.", {sentence, name, _application.website.host()})
                                 : sentence;
    alert.buttons = {websiteButtonTitle(), quit ? text("Quit") : text("OK")};
    if (QMAlert::runModal(alert) == 0)
        openWebsite();
    if (quit)
        quitApplication();
}

bool QMCheckForUpdates::installUpdateWithData(const QByteArray &data, QString *reason, bool *quit)
{
    QMUpdateInstaller::Identity identity;
    identity.appPath = _application.installPrefix;
    identity.appName = _application.name;
    identity.appVersion = _application.version;
    identity.bundleIdentifier = _application.bundleIdentifier;
    identity.executable = _application.executable;
    QMUpdateInstaller installer(identity, [this](const QString &tool, const QStringList &args, qint64 *status) {
        return execute(tool, args, status);
    });
    return installer.installUpdateWithData(data, reason, quit);
}

bool QMCheckForUpdates::execute(const QString &tool, const QStringList &args, qint64 *status)
{
    return QMFunctions::executeWithPrivilegesAndWait(tool, args, status, true);
}

void QMCheckForUpdates::updatingAction(QAbstractButton *sender)
{
    if (!_updatingWindow || sender != _updatingRelaunchButton)
        return;
    if (_application.terminationHook)
        _application.terminationHook();
    const QString program = QDir::cleanPath(_application.installPrefix + QLatin1Char('/') + _application.executable);
    QString error;
    if (!QFileInfo(program).isExecutable())
        error = QStringLiteral("not an executable");
    // The new program waits for this one to leave before it decides it is a second Quilmo.
    else if (!QProcess::startDetached(program, {relaunchArgument()}))
        error = QStringLiteral("could not start");
    if (!error.isEmpty())
        QM_LogErrorMethod(this, QStringLiteral("runningApplication==nil appURL:%1 error:%2")
                                    .arg(QUrl::fromLocalFile(program).toString(), error));
    _updatingWindow->hide();
    quitApplication();
}

void QMCheckForUpdates::loadWindows()
{
    if (_newVersionWindow)
        return;
    const QString title = text("%@ Update", {_application.name});
    QIcon icon = _application.icon;
    if (icon.isNull())
        icon = QApplication::windowIcon();
    const QSize iconSize(64, 64);

    _newVersionWindow = new QDialog;
    _newVersionWindow->setObjectName(QStringLiteral("newVersionWindow"));
    _newVersionWindow->setWindowTitle(title);
    _newVersionIcon = new QLabel(_newVersionWindow);
    _newVersionIcon->setObjectName(QStringLiteral("newVersionIcon"));
    _newVersionIcon->setFixedSize(iconSize);
    _newVersionIcon->setPixmap(icon.pixmap(iconSize));
    _newVersionTitle = new QLabel(_newVersionWindow);
    _newVersionTitle->setObjectName(QStringLiteral("newVersionTitle"));
    QFont bold = _newVersionTitle->font();
    bold.setBold(true);
    _newVersionTitle->setFont(bold);
    _newVersionMessage = new QLabel(_newVersionWindow);
    _newVersionMessage->setObjectName(QStringLiteral("newVersionMessage"));
    _newVersionMessage->setWordWrap(true);
    _newVersionSkipButton = new QPushButton(text("Skip This Version"), _newVersionWindow);
    _newVersionSkipButton->setObjectName(QStringLiteral("newVersionSkipButton"));
    _newVersionLaterButton = new QPushButton(text("Remind Me Later"), _newVersionWindow);
    _newVersionLaterButton->setObjectName(QStringLiteral("newVersionLaterButton"));
    _newVersionInstallButton = new QPushButton(text("Install Update"), _newVersionWindow);
    _newVersionInstallButton->setObjectName(QStringLiteral("newVersionInstallButton"));
    _newVersionInstallButton->setDefault(true);
    for (QPushButton *b : {_newVersionSkipButton, _newVersionLaterButton, _newVersionInstallButton})
        connect(b, &QPushButton::clicked, this, [this, b] { newVersionAction(b); });
    {
        auto *texts = new QVBoxLayout;
        texts->addWidget(_newVersionTitle);
        texts->addWidget(_newVersionMessage);
        texts->addStretch();
        auto *top = new QHBoxLayout;
        top->addWidget(_newVersionIcon, 0, Qt::AlignTop);
        top->addLayout(texts, 1);
        auto *buttons = new QHBoxLayout;
        buttons->addWidget(_newVersionSkipButton);
        buttons->addStretch();
        buttons->addWidget(_newVersionLaterButton);
        buttons->addWidget(_newVersionInstallButton);
        auto *layout = new QVBoxLayout(_newVersionWindow);
        layout->addLayout(top);
        layout->addLayout(buttons);
        _newVersionWindow->setMinimumWidth(440);
    }

    _updatingWindow = new QDialog;
    _updatingWindow->setObjectName(QStringLiteral("updatingWindow"));
    _updatingWindow->setWindowTitle(title);
    _updatingIcon = new QLabel(_updatingWindow);
    _updatingIcon->setObjectName(QStringLiteral("updatingIcon"));
    _updatingIcon->setFixedSize(iconSize);
    _updatingIcon->setPixmap(icon.pixmap(iconSize));
    _updatingTitle = new QLabel(_updatingWindow);
    _updatingTitle->setObjectName(QStringLiteral("updatingTitle"));
    _updatingTitle->setFont(bold);
    _updatingProgress = new QProgressBar(_updatingWindow);
    _updatingProgress->setObjectName(QStringLiteral("updatingProgress"));
    _updatingProgress->setTextVisible(false);
    _updatingProgressLabel = new QLabel(_updatingWindow);
    _updatingProgressLabel->setObjectName(QStringLiteral("updatingProgressLabel"));
    _updatingRelaunchButton = new QPushButton(text("Relaunch"), _updatingWindow);
    _updatingRelaunchButton->setObjectName(QStringLiteral("updatingRelaunchButton"));
    _updatingRelaunchButton->setDefault(true);
    connect(_updatingRelaunchButton, &QPushButton::clicked, this, [this] { updatingAction(_updatingRelaunchButton); });
    {
        auto *texts = new QVBoxLayout;
        texts->addWidget(_updatingTitle);
        texts->addWidget(_updatingProgress);
        texts->addWidget(_updatingProgressLabel);
        auto *top = new QHBoxLayout;
        top->addWidget(_updatingIcon, 0, Qt::AlignTop);
        top->addLayout(texts, 1);
        auto *buttons = new QHBoxLayout;
        buttons->addStretch();
        buttons->addWidget(_updatingRelaunchButton);
        auto *layout = new QVBoxLayout(_updatingWindow);
        layout->addLayout(top);
        layout->addLayout(buttons);
        _updatingWindow->setMinimumWidth(400);
    }
}

void QMCheckForUpdates::setIndeterminate()
{
    _progressMaximum = 0;
    _updatingProgress->setRange(0, 0); // a busy bar, animated by the style
    _updatingProgressLabel->clear();
}

void QMCheckForUpdates::bringToFront()
{
    if (_application.activate) {
        _application.activate();
        return;
    }
    if (QWidget *window = QApplication::activeWindow()) {
        window->raise();
        window->activateWindow();
    }
}

void QMCheckForUpdates::openWebsite()
{
    QDesktopServices::openUrl(_application.website);
}

void QMCheckForUpdates::quitApplication()
{
    if (_application.quit)
        _application.quit();
    else
        QCoreApplication::quit();
}

QString QMCheckForUpdates::websiteButtonTitle() const
{
    return text("Go to %@ Website", {_application.name});
}
