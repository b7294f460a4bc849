#include "QMMountTableWatcher.h"

#include "QMLog.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

QMMountTableWatcher::QMMountTableWatcher(QObject *parent) : QObject(parent)
{
    _fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (_fd < 0) {
        QM_LogErrorMethod("QMMountTableWatcher", QStringLiteral("open==NO path:/proc/self/mountinfo error:%1")
                                                     .arg(QString::fromLocal8Bit(strerror(errno))));
        return;
    }
    // The first poll after opening reports the table as it is; that is not a change.
    struct pollfd p = {_fd, POLLPRI, 0};
    ::poll(&p, 1, 0);
    _notifier = new QSocketNotifier(_fd, QSocketNotifier::Exception, this);
    connect(_notifier, &QSocketNotifier::activated, this, [this] {
        // Polling again takes the event: the notifier would otherwise fire at once again.
        struct pollfd again = {_fd, POLLPRI, 0};
        ::poll(&again, 1, 0);
        emit changed();
    });
}

QMMountTableWatcher::~QMMountTableWatcher()
{
    delete _notifier;
    if (_fd >= 0)
        ::close(_fd);
}
