#include "QMPrivateBus.h"

#include "QMTestSupport.h"

namespace QMTest {

PrivateBus::PrivateBus()
{
    _daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                  QStringLiteral("--print-address=1")});
    if (!_daemon.waitForStarted(10000))
        return;
    if (waitUntil([&] { return _daemon.canReadLine() || _daemon.state() == QProcess::NotRunning; }, 20000)
        && _daemon.canReadLine())
        _address = QString::fromUtf8(_daemon.readLine()).trimmed();
}

PrivateBus::~PrivateBus()
{
    for (const QString &name : std::as_const(_names))
        QDBusConnection::disconnectFromBus(name);
    if (_daemon.state() != QProcess::NotRunning) {
        _daemon.terminate();
        if (!_daemon.waitForFinished(10000))
            _daemon.kill();
        _daemon.waitForFinished();
    }
}

QProcessEnvironment PrivateBus::environment() const
{
    QProcessEnvironment env;
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), _address);
    return env;
}

QDBusConnection PrivateBus::connection(const QString &name)
{
    if (!_names.contains(name))
        _names << name;
    return QDBusConnection::connectToBus(_address, name);
}

} // namespace QMTest
