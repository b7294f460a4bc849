#pragma once

#include "QMError.h"
#include "QMFileLock.h"

#include <QString>

#include <memory>
#include <optional>

// One action per RAM disk across every program of the user: an action holds the lock of
// its record's identifier for its whole run, a file under $XDG_RUNTIME_DIR/quilmo/. The
// holder writes who it is into the file ("<pid> <action> <program> <step>", the step
// rewritten as the action goes on), so that a program refused with the busy message can
// say who is at work, and a window can show the progress of another program's action.
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

    // The action (it may pass through others: an eject backs up first) and the step it
    // has reached (QMRamDiskActionInfo), for the other programs.
    void setStep(qint64 action, qint64 actionInfo);

    // Who runs an action on the RAM disk now, as the holder wrote it; none when nobody
    // does (or the holder died). Reading never takes the lock.
    struct Holder
    {
        qint64 pid = 0;
        qint64 action = 0;
        qint64 actionInfo = 0;
        QString program;
    };
    static std::optional<Holder> holderOf(const QString &identifier);

private:
    static std::optional<Holder> holderAt(const QString &path);

    QMFileLock _lock;
};
