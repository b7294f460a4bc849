// A RAM disk exists to be fast: this measures one against the memory it lives in. In one
// run it creates a Quilmo RAM disk through the engine and a tmpfs of the same size and
// measures both, interleaved, median of several rounds:
//   sequential write of 1 GiB followed by syncfs, sequential read of it (from the page
//   cache, and again after the file's cached pages were dropped, so that the RAM disk's
//   device is read), writing 20,000 files of 4 KiB in 20 directories (and, apart, the
//   syncfs after it), reading them (cached, and from the device), a stat walk, deleting
//   everything, and the memory given back after the delete (the fall of Shmem in
//   /proc/meminfo against its rise).
// Targets: every time ratio of what a program feels at most 1.5 (the rows above "Beyond
// the targets"); memory back within 2 s, at least 95 %.
// Needs root and loop devices; the mount places live in QUILMO_BENCH_DIR or /mnt.
// QUILMO_BENCH_IO_RAMDISK=<directory> measures that (already mounted) directory in place
// of an engine-made RAM disk, to compare other set-ups by hand.

#include "QMLog.h"
#include "QMRamDisk.h"
#include "QMTemporaryDir.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 1 << 20;
constexpr size_t kBigChunks = 1024; // 1 GiB
constexpr int kDirs = 20;
constexpr int kFilesPerDir = 1000;
constexpr size_t kSmallFile = 4096;
// Room for the big file and the small ones, with the file system's own share to spare.
// QUILMO_BENCH_IO_SIZE (bytes) changes it.
constexpr quint64 kDefaultVolumeSize = 1300000000ULL;
quint64 gVolumeSize = kDefaultVolumeSize;
constexpr int kRounds = 5;
// The most a round holds at once: the big file and the small ones, twice (cache and device).
constexpr size_t kWarmBytes = 3ULL << 30; // QUILMO_BENCH_IO_ROUNDS changes it

double seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool fail(const std::string &what)
{
    std::fprintf(stderr, "bench_io: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
}

// Shmem of /proc/meminfo in bytes: the memory of every tmpfs, /dev/shm (where a RAM disk's
// memory file lives) included.
qint64 shmemBytes()
{
    std::ifstream in("/proc/meminfo");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Shmem:", 0) == 0)
            return std::stoll(line.substr(6)) * 1024;
    }
    return -1;
}

std::string loadText()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string smallPath(const std::string &root, int dir, int file = -1)
{
    char name[64];
    if (file < 0)
        std::snprintf(name, sizeof name, "/d%02d", dir);
    else
        std::snprintf(name, sizeof name, "/d%02d/f%04d", dir, file);
    return root + name;
}

bool syncDirectory(const std::string &root)
{
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return fail("open " + root);
    const bool ok = syncfs(fd) == 0;
    close(fd);
    return ok || fail("syncfs " + root);
}

// Drops the cached pages of a file, so that the next read comes from the device. A tmpfs
// keeps its pages: they are its storage.
void dropCache(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
}

// Touches `bytes` of memory and lets it go again. Under a hypervisor that backs guest
// memory on first touch and takes free memory back (a balloon's page reporting), writing
// into memory nobody used for a while costs several times more than into memory just
// freed, and the RAM disk, which holds its data twice while it is cached (page cache and
// device), would meet that cost where the tmpfs does not. Both sides write into warm memory.
void warmMemory(size_t bytes)
{
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p != MAP_FAILED)
        munmap(p, bytes);
}

struct Round
{
    double seqWrite = 0, seqRead = 0, seqReadDevice = 0, smallWrite = 0, smallWriteback = 0, smallRead = 0,
           smallReadDevice = 0, statWalk = 0, remove = 0;
    double memoryBack = 0;        // of what the data held, 2 s after the delete
    double memoryBackSeconds = 0; // until 95 % was back (or the 5 s waited)
};

bool writeBig(const std::string &root, const std::vector<char> &chunk)
{
    const std::string path = root + "/big";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail("create " + path);
    for (size_t i = 0; i < kBigChunks; ++i) {
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
            close(fd);
            return fail("write " + path);
        }
    }
    const bool ok = syncfs(fd) == 0;
    close(fd);
    return ok || fail("syncfs " + path);
}

bool readBig(const std::string &root, std::vector<char> *buffer)
{
    const std::string path = root + "/big";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail("open " + path);
    size_t total = 0;
    for (ssize_t n; (n = read(fd, buffer->data(), buffer->size())) > 0;)
        total += static_cast<size_t>(n);
    close(fd);
    if (total != kChunk * kBigChunks) {
        errno = EIO;
        return fail("short read of " + path);
    }
    return true;
}

bool writeSmall(const std::string &root, const std::vector<char> &chunk)
{
    for (int d = 0; d < kDirs; ++d) {
        const std::string dir = smallPath(root, d);
        if (mkdir(dir.c_str(), 0755) != 0)
            return fail("mkdir " + dir);
        for (int f = 0; f < kFilesPerDir; ++f) {
            const std::string path = smallPath(root, d, f);
            const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0)
                return fail("create " + path);
            const bool ok = write(fd, chunk.data(), kSmallFile) == static_cast<ssize_t>(kSmallFile);
            close(fd);
            if (!ok)
                return fail("write " + path);
        }
    }
    return true;
}

bool readSmall(const std::string &root, std::vector<char> *buffer)
{
    for (int d = 0; d < kDirs; ++d) {
        for (int f = 0; f < kFilesPerDir; ++f) {
            const std::string path = smallPath(root, d, f);
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                return fail("open " + path);
            const ssize_t n = read(fd, buffer->data(), kSmallFile);
            close(fd);
            if (n != static_cast<ssize_t>(kSmallFile))
                return fail("read " + path);
        }
    }
    return true;
}

bool statWalk(const std::string &root)
{
    size_t seen = 0;
    for (int d = 0; d < kDirs; ++d) {
        const std::string path = smallPath(root, d);
        DIR *dir = opendir(path.c_str());
        if (!dir)
            return fail("opendir " + path);
        while (struct dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            struct stat st;
            if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
                ++seen;
        }
        closedir(dir);
    }
    if (seen != size_t(kDirs) * kFilesPerDir) {
        errno = ENOENT;
        return fail("the stat walk missed files");
    }
    return true;
}

bool removeAll(const std::string &root)
{
    for (int d = 0; d < kDirs; ++d) {
        for (int f = 0; f < kFilesPerDir; ++f) {
            if (unlink(smallPath(root, d, f).c_str()) != 0)
                return fail("unlink " + smallPath(root, d, f));
        }
        if (rmdir(smallPath(root, d).c_str()) != 0)
            return fail("rmdir " + smallPath(root, d));
    }
    if (unlink((root + "/big").c_str()) != 0)
        return fail("unlink big");
    return true;
}

// One round on one volume; false when any step failed.
bool measure(const std::string &root, Round *r)
{
    std::vector<char> chunk(kChunk);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>(i * 7 + 1);
    std::vector<char> buffer(kChunk);

    const qint64 before = shmemBytes();
    auto t = Clock::now();
    if (!writeBig(root, chunk))
        return false;
    r->seqWrite = seconds(t);
    t = Clock::now();
    if (!readBig(root, &buffer))
        return false;
    r->seqRead = seconds(t);
    dropCache(root + "/big");
    t = Clock::now();
    if (!readBig(root, &buffer))
        return false;
    r->seqReadDevice = seconds(t);

    t = Clock::now();
    if (!writeSmall(root, chunk))
        return false;
    r->smallWrite = seconds(t);
    t = Clock::now();
    if (!syncDirectory(root))
        return false;
    r->smallWriteback = seconds(t);
    t = Clock::now();
    if (!readSmall(root, &buffer))
        return false;
    r->smallRead = seconds(t);
    for (int d = 0; d < kDirs; ++d) {
        for (int f = 0; f < kFilesPerDir; ++f)
            dropCache(smallPath(root, d, f));
    }
    t = Clock::now();
    if (!readSmall(root, &buffer))
        return false;
    r->smallReadDevice = seconds(t);
    t = Clock::now();
    if (!statWalk(root))
        return false;
    r->statWalk = seconds(t);

    const qint64 full = shmemBytes();
    t = Clock::now();
    if (!removeAll(root))
        return false;
    r->remove = seconds(t);

    // Memory back: polled for 5 s; the share at 2 s is the figure, and when 95 % came back.
    const double held = double(full - before);
    const auto deleted = Clock::now();
    r->memoryBackSeconds = -1;
    for (;;) {
        const double elapsed = seconds(deleted);
        const double back = held > 0 ? double(full - shmemBytes()) / held : 0;
        if (elapsed <= 2.0)
            r->memoryBack = back;
        if (back >= 0.95 && r->memoryBackSeconds < 0)
            r->memoryBackSeconds = elapsed;
        if ((r->memoryBackSeconds >= 0 && elapsed > 2.0) || elapsed > 5.0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (r->memoryBackSeconds < 0)
        r->memoryBackSeconds = seconds(deleted);
    return true;
}

// The RAM disk under test: made by the engine, ejected at the end.
class EngineRamDisk
{
public:
    explicit EngineRamDisk(const QString &mountDirectory)
    {
        _ramDisk = QMRamDisk::create();
        _ramDisk->setName(QStringLiteral("BenchIO"));
        _ramDisk->setSize(gVolumeSize);
        _ramDisk->setMountDirectory(mountDirectory);
        QMError::Ptr error;
        if (!_ramDisk->createWithDelegate(nullptr, &error)) {
            std::fprintf(stderr, "bench_io: the RAM disk was not created: %s\n",
                         error ? qPrintable(error->description()) : "");
            _ramDisk.reset();
        }
    }
    ~EngineRamDisk()
    {
        if (!_ramDisk)
            return;
        _ramDisk->performAction(QMRamDiskAction_eject, nullptr, false);
        if (_ramDisk->lastError())
            std::fprintf(stderr, "bench_io: the RAM disk was not ejected: %s\n",
                         qPrintable(_ramDisk->lastError()->description()));
    }
    std::string path() const { return _ramDisk ? _ramDisk->path().toStdString() : std::string(); }

private:
    QMRamDisk::Ptr _ramDisk;
};

class Tmpfs
{
public:
    explicit Tmpfs(const std::string &path) : _path(path)
    {
        const std::string options = "size=" + std::to_string(gVolumeSize) + ",mode=0755";
        _mounted = mkdir(path.c_str(), 0755) == 0 && mount("tmpfs", path.c_str(), "tmpfs", MS_NOATIME | MS_NOSUID | MS_NODEV, options.c_str()) == 0;
        if (!_mounted)
            fail("tmpfs at " + path);
    }
    ~Tmpfs()
    {
        if (_mounted)
            umount2(_path.c_str(), MNT_DETACH);
        rmdir(_path.c_str());
    }
    bool ok() const { return _mounted; }

private:
    std::string _path;
    bool _mounted = false;
};

void printRow(const char *what, const std::vector<double> &ram, const std::vector<double> &tmp, bool target = true)
{
    const double a = median(ram), b = median(tmp);
    if (!target && b < 0.001) { // nothing on tmpfs to compare with
        std::printf("  %-34s RAM disk %8.1f ms   tmpfs %8.1f ms\n", what, a * 1000, b * 1000);
        return;
    }
    std::printf("  %-34s RAM disk %8.1f ms   tmpfs %8.1f ms   ratio %5.2f%s\n", what, a * 1000, b * 1000,
                b > 0 ? a / b : 0.0, target && b > 0 && a / b > 1.5 ? "  (above 1.5)" : "");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QMLog::setSink([](const QString &entry) { std::fprintf(stderr, "%s\n", qPrintable(entry)); });
    if (geteuid() != 0 || access("/dev/loop-control", R_OK | W_OK) != 0) {
        std::printf("bench_io: skipped (needs root and /dev/loop-control)\n");
        return 0;
    }
    const QString scratchRoot = qEnvironmentVariableIsEmpty("QUILMO_BENCH_DIR") ? QStringLiteral("/mnt")
                                                                                : qEnvironmentVariable("QUILMO_BENCH_DIR");
    QMTemporaryDir scratch(scratchRoot + QStringLiteral("/quilmo-bench-io-XXXXXX"));
    if (!scratch.isValid()) {
        std::printf("bench_io: skipped (cannot write in %s)\n", qPrintable(scratchRoot));
        return 0;
    }
    if (qEnvironmentVariable("QUILMO_BENCH_IO_SIZE").toULongLong() > 0)
        gVolumeSize = qEnvironmentVariable("QUILMO_BENCH_IO_SIZE").toULongLong();
    const std::string loadBefore = loadText();

    std::unique_ptr<EngineRamDisk> engineDisk;
    std::string ramPath = qEnvironmentVariable("QUILMO_BENCH_IO_RAMDISK").toStdString();
    if (ramPath.empty()) {
        engineDisk = std::make_unique<EngineRamDisk>(scratch.path());
        ramPath = engineDisk->path();
        if (ramPath.empty())
            return 1;
    }
    Tmpfs tmpfs(scratch.path().toStdString() + "/tmpfs");
    if (!tmpfs.ok())
        return 1;
    const std::string tmpPath = scratch.path().toStdString() + "/tmpfs";

    const int rounds = qEnvironmentVariableIntValue("QUILMO_BENCH_IO_ROUNDS") > 0
                           ? qEnvironmentVariableIntValue("QUILMO_BENCH_IO_ROUNDS")
                           : kRounds;
    std::vector<Round> ram, tmp;
    for (int i = 0; i < rounds; ++i) { // interleaved, so that both see the same machine
        Round a, b;
        warmMemory(kWarmBytes);
        if (!measure(ramPath, &a))
            return 1;
        warmMemory(kWarmBytes);
        if (!measure(tmpPath, &b))
            return 1;
        ram.push_back(a);
        tmp.push_back(b);
    }
    auto column = [](const std::vector<Round> &rounds, double Round::*field) {
        std::vector<double> v;
        for (const Round &r : rounds)
            v.push_back(r.*field);
        return v;
    };
    std::printf("RAM disk against tmpfs, %.0f MB each, median of %d rounds (load before %s, after %s):\n",
                double(gVolumeSize) / 1e6, rounds, loadBefore.c_str(), loadText().c_str());
    // The targets: what a program on either feels.
    printRow("sequential write 1 GiB + syncfs", column(ram, &Round::seqWrite), column(tmp, &Round::seqWrite));
    printRow("sequential read 1 GiB", column(ram, &Round::seqRead), column(tmp, &Round::seqRead));
    printRow("20,000 x 4 KiB files written", column(ram, &Round::smallWrite), column(tmp, &Round::smallWrite));
    printRow("20,000 files read", column(ram, &Round::smallRead), column(tmp, &Round::smallRead));
    printRow("stat walk", column(ram, &Round::statWalk), column(tmp, &Round::statWalk));
    printRow("delete everything", column(ram, &Round::remove), column(tmp, &Round::remove));
    // What only a RAM disk has to do: write its page cache back to its device, and read
    // from the device what memory pressure dropped from the cache. A tmpfs has no device:
    // its figures here are the plain ones again.
    std::printf("Beyond the targets (the device under the file system):\n");
    printRow("syncfs after the 20,000 files", column(ram, &Round::smallWriteback), column(tmp, &Round::smallWriteback),
             false);
    printRow("1 GiB read, cache dropped", column(ram, &Round::seqReadDevice), column(tmp, &Round::seqReadDevice),
             false);
    printRow("20,000 files read, cache dropped", column(ram, &Round::smallReadDevice),
             column(tmp, &Round::smallReadDevice), false);
    std::printf("  memory given back 2 s after the delete: RAM disk %.0f %% (95 %% after %.2f s), tmpfs %.0f %% "
                "(targets: at least 95 %% within 2 s)\n",
                median(column(ram, &Round::memoryBack)) * 100, median(column(ram, &Round::memoryBackSeconds)),
                median(column(tmp, &Round::memoryBack)) * 100);
    return 0;
}
