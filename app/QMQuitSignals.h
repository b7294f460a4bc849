#pragma once

#include <QObject>

class QSocketNotifier;

// Turns the signals that ask a desktop program to end (SIGTERM from the session at logout,
// SIGINT from a terminal, SIGHUP) into an orderly quit on the main thread, so that the list
// is saved and the end is not mistaken for a crash. The handler only writes a byte to a
// pipe; the event loop reads it.
class QMQuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QMQuitSignals(QObject *parent = nullptr);
    ~QMQuitSignals() override;

    // False (logged) when the pipe or the handlers could not be set up.
    bool install();

signals:
    void quitRequested(int signal);

private:
    void readSignal();

    QSocketNotifier *_notifier = nullptr;
};
