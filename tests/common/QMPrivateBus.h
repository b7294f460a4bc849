#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace QMTest {

// A session bus of the test's own (a dbus-daemon child): the programs and stand-ins a test
// puts on it meet nothing of the other tests running beside it on the shared session bus.
class PrivateBus
{
public:
    PrivateBus();
    ~PrivateBus();
    bool isUsable() const { return !_address.isEmpty(); }
    // For a child process: DBUS_SESSION_BUS_ADDRESS.
    QProcessEnvironment environment() const;
    // A connection of the test's to it, under a name of its own; closed with the bus.
    QDBusConnection connection(const QString &name);

private:
    QProcess _daemon;
    QString _address;
    QStringList _names;
};

} // namespace QMTest
