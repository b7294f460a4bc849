#pragma once

#include <QByteArray>
#include <QString>

// An advisory lock (flock) on a file, held for the life of the object. Every program of the
// user that follows the same rule (Quilmo, Quilmo-Helper, quilmoctl) is kept out while it
// is held; two objects of one process exclude each other too, since the lock belongs to the
// open file, not to the process. The kernel lets go when the holder dies, so a killed
// program never leaves a RAM disk locked.
//
// Lock files stay where they are: removing one while someone waits on it would let a third
// program lock a new file of the same name at the same time.
class QMFileLock
{
public:
    enum class Result {
        Locked, // held now
        Busy,   // another holder has it
        Failed, // the file cannot be used as a lock (*error says why)
    };

    QMFileLock() = default;
    ~QMFileLock();
    QMFileLock(QMFileLock &&other) noexcept;
    QMFileLock &operator=(QMFileLock &&other) noexcept;
    QMFileLock(const QMFileLock &) = delete;
    QMFileLock &operator=(const QMFileLock &) = delete;

    // Takes the lock of `path` (created, mode 0600, when missing) without waiting.
    Result tryLock(const QString &path, QString *error = nullptr);
    // The same, waiting up to `timeoutMs` for another holder to let go.
    Result lock(const QString &path, int timeoutMs, QString *error = nullptr);

    bool isLocked() const { return _fd >= 0; }
    void unlock();

    // Replaces the file's contents: who holds it, for the programs that find it busy. The
    // text is taken away again when the lock is let go.
    bool writeHolder(const QByteArray &text);
    // What the holder wrote (at most a few hundred bytes); empty when nothing can be read.
    static QByteArray readHolder(const QString &path);

private:
    int _fd = -1;
    bool _wroteHolder = false;
};
