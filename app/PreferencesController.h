#pragma once

#include <QDialog>

class RamDiskConfigController;

// The preferences window "Quilmo Preferences": whether the helper shows in the tray, starts
// at login, and the colour of its icon.
class PreferencesController : public QDialog
{
    Q_OBJECT

public:
    explicit PreferencesController(QWidget *parent = nullptr);

    void setRamDiskConfigController(RamDiskConfigController *controller) { _ramDiskConfigController = controller; }
    RamDiskConfigController *ramDiskConfigController() const { return _ramDiskConfigController; }

private:
    RamDiskConfigController *_ramDiskConfigController = nullptr;
};
