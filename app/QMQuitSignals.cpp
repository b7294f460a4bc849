#include "QMQuitSignals.h"

#include "QMLog.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int gPipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

void quitSignalHandler(int sig)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    // A full pipe means a quit is already on its way.
    [[maybe_unused]] const ssize_t n = ::write(gPipe[0], &byte, 1);
    errno = saved;
}

} // namespace

QMQuitSignals::QMQuitSignals(QObject *parent) : QObject(parent) {}

QMQuitSignals::~QMQuitSignals()
{
    if (gPipe[0] < 0)
        return;
    for (int sig : kSignals)
        ::signal(sig, SIG_DFL);
    delete _notifier;
    ::close(gPipe[0]);
    ::close(gPipe[1]);
    gPipe[0] = gPipe[1] = -1;
}

bool QMQuitSignals::install()
{
    if (gPipe[0] >= 0)
        return false; // one per program
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gPipe) != 0) {
        QM_LogErrorMethod(this, QStringLiteral("socketpair==NO errno:%1").arg(errno));
        return false;
    }
    _notifier = new QSocketNotifier(gPipe[1], QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &QMQuitSignals::readSignal);

    struct sigaction action = {};
    action.sa_handler = quitSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    bool ok = true;
    for (int sig : kSignals) {
        if (::sigaction(sig, &action, nullptr) != 0) {
            QM_LogErrorMethod(this, QStringLiteral("sigaction==NO signal:%1").arg(sig));
            ok = false;
        }
    }
    return ok;
}

void QMQuitSignals::readSignal()
{
    unsigned char byte = 0;
    int last = 0;
    while (::read(gPipe[1], &byte, 1) == 1)
        last = byte;
    if (last != 0) {
        QMLog::logInfo(QStringLiteral("Quit asked by signal %1").arg(last));
        emit quitRequested(last);
    }
}
