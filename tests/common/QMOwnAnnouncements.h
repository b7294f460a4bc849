#pragma once

#include "QMRamDiskEntries.h"

#include <QString>
#include <QStringList>

namespace QMTest {

// Returns once this process's stores hear the session bus: their subscriptions, made from
// the event loop, are made and have reached the bus.
void listenOnTheBus();

// This process's announcements of its entries file from the moment it is made, in order,
// heard as another program's store hears them. Other test programs announce on the same
// bus, and this process's earlier announcements may still be on their way: neither counts.
class OwnAnnouncements
{
public:
    OwnAnnouncements();
    // False when the bus did not bring back the probe that marks the start.
    bool listening() const { return _listening; }
    QStringList senders() const { return _senders; }
    // The senders heard up to this moment: a mark posted now and heard back proves that
    // what was posted before it has arrived.
    QStringList sendersUntilNow();

private:
    QMRamDiskEntries _listener;
    QString _probe;
    bool _listening = false;
    QStringList _senders;
};

} // namespace QMTest
