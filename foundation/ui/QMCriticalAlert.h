#pragma once

#include <QString>

// The critical-exception alert of the programs with windows. `install` registers it with
// QMLog; until then (and in programs without a GUI) critical exceptions are only logged.
class QMCriticalAlert
{
public:
    enum Button { SendCrashReport = 0, ContactSupport = 1, Ok = 2 };

    static void install();

    // Runs the alert application-modal on the main thread; a worker thread waits until it
    // is dismissed. Returns the button pressed.
    static Button show(const QString &title, const QString &text);
};
