// Two measurements of the engine against what a user would do by hand:
//  1. creating and ejecting a 1 GB RAM disk through QMRamDisk, against losetup, mkfs.ext4,
//     mount, umount and losetup -d run directly (target: at most 2 times);
//  2. backing a 200 MB tree of mixed small and large files up from memory to disk, flushed
//     to the disk as every backup is, and restoring it, against cp -a, sync -f and cp -a
//     doing the same (target: at most 1.2 times); the flush's own share is printed;
//  3. saving 1 GB of mixed files again after 1 % of the files changed, against the first,
//     full save (target: at most a tenth of it), and what telling "nothing changed" costs.
// Needs root and loop devices for the first; the scratch space is QUILMO_BENCH_DIR or /mnt.

#include "QMFileCopier.h"
#include "QMLog.h"
#include "QMRamDisk.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskBackup.h"
#include "QMTemporaryDir.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool run(const QString &program, const QStringList &args, QString *out = nullptr)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted() || !p.waitForFinished(-1))
        return false;
    if (out)
        *out = QString::fromUtf8(p.readAllStandardOutput());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// With QUILMO_BENCH_VERBOSE set, prints when each step of the engine began.
class StepClock : public QMRamDiskActionDelegateProtocol
{
public:
    StepClock() { _timer.start(); }
    void ramDiskDidUpdated(const QMRamDisk::Ptr &ramDisk) override
    {
        if (qEnvironmentVariableIsSet("QUILMO_BENCH_VERBOSE"))
            std::fprintf(stderr, "  %7.2f ms action %lld info %lld\n", double(_timer.nsecsElapsed()) / 1e6,
                         static_cast<long long>(ramDisk->action()), static_cast<long long>(ramDisk->lastActionInfo()));
    }

private:
    QElapsedTimer _timer;
};

// ms for one engine creation and ejection, or < 0 on failure.
double engineRound(const QString &mountDir)
{
    StepClock delegate;
    QMRamDisk::Ptr ramDisk = QMRamDisk::create();
    ramDisk->setName(QStringLiteral("BenchEngine"));
    ramDisk->setSize(1000000000ULL);
    ramDisk->setMountDirectory(mountDir);
    QElapsedTimer timer;
    timer.start();
    QMError::Ptr error;
    if (!ramDisk->createWithDelegate(&delegate, &error)) {
        std::fprintf(stderr, "create failed: %s\n", error ? qPrintable(error->description()) : "");
        return -1;
    }
    delegate.ramDiskDidUpdated(ramDisk);
    ramDisk->performAction(QMRamDiskAction_eject, &delegate, false);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (ramDisk->lastError() || ramDisk->status() != QMRamDiskStatus_notCreated) {
        std::fprintf(stderr, "eject failed\n");
        return -1;
    }
    return ms;
}

double directRound(const QString &mountDir)
{
    const QString file = QStringLiteral("/dev/shm/bench-engine-direct-%1").arg(getpid());
    const QString dir = mountDir + QStringLiteral("/BenchDirect");
    QElapsedTimer timer;
    timer.start();
    QString device;
    bool ok = run(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("1000000000"), file})
              && run(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), file}, &device);
    device = device.trimmed();
    ok = ok
         && run(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-O"),
                                              QStringLiteral("^has_journal"), QStringLiteral("-L"),
                                              QStringLiteral("BenchDirect"), device})
         && QDir().mkpath(dir)
         && run(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("noatime,nosuid,nodev,discard"), device, dir})
         && run(QStringLiteral("umount"), {dir});
    if (!device.isEmpty())
        ok = run(QStringLiteral("losetup"), {QStringLiteral("-d"), device}) && ok;
    QFile::remove(file);
    QDir().rmdir(dir);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    return ok ? ms : -1;
}

// A tree of about 200 MB: many small files in nested folders and a few large ones.
qint64 makeTree(const QString &root)
{
    QRandomGenerator random(42);
    qint64 total = 0;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < chunk.size(); ++i)
        chunk[i] = char(random.bounded(256));
    for (int d = 0; d < 40; ++d) {
        const QString dir = root + QStringLiteral("/project%1/src/module%2").arg(d % 8).arg(d);
        QDir().mkpath(dir);
        for (int f = 0; f < 100; ++f) {
            const int size = 512 + int(random.bounded(16 * 1024));
            QFile file(dir + QStringLiteral("/file%1.c").arg(f));
            file.open(QIODevice::WriteOnly);
            file.write(chunk.constData() + random.bounded(chunk.size() - size), size);
            total += size;
        }
    }
    QDir().mkpath(root + QStringLiteral("/media"));
    for (int f = 0; f < 10; ++f) {
        QFile file(root + QStringLiteral("/media/large%1.bin").arg(f));
        file.open(QIODevice::WriteOnly);
        for (int mb = 0; mb < 16; ++mb)
            file.write(chunk);
        total += 16 * chunk.size();
    }
    return total;
}

// About 1 GB in 10,042 files: 10,000 of 1 to 64 KiB in 100 folders and 42 of 16 MiB.
// The paths of the files, in the order made.
QStringList makeGigabyteTree(const QString &root, qint64 *bytes)
{
    QRandomGenerator random(7);
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < chunk.size(); ++i)
        chunk[i] = char(random.bounded(256));
    QStringList files;
    *bytes = 0;
    for (int d = 0; d < 100; ++d) {
        const QString dir = root + QStringLiteral("/src/part%1/dir%2").arg(d % 10).arg(d);
        QDir().mkpath(dir);
        for (int f = 0; f < 100; ++f) {
            const int size = 1024 + int(random.bounded(63 * 1024));
            const QString path = dir + QStringLiteral("/file%1.dat").arg(f);
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(chunk.constData() + random.bounded(chunk.size() - size), size);
            *bytes += size;
            files << path;
        }
    }
    QDir().mkpath(root + QStringLiteral("/media"));
    for (int f = 0; f < 42; ++f) {
        const QString path = root + QStringLiteral("/media/large%1.bin").arg(f);
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        for (int mb = 0; mb < 16; ++mb)
            file.write(chunk);
        *bytes += 16 * chunk.size();
        files << path;
    }
    // Spread over the tree: every hundredth file ends up among the changed ones.
    std::shuffle(files.begin(), files.end(), std::mt19937(11));
    return files;
}

// 3. The incremental save. Returns false when a save failed.
bool benchIncrementalSave(const QString &scratch, const QString &memory)
{
    const QString volume = memory + QStringLiteral("/gigabyte");
    qint64 bytes = 0;
    const QStringList files = makeGigabyteTree(volume, &bytes);
    // The user's files are older than the save that finds them, by more than a clock tick.
    QThread::msleep(1500);
    const QString backup = scratch + QStringLiteral("/incremental.QuilmoBackup");
    QMRamDiskBackup *b = QMRamDiskBackup::sharedInstance();
    run(QStringLiteral("sync"), {QStringLiteral("-f"), scratch});

    QElapsedTimer timer;
    timer.start();
    QMFileCopier::Statistics full, incremental;
    const double saveStarted = double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    if (QMError::Ptr error = b->backupRamDiskAtPath(volume, backup, QStringLiteral("previous"), &full)) {
        std::fprintf(stderr, "full save failed: %s\n", qPrintable(error->description()));
        return false;
    }
    const double fullMs = double(timer.nsecsElapsed()) / 1e6;

    // Telling that nothing changed: the status times of the whole tree.
    timer.restart();
    const int unchanged = QMRamDiskAutoSave::volumeChangedSince(volume, saveStarted);
    const double scanMs = double(timer.nsecsElapsed()) / 1e6;

    const int changedCount = int(files.size()) / 100;
    for (int i = 0; i < changedCount; ++i) {
        QFile file(files.at(i));
        file.open(QIODevice::ReadWrite);
        file.write(QByteArray(4096, char('A' + i % 26)));
    }
    timer.restart();
    if (QMError::Ptr error = b->backupRamDiskAtPath(volume, backup, QStringLiteral("previous"), &incremental)) {
        std::fprintf(stderr, "incremental save failed: %s\n", qPrintable(error->description()));
        return false;
    }
    const double incrementalMs = double(timer.nsecsElapsed()) / 1e6;
    QMRamDiskBackup::removeItemAtPath(backup, nullptr);
    QMRamDiskBackup::removeItemAtPath(volume, nullptr);

    std::printf("%.0f MB in %lld files, saved again after %d files (1 %%) changed: full save %.1f ms, "
                "incremental save %.1f ms (%llu copied, %llu linked), ratio %.3f (target: at most 0.1)\n",
                double(bytes) / 1e6, static_cast<long long>(files.size()), changedCount, fullMs, incrementalMs,
                static_cast<unsigned long long>(incremental.filesCopied),
                static_cast<unsigned long long>(incremental.filesLinked), incrementalMs / fullMs);
    std::printf("telling that nothing changed in those %lld files (status times): %.1f ms (%s)\n",
                static_cast<long long>(files.size()), scanMs, unchanged == 0 ? "unchanged" : "CHANGED?");
    return full.filesCopied == quint64(files.size()) && incremental.filesCopied == quint64(changedCount);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QMLog::setSink([](const QString &entry) { std::fprintf(stderr, "%s\n", qPrintable(entry)); });
    const QString scratchRoot = qEnvironmentVariableIsEmpty("QUILMO_BENCH_DIR") ? QStringLiteral("/mnt")
                                                                                : qEnvironmentVariable("QUILMO_BENCH_DIR");
    QMTemporaryDir scratch(scratchRoot + QStringLiteral("/quilmo-bench-engine-XXXXXX"));
    if (!scratch.isValid()) {
        std::printf("bench_engine: skipped (cannot write in %s)\n", qPrintable(scratchRoot));
        return 0;
    }
    // Replaced copies are removed in the background: done before the scratch directory goes.
    struct WaitForDiscards {
        ~WaitForDiscards() { QMRamDiskBackup::waitForDiscards(); }
    } waitForDiscards;
    int status = 0;
    // QUILMO_BENCH_ONLY=incremental runs the third part alone.
    if (qEnvironmentVariable("QUILMO_BENCH_ONLY") == QLatin1String("incremental")) {
        QMTemporaryDir memory(QStringLiteral("/dev/shm/quilmo-bench-engine-XXXXXX"));
        return benchIncrementalSave(scratch.path(), memory.path()) ? 0 : 1;
    }

    // 1. Create and eject.
    if (geteuid() == 0 && access("/dev/loop-control", R_OK | W_OK) == 0) {
        const int rounds = 11;
        std::vector<double> engine, direct;
        for (int i = 0; i < rounds; ++i) { // interleaved, so that both see the same machine
            const double e = engineRound(scratch.path());
            const double d = directRound(scratch.path());
            if (e < 0 || d < 0) {
                std::fprintf(stderr, "bench_engine: a create/eject round failed\n");
                status = 1;
                break;
            }
            engine.push_back(e);
            direct.push_back(d);
        }
        if (status == 0) {
            std::printf("1 GB RAM disk create + eject, median of %d rounds: engine %.1f ms, direct %.1f ms, "
                        "ratio %.2f (target: at most 2)\n",
                        rounds, median(engine), median(direct), median(engine) / median(direct));
        }
    } else {
        std::printf("bench_engine: create/eject skipped (needs root and /dev/loop-control)\n");
    }

    // 2. Back up and restore. The volume lives in memory, the backup on disk.
    QMTemporaryDir memory(QStringLiteral("/dev/shm/quilmo-bench-engine-XXXXXX"));
    if (!memory.isValid()) {
        std::printf("bench_engine: backup skipped (no /dev/shm)\n");
        return status;
    }
    const QString volume = memory.path() + QStringLiteral("/volume");
    const qint64 bytes = makeTree(volume);
    const int rounds = 3;
    std::vector<double> engine, copy, syncs, copierCopy, copierFlush;
    for (int i = 0; i < rounds; ++i) {
        const QString backup = scratch.path() + QStringLiteral("/backup");
        const QString restored = memory.path() + QStringLiteral("/restored");
        QDir().mkpath(restored);
        QElapsedTimer timer;
        timer.start();
        QMError::Ptr error = QMRamDiskBackup::sharedInstance()->backupRamDiskAtPath(volume, backup, QStringLiteral("previous"));
        if (!error)
            error = QMRamDiskBackup::sharedInstance()->restoreRamDiskAtPath(restored, backup);
        engine.push_back(double(timer.nsecsElapsed()) / 1e6);
        QMRamDiskBackup::removeItemAtPath(backup, nullptr);
        QMRamDiskBackup::removeItemAtPath(restored, nullptr);
        if (error) {
            status = 1;
            break;
        }

        // The engine's backup in its two parts: the copy, and the flush to the disk.
        const QByteArray raw = QFile::encodeName(scratch.path() + QStringLiteral("/raw"));
        QDir().mkpath(QFile::decodeName(raw));
        const int rawFd = open(raw.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QMFileCopier copier;
        timer.restart();
        copier.copyItem(QFile::encodeName(volume), raw + "/volume");
        copierCopy.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.restart();
        const bool flushed = QMFileCopier::syncFileSystem(rawFd, nullptr);
        copierFlush.push_back(double(timer.nsecsElapsed()) / 1e6);
        close(rawFd);
        QMRamDiskBackup::removeItemAtPath(QFile::decodeName(raw), nullptr);
        if (copier.failed() || !flushed) {
            status = 1;
            break;
        }

        // By hand, as safely: cp -a, then sync -f before the volume may go, then cp -a back.
        const QString cpBackup = scratch.path() + QStringLiteral("/cp-backup");
        const QString cpRestored = memory.path() + QStringLiteral("/cp-restored");
        timer.restart();
        bool ok = run(QStringLiteral("cp"), {QStringLiteral("-a"), volume, cpBackup});
        QElapsedTimer syncTimer;
        syncTimer.start();
        ok = ok && run(QStringLiteral("sync"), {QStringLiteral("-f"), cpBackup});
        syncs.push_back(double(syncTimer.nsecsElapsed()) / 1e6);
        ok = ok && run(QStringLiteral("cp"), {QStringLiteral("-a"), cpBackup, cpRestored});
        copy.push_back(double(timer.nsecsElapsed()) / 1e6);
        QMRamDiskBackup::removeItemAtPath(cpBackup, nullptr);
        QMRamDiskBackup::removeItemAtPath(cpRestored, nullptr);
        if (!ok) {
            status = 1;
            break;
        }
        // Nothing of this round left dirty for the next one to pay for.
        run(QStringLiteral("sync"), {QStringLiteral("-f"), scratch.path()});
    }
    if (status == 0) {
        std::printf("%.0f MB tree backup (flushed) + restore, median of %d rounds: engine %.1f ms, "
                    "cp -a + sync -f + cp -a %.1f ms, ratio %.2f (target: at most 1.2)\n",
                    double(bytes) / 1e6, rounds, median(engine), median(copy), median(engine) / median(copy));
        std::printf("flush to disk: engine copy %.1f ms + syncfs %.1f ms (the flush is %.0f%% of the backup); "
                    "sync -f after cp -a %.1f ms\n",
                    median(copierCopy), median(copierFlush),
                    100.0 * median(copierFlush) / (median(copierCopy) + median(copierFlush)), median(syncs));
    }
    QMRamDiskBackup::removeItemAtPath(volume, nullptr);

    // 3. Saving again what changed little.
    if (!benchIncrementalSave(scratch.path(), memory.path()))
        status = 1;
    return status;
}
