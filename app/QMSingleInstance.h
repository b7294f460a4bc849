#pragma once

#include <QObject>

// One Quilmo per session: the first one owns the session-bus name org.quilmo.Quilmo and
// answers "Reopen" on /org/quilmo/Quilmo; a second one asks it to come to the front and
// ends. Without a session bus every Quilmo runs on its own (logged).
class QMSingleInstance : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.quilmo.Quilmo")

public:
    static QString serviceName(); // "org.quilmo.Quilmo"
    static QString objectPath();  // "/org/quilmo/Quilmo"

    explicit QMSingleInstance(QObject *parent = nullptr);

    // True when this process is the one to run: it now owns the name, or there is no bus.
    // With `waitForPreviousMs` (a program relaunched after an update), a Quilmo that still
    // owns the name is given that long to leave before this one counts as a second.
    bool claim(int waitForPreviousMs = 0);
    // Asks the Quilmo that owns the name to come to the front; true when it answered.
    static bool activateRunningInstance();

public slots:
    Q_SCRIPTABLE void Reopen();

signals:
    void reopenRequested();
};
