#pragma once

#include "QMRamDisk.h"

#include <QStringList>
#include <QTextStream>

#include <condition_variable>
#include <memory>
#include <mutex>

class QMRamDiskEntries;

// quilmoctl: the entries store and the RAM-disk actions from the command line. Every saved
// change is announced so that Quilmo and Quilmo-Helper reload.
class QMCtl
{
public:
    enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

    QMCtl(QTextStream &out, QTextStream &err);
    ~QMCtl();

    // `args` without the program name.
    int run(const QStringList &args);

    // The sender name of quilmoctl's change notifications.
    static QString senderName();

private:
    int list(const QStringList &args);
    int presets(const QStringList &args);
    int addOrSet(const QString &command, const QStringList &args);
    int action(const QString &command, const QStringList &args);
    int remove(const QStringList &args);
    int status(const QStringList &args);
    int memory(const QStringList &args);
    int help(const QString &command);

    // Reads the list; `locked` holds the file's lock until quilmoctl ends.
    bool load(bool locked);
    bool save();
    QMRamDisk::Ptr find(const QString &nameOrIdentifier) const;
    // `force`: for a backup, replace the complete copy with incomplete contents.
    int runAction(const QMRamDisk::Ptr &ramDisk, qint64 action, const QString &command, bool force);
    // Ejects without saving, also while programs use the volume.
    int forceEject(const QMRamDisk::Ptr &ramDisk);
    void printErrorChain(const QString &prefix, const QMError::Ptr &error);
    int usage(const QString &command, const QString &message);
    QJsonObject jsonOf(const QMRamDisk::Ptr &ramDisk) const;

    QTextStream &_out;
    QTextStream &_err;
    std::unique_ptr<QMRamDiskEntries> _entries;
    class Progress;
    std::unique_ptr<Progress> _progress;
};
