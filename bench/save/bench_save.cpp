// Saving a RAM disk of many small files, and one of large ones, against what a user would
// do by hand: `cp -a` of the same tree followed by `sync -f` of the destination. In one run,
// interleaved so that both sides see the same machine, median of several rounds:
//   a full save (the engine's backup, flushed as every backup is) against cp -a + sync -f;
//   a full restore onto memory against cp -a + sync -f back;
//   an incremental save after appending to 1 % of the files, against the full save: the
//   second save, which links the unchanged files of the first, and the third, which
//   brings the first copy (kept as the older one) up to date in place, as every later
//   save of a backup folder does.
// Each full save and restore writes into warm memory (see warmMemory()).
// Trees: 60,000 files of 100 bytes (60 folders of 1,000) and 2,000 files of 1 MB (20
// folders of 100). Targets: full save and restore at most 1.0 of cp -a + sync for the
// small files and 1.2 for the large ones; the incremental save at most 0.15 of the full
// save for the small files and 0.1 for the large ones.
// The volume lives in QUILMO_BENCH_VOLUME_DIR (default /dev/shm: a memory file system, as a
// RAM disk is), the backups in QUILMO_BENCH_DIR (default /mnt). QUILMO_BENCH_ROUNDS sets the
// rounds (default 3); QUILMO_BENCH_ONLY=small|large runs one tree.
// Every figure is split in two: the copy, and the flush that puts it on the disk (the
// save's syncfs and directory fsyncs; cp's `sync -f`), so that a difference shows where
// it lies.
// On an ext4 without a journal, the inode allocator skips every inode freed in the last
// minute, looking each one up: after the removal of a tree of 60,000 files, creating files
// costs many times what it costs otherwise, on either side, depending on where the removed
// tree lay. Such a destination is named in the output; a journaled one gives steady figures.

#include "QMLog.h"
#include "QMRamDiskBackup.h"
#include "QMTemporaryDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// The time this process spends in syncfs() and fsync(): defined here, they stand in for the
// C library's in the engine too, which times the save's flush without a hook in the engine.
std::atomic<qint64> g_flushNs{0};

template<typename Fn>
Fn realFunction(const char *name)
{
    Fn fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    if (!fn) {
        std::fprintf(stderr, "bench_save: no %s in the C library\n", name);
        std::abort();
    }
    return fn;
}

template<typename Fn>
int timedFlush(Fn fn, int fd)
{
    QElapsedTimer timer;
    timer.start();
    const int r = fn(fd);
    const int saved = errno;
    g_flushNs += timer.nsecsElapsed();
    errno = saved;
    return r;
}

extern "C" int syncfs(int fd)
{
    static const auto real = realFunction<int (*)(int)>("syncfs");
    return timedFlush(real, fd);
}

extern "C" int fsync(int fd)
{
    static const auto real = realFunction<int (*)(int)>("fsync");
    return timedFlush(real, fd);
}

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForStarted() && p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    return QString::fromLatin1(file.readLine()).section(QLatin1Char(' '), 0, 2);
}

// Writes `folders` x `files` files of `size` bytes under `root`; their paths, spread so that
// every hundredth is one of a different folder.
bool makeTree(const QString &root, int folders, int files, size_t size, std::vector<std::string> *paths)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = char('a' + (i * 7 + i / 13) % 26);
    const std::string base = QFile::encodeName(root).toStdString();
    if (mkdir(base.c_str(), 0755) != 0)
        return false;
    for (int d = 0; d < folders; ++d) {
        const std::string dir = base + "/folder" + std::to_string(d);
        if (mkdir(dir.c_str(), 0755) != 0)
            return false;
        for (int f = 0; f < files; ++f) {
            const std::string path = dir + "/file" + std::to_string(f) + ".txt";
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0 || write(fd, data.data(), size) != ssize_t(size) || close(fd) != 0)
                return false;
            paths->push_back(path);
        }
    }
    // Every hundredth path in this order is a different folder's, files spread over the tree.
    std::vector<std::string> spread;
    spread.reserve(paths->size());
    for (int f = 0; f < files; ++f)
        for (int d = 0; d < folders; ++d)
            spread.push_back((*paths)[size_t(d) * size_t(files) + size_t(f)]);
    paths->swap(spread);
    return true;
}

// True when `path` is on an ext4 without a journal (whose sysfs folder names no journal task).
bool onExt4WithoutJournal(const QString &path)
{
    struct stat st {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    const QString device =
        QFileInfo(QStringLiteral("/sys/dev/block/%1:%2").arg(major(st.st_dev)).arg(minor(st.st_dev))).canonicalFilePath();
    QFile task(QStringLiteral("/sys/fs/ext4/%1/journal_task").arg(QFileInfo(device).fileName()));
    return !device.isEmpty() && task.open(QIODevice::ReadOnly) && task.readAll().trimmed() == "<none>";
}

// Touches 3 GiB of memory and lets it go, before each side writes a tree (into memory, or
// into the disk's page cache): a hypervisor that backs guest memory on first touch and
// takes free memory back makes writing into memory nobody used for a while cost several
// times more, for whichever side comes first.
void warmMemory()
{
    constexpr size_t bytes = size_t(3) << 30;
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p != MAP_FAILED)
        munmap(p, bytes);
}

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

// A whole operation and, of it, the flush.
struct Timed
{
    std::vector<double> total, flush;
    double medianTotal() const { return median(total); }
    // The medians of the copy and of the flush, each over the rounds.
    double medianCopy() const
    {
        std::vector<double> copy;
        for (size_t i = 0; i < total.size(); ++i)
            copy.push_back(total[i] - flush[i]);
        return median(copy);
    }
    double medianFlush() const { return median(flush); }
};

struct Results
{
    Timed save, cpSave, restore, cpRestore, incremental, laterIncremental;
};

// Times `work`, and of it the flushes this process makes, into `into`.
template<typename Work>
bool timed(Timed *into, Work work)
{
    const qint64 flushedBefore = g_flushNs;
    QElapsedTimer timer;
    timer.start();
    if (!work())
        return false;
    into->total.push_back(msSince(timer));
    into->flush.push_back(double(g_flushNs - flushedBefore) / 1e6);
    return true;
}

// cp -a of `from` to `to`, then sync -f of `to`, the two timed apart.
bool timedCp(Timed *into, const QString &from, const QString &to)
{
    QElapsedTimer timer;
    timer.start();
    if (!run(QStringLiteral("cp"), {QStringLiteral("-a"), from, to}))
        return false;
    const double copied = msSince(timer);
    if (!run(QStringLiteral("sync"), {QStringLiteral("-f"), to}))
        return false;
    into->total.push_back(msSince(timer));
    into->flush.push_back(into->total.back() - copied);
    return true;
}

// One round: the engine's and cp's saves and restores, then the incremental save.
bool round(const QString &volume, const QString &scratch, const QString &memory, const std::vector<std::string> &paths,
           Results *r)
{
    QMRamDiskBackup *backup = QMRamDiskBackup::sharedInstance();
    const QString copy = scratch + QStringLiteral("/backup");
    const QString olderCopy = copy + QLatin1Char('.') + QMRamDiskBackup::olderCopyExtension();
    const QString cpCopy = scratch + QStringLiteral("/cp-backup");
    const QString restored = memory + QStringLiteral("/restored");
    const QString cpRestored = memory + QStringLiteral("/cp-restored");
    auto settle = [&] {
        QMRamDiskBackup::waitForDiscards();
        run(QStringLiteral("sync"), {QStringLiteral("-f"), scratch});
    };
    auto fail = [](const char *what, const QMError::Ptr &error) {
        std::fprintf(stderr, "bench_save: %s failed: %s\n", what, error ? qPrintable(error->description()) : "");
        return false;
    };

    // Each side follows the removal of one copy of the tree on the disk, flushed: a file
    // system that just freed as many inodes allocates new ones more slowly. The files are
    // older than the save by more than the margin of the link rule, so that the
    // incremental save below can link the unchanged ones from this copy.
    settle();
    sleep(2);
    QMError::Ptr error;
    // Saved as the engine saves a backup folder: the replaced copy is kept for the next save.
    auto save = [&](QMFileCopier::Statistics *stats) {
        return !(error = backup->backupRamDiskAtPath(volume, copy, QStringLiteral("previous"), stats, true));
    };
    warmMemory();
    if (!timed(&r->save, [&] { return save(nullptr); }))
        return fail("save", error);
    QDir().mkpath(restored);
    warmMemory();
    if (!timed(&r->restore, [&] { return !(error = backup->restoreRamDiskAtPath(restored, copy)); }))
        return fail("restore", error);
    QMRamDiskBackup::removeItemAtPath(restored, nullptr);

    // Appended to after the last save began, by more than the second of margin; then saved.
    const size_t changed = paths.size() / 100;
    auto incremental = [&](Timed *into) {
        sleep(2);
        static int pass = 0;
        const std::string more = "appended in pass " + std::to_string(++pass) + "\n";
        for (size_t i = 0; i < changed; ++i) {
            const int fd = open(paths[i].c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (fd < 0 || write(fd, more.data(), more.size()) != ssize_t(more.size()) || close(fd) != 0)
                return fail("append", nullptr);
        }
        sleep(2);
        settle();
        QMFileCopier::Statistics stats;
        if (!timed(into, [&] { return save(&stats); }))
            return fail("incremental save", error);
        if (stats.filesCopied != changed) {
            std::fprintf(stderr, "bench_save: the incremental save copied %llu files, not %zu\n",
                         static_cast<unsigned long long>(stats.filesCopied), changed);
            return false;
        }
        return true;
    };
    if (!incremental(&r->incremental))
        return false;
    if (!QFileInfo::exists(olderCopy)) {
        std::fprintf(stderr, "bench_save: the second save kept no older copy\n");
        return false;
    }
    if (!incremental(&r->laterIncremental))
        return false;
    QMRamDiskBackup::removeItemAtPath(copy, nullptr);
    QMRamDiskBackup::removeItemAtPath(olderCopy, nullptr);

    settle();
    sleep(2);
    warmMemory();
    if (!timedCp(&r->cpSave, volume, cpCopy))
        return fail("cp -a", nullptr);
    warmMemory();
    if (!timedCp(&r->cpRestore, cpCopy, cpRestored))
        return fail("cp -a back", nullptr);
    QMRamDiskBackup::removeItemAtPath(cpRestored, nullptr);
    QMRamDiskBackup::removeItemAtPath(cpCopy, nullptr);
    settle();
    return true;
}

bool benchTree(const char *name, int folders, int files, size_t size, double target, double incrementalTarget,
               const QString &scratch, const QString &memoryRoot, int rounds)
{
    QMTemporaryDir memory(memoryRoot + QStringLiteral("/quilmo-bench-save-XXXXXX"));
    if (!memory.isValid()) {
        std::printf("bench_save: %s skipped (cannot write in %s)\n", name, qPrintable(memoryRoot));
        return true;
    }
    const QString volume = memory.path() + QStringLiteral("/volume");
    std::vector<std::string> paths;
    if (!makeTree(volume, folders, files, size, &paths)) {
        std::perror("bench_save: making the tree");
        return false;
    }
    const QString loadBefore = loadAverage();
    Results r;
    for (int i = 0; i < rounds; ++i) {
        if (!round(volume, scratch, memory.path(), paths, &r))
            return false;
    }
    const QString loadAfter = loadAverage();
    std::printf("%s: %zu files of %zu bytes, median of %d rounds, load %s .. %s\n", name, paths.size(), size, rounds,
                qPrintable(loadBefore), qPrintable(loadAfter));
    auto line = [](const char *what, const Timed &ours, const char *against, const Timed &theirs, double target) {
        std::printf("  %-22s %9.1f ms (copy %9.1f + flush %7.1f), %s %9.1f ms (copy %9.1f + flush %7.1f), "
                    "ratio %.3f (target: at most %.2f)\n",
                    what, ours.medianTotal(), ours.medianCopy(), ours.medianFlush(), against, theirs.medianTotal(),
                    theirs.medianCopy(), theirs.medianFlush(), ours.medianTotal() / theirs.medianTotal(), target);
    };
    line("full save", r.save, "cp -a + sync -f", r.cpSave, target);
    line("full restore", r.restore, "cp -a + sync -f", r.cpRestore, target);
    line("incremental, 2nd save", r.incremental, "full save      ", r.save, incrementalTarget);
    line("incremental, later", r.laterIncremental, "full save      ", r.save, incrementalTarget);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QMLog::setSink([](const QString &entry) {
        if (qEnvironmentVariableIsSet("QUILMO_BENCH_VERBOSE"))
            std::fprintf(stderr, "%s\n", qPrintable(entry));
    });
    auto setting = [](const char *name, const QString &fallback) {
        return qEnvironmentVariableIsEmpty(name) ? fallback : qEnvironmentVariable(name);
    };
    const QString scratchRoot = setting("QUILMO_BENCH_DIR", QStringLiteral("/mnt"));
    const QString memoryRoot = setting("QUILMO_BENCH_VOLUME_DIR", QStringLiteral("/dev/shm"));
    const int rounds = std::max(1, setting("QUILMO_BENCH_ROUNDS", QStringLiteral("3")).toInt());
    const QString only = qEnvironmentVariable("QUILMO_BENCH_ONLY");
    QMTemporaryDir scratch(scratchRoot + QStringLiteral("/quilmo-bench-save-XXXXXX"));
    if (!scratch.isValid()) {
        std::printf("bench_save: skipped (cannot write in %s)\n", qPrintable(scratchRoot));
        return 0;
    }
    if (onExt4WithoutJournal(scratch.path()))
        std::printf("bench_save: %s is on an ext4 without a journal: its inode allocator slows down for a minute "
                    "after each removal of a tree, so the figures move with where the trees lay\n",
                    qPrintable(scratchRoot));
    struct WaitForDiscards {
        ~WaitForDiscards() { QMRamDiskBackup::waitForDiscards(); }
    } waitForDiscards;
    bool ok = true;
    if (only.isEmpty() || only == QLatin1String("small"))
        ok = benchTree("small files", 60, 1000, 100, 1.0, 0.15, scratch.path(), memoryRoot, rounds) && ok;
    if (only.isEmpty() || only == QLatin1String("large"))
        ok = benchTree("large files", 20, 100, 1000000, 1.2, 0.1, scratch.path(), memoryRoot, rounds) && ok;
    return ok ? 0 : 1;
}
