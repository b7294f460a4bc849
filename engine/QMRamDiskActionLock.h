#pragma once

#include "QMError.h"
#include "QMFileLock.h"

#include <QString>

#include <memory>

// One action per RAM disk across every program of the user: an action holds the lock of
// its record's identifier for its whole run, a file under $XDG_RUNTIME_DIR/quilmo/. The
// holder writes who it is into the file ("<pid> <action> <program>"), so that a program
// refused with the busy message can say who is at work.
class QMRamDiskActionLock
{
public:
    // $XDG_RUNTIME_DIR/quilmo (created, private to the user); null when it cannot be made.
    static QString lockDirectory(QString *why = nullptr);
    // The lock file of an identifier: the identifier itself when it is a plain name, else
    // a digest of it, so that no identifier read from a file can name another place.
    static QString lockPathForIdentifier(const QString &directory, const QString &identifier);

    // Takes the lock for `action`. None with *error set when another program holds it
    // ("An other action is running:%ld", with who) or when it cannot be made.
    static std::unique_ptr<QMRamDiskActionLock> acquire(const QString &identifier, qint64 action,
                                                        QMError::Ptr *error);

private:
    QMFileLock _lock;
};
