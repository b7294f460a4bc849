#pragma once

#include "QMRamDisk.h"

#include <QDialog>
#include <QList>
#include <QPointer>

class QCheckBox;
class QComboBox;
class QLabel;
class RamDiskConfigController;

// The preferences window "Quilmo Preferences": whether the tray helper shows (runs now),
// whether it starts at login, and the colour of its icon. The first two are carried out by
// the configuration controller, which keeps them in the list of RAM disks and starts, quits
// or registers the helper; the icon style is Quilmo's own preference, announced to the
// helper at once on the session bus and saved a second later where the helper reads it.
// A line below says what really starts at login, whatever the boxes: the helper also starts
// to create RAM disks and to save those with a backup. Last, whether Quilmo looks for a
// newer version at launch.
class PreferencesController : public QDialog
{
    Q_OBJECT

public:
    // Tags of the icon-style menu: the values of "StatusItemIconStyle".
    enum IconStyle { IconStyleColored = 0, IconStyleBlack = 1 };

    explicit PreferencesController(QWidget *parent = nullptr);

    void setRamDiskConfigController(RamDiskConfigController *controller) { _ramDiskConfigController = controller; }
    RamDiskConfigController *ramDiskConfigController() const { return _ramDiskConfigController; }

    // Shows the window with the helper's current state.
    void showWindow();
    // Reads the helper's state from the configuration controller.
    void updateUI();
    // The icon menu and the at-login box only while the helper shows.
    void updateUIButton();
    // The reaction to the three controls.
    void changeAction(QObject *sender);

    // "QMRamDiskPreferencesStatusItemIconStyleDidChangeNotification"
    static QString iconStyleNotificationName();

    // What happens at login, for people: whether Quilmo-Helper starts (its autostart entry
    // is `registered`) and what for, from the list's settings.
    static QString loginText(const QList<QMRamDisk::Ptr> &ramDisks, bool showInMenuBar,
                             bool showInMenuBarAtLogin, bool registered);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void windowDidLoad();

    QCheckBox *_showHelper = nullptr;
    QCheckBox *_showHelperAtLogin = nullptr;
    QLabel *_iconStyleLabel = nullptr;
    QComboBox *_iconStylePopMenu = nullptr;
    QLabel *_loginInfo = nullptr;
    QCheckBox *_checkForUpdates = nullptr;
    QPointer<RamDiskConfigController> _ramDiskConfigController;
};
