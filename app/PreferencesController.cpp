#include "PreferencesController.h"

#include "QMCheckForUpdates.h"
#include "QMDistributedNotificationCenter.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskPreferences.h"
#include "QMRamDiskUtils.h"
#include "QMSharedLoginItems.h"
#include "QMWindowTitle.h"
#include "QM_OSAppearance.h"
#include "RamDiskConfigController.h"
#include "RamDiskConfigPresentation.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace {

using P = RamDiskConfigPresentation;

const QString kIconStyleKey = QStringLiteral("StatusItemIconStyle");

// The helper's own tray images, so the choice shows what it gives.
QIcon statusItemIcon(const char *name)
{
    const QString path = QMFunctions::shareDirectory() + QStringLiteral("/images/") + QLatin1String(name)
                         + QStringLiteral(".svg");
    return QFile::exists(path) ? QIcon(path) : QIcon();
}

} // namespace

QString PreferencesController::iconStyleNotificationName()
{
    return QStringLiteral("QMRamDiskPreferencesStatusItemIconStyleDidChangeNotification");
}

PreferencesController::PreferencesController(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("PreferencesController"));
    windowDidLoad();
}

void PreferencesController::windowDidLoad()
{
    setWindowTitle(P::localized("Quilmo Preferences"));
    auto *layout = new QVBoxLayout(this);
    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);

    _showHelper = new QCheckBox(P::localized("Show Quilmo in menu bar"), this);
    _showHelper->setObjectName(QStringLiteral("showHelper"));
    grid->addWidget(_showHelper, 0, 0, 1, 2);

    // The at-login box belongs to the one above it.
    _showHelperAtLogin = new QCheckBox(P::localized("Automatically launch at login"), this);
    _showHelperAtLogin->setObjectName(QStringLiteral("showHelperAtLogin"));
    grid->addWidget(_showHelperAtLogin, 1, 0, 1, 2);

    _iconStyleLabel = new QLabel(P::localized("Color of Icon") + P::localizedDefault("LOC_:"), this);
    _iconStyleLabel->setObjectName(QStringLiteral("iconStyleLabel"));
    grid->addWidget(_iconStyleLabel, 2, 0);
    _iconStylePopMenu = new QComboBox(this);
    _iconStylePopMenu->setObjectName(QStringLiteral("iconStylePopMenu"));
    _iconStylePopMenu->addItem(statusItemIcon("QuilmoStatusItemColor"), P::localized("Default (Colored)"),
                               int(IconStyleColored));
    // In a dark tray the monochrome icon is drawn white.
    _iconStylePopMenu->addItem(
        statusItemIcon(QM_OSAppearance::isDarkMode() ? "QuilmoStatusItemWhite" : "QuilmoStatusItemBlack"),
        P::localized("Black"), int(IconStyleBlack));
    _iconStyleLabel->setBuddy(_iconStylePopMenu);
    grid->addWidget(_iconStylePopMenu, 2, 1);
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);

    // What really starts at login: the boxes above speak of the tray only.
    _loginInfo = new QLabel(this);
    _loginInfo->setObjectName(QStringLiteral("loginInfo"));
    _loginInfo->setWordWrap(true);
    _loginInfo->setForegroundRole(QPalette::PlaceholderText);
    // As wide as the controls, however long the text.
    _loginInfo->setFixedWidth(qMax(grid->sizeHint().width(), 360));
    layout->addWidget(_loginInfo);

    // An installation the package manager owns is updated by it: Quilmo never looks itself.
    QMCheckForUpdates *updates = QMCheckForUpdates::sharedInstance();
    _checkForUpdates = new QCheckBox(P::localized("Check for updates automatically"), this);
    _checkForUpdates->setObjectName(QStringLiteral("checkForUpdatesAutomatically"));
    const bool packaged = updates->application().packageManaged;
    _checkForUpdates->setChecked(!packaged && updates->checksAutomatically());
    _checkForUpdates->setEnabled(!packaged);
    if (packaged)
        _checkForUpdates->setToolTip(P::localized("Quilmo is updated by the system's package manager."));
    connect(_checkForUpdates, &QCheckBox::clicked, this,
            [this] { QMCheckForUpdates::sharedInstance()->setChecksAutomatically(_checkForUpdates->isChecked()); });
    layout->addWidget(_checkForUpdates);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("preferencesButtons"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    // Fixed size: what the contents need, and the whole title.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    QMWindowTitle::fitWidthToTitle(this);

    const int style = int(QMRamDiskPreferences::sharedInstance()->statusItemIconStyle());
    const int index = _iconStylePopMenu->findData(style);
    _iconStylePopMenu->setCurrentIndex(index >= 0 ? index : 0);

    connect(_showHelper, &QCheckBox::clicked, this, [this] { changeAction(_showHelper); });
    connect(_showHelperAtLogin, &QCheckBox::clicked, this, [this] { changeAction(_showHelperAtLogin); });
    connect(_iconStylePopMenu, &QComboBox::activated, this, [this] { changeAction(_iconStylePopMenu); });
    updateUI();
}

void PreferencesController::showWindow()
{
    show();
    raise();
    activateWindow();
}

void PreferencesController::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    updateUI();
}

void PreferencesController::updateUI()
{
    if (!_ramDiskConfigController) {
        // Shown before it was given its controller: nothing can be read yet.
        if (isVisible())
            QM_CriticalException(this, "self.ramDiskConfigController==nil");
        _showHelper->setChecked(false);
        _showHelperAtLogin->setChecked(false);
        updateUIButton();
        return;
    }
    _showHelper->setChecked(_ramDiskConfigController->helperIsRunning());
    _showHelperAtLogin->setChecked(_ramDiskConfigController->helperIsAtLogin());
    updateUIButton();
}

QString PreferencesController::loginText(const QList<QMRamDisk::Ptr> &ramDisks, bool showInMenuBar,
                                         bool showInMenuBarAtLogin, bool registered)
{
    QStringList does;
    if (showInMenuBar && showInMenuBarAtLogin)
        does << P::localized("It shows Quilmo in the system tray.");
    QStringList created;
    bool saves = false;
    for (const QMRamDisk::Ptr &r : ramDisks) {
        if (r->createAtLogin())
            created << QStringLiteral("\u201c%1\u201d").arg(r->displayName());
        saves = saves || QMRamDiskAutoSave::saveActionOf(r) != QMRamDiskAction_none;
    }
    if (!created.isEmpty()) {
        const QString last = created.takeLast();
        const QString names = created.isEmpty() ? last
                                                : created.join(QStringLiteral(", ")) + P::localized(" and ") + last;
        does << P::localized("It creates %1.").arg(names);
    }
    if (saves && (registered || !does.isEmpty()))
        does << P::localized("It saves the RAM disks that have a backup while they are mounted.");
    if (!registered)
        return does.isEmpty() ? P::localized("Nothing of Quilmo starts at login.")
                              : P::localized("Quilmo-Helper should start at login, but its autostart entry is missing "
                                             "(see the log).");
    return (QStringList{P::localized("At login, Quilmo-Helper starts.")} + does).join(QLatin1Char(' '));
}

void PreferencesController::updateUIButton()
{
    if (const QMRamDiskEntries *entries = _ramDiskConfigController ? _ramDiskConfigController->ramDiskEntries() : nullptr) {
        bool valid = false;
        const QUrl helper = QMRamDiskUtils::helperURL();
        const bool registered = !helper.isEmpty() && QMSharedLoginItems::isLoginItem(helper, &valid) && valid;
        _loginInfo->setText(loginText(entries->ramDisks(), entries->showInMenuBar(), entries->showInMenuBarAtLogin(),
                                      registered));
    } else {
        _loginInfo->clear();
    }
    const bool shown = _showHelper->isChecked();
    _iconStylePopMenu->setEnabled(shown);
    _showHelperAtLogin->setEnabled(shown);
    // A disabled label takes the palette's disabled-text colour.
    _iconStyleLabel->setEnabled(shown);
}

void PreferencesController::changeAction(QObject *sender)
{
    if (sender == _iconStylePopMenu) {
        const qint64 style = _iconStylePopMenu->currentData().toLongLong();
        QMRamDiskPreferences *preferences = QMRamDiskPreferences::sharedInstance();
        preferences->setStatusItemIconStyle(style);
        preferences->synchroniseDelayed();
        // The helper changes its icon now, without waiting for the saved file.
        QMDistributedNotificationCenter::postNotificationName(iconStyleNotificationName(), QString(),
                                                              {{kIconStyleKey, style}});
        return;
    }
    if (!_ramDiskConfigController) {
        QM_CriticalException(this, "self.ramDiskConfigController==nil");
        return;
    }
    if (sender == _showHelper) {
        _ramDiskConfigController->setHelperIsRunning(_showHelper->isChecked());
        // Hiding the helper also clears its start at login.
        _showHelperAtLogin->setChecked(_ramDiskConfigController->helperIsAtLogin());
    } else if (sender == _showHelperAtLogin) {
        _ramDiskConfigController->setHelperIsAtLogin(_showHelperAtLogin->isChecked());
        _showHelperAtLogin->setChecked(_ramDiskConfigController->helperIsAtLogin());
    }
    updateUIButton();
}
