#pragma once

#include <QObject>

class QTimer;

// Quilmo's own small preferences: the style of the helper's tray icon, kept in Quilmo's
// user defaults under "StatusItemIconStyle", where the helper reads it.
class QMRamDiskPreferences : public QObject
{
    Q_OBJECT

public:
    // Made on first use and filled from the user defaults at once.
    static QMRamDiskPreferences *sharedInstance();

    void restoreFromUserDefaults();
    void saveToUserDefaults();
    // Saves 1.0 s from now; a pending save is replaced.
    void synchroniseDelayed();
    bool hasPendingSave() const;

    qint64 statusItemIconStyle() const { return _statusItemIconStyle; }
    // Does not save.
    void setStatusItemIconStyle(qint64 style) { _statusItemIconStyle = style; }

private:
    QMRamDiskPreferences();

    qint64 _statusItemIconStyle = 0;
    QTimer *_saveTimer = nullptr;
};
