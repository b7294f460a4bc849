#pragma once

#include <QObject>

class QSocketNotifier;

// Tells when the mount table of this process's mount namespace changes: a disk plugged in
// and mounted, a volume unmounted. The kernel wakes a poll on /proc/self/mountinfo with
// POLLPRI at every change; nothing is read or polled on a timer.
class QMMountTableWatcher : public QObject
{
    Q_OBJECT

public:
    explicit QMMountTableWatcher(QObject *parent = nullptr);
    ~QMMountTableWatcher() override;

    // False when the table could not be opened (changed() never comes).
    bool isWatching() const { return _fd >= 0; }

signals:
    // Something was mounted or unmounted (several changes may come as one).
    void changed();

private:
    int _fd = -1;
    QSocketNotifier *_notifier = nullptr;
};
