// Times the statistics scan against `du -sb` over the same tree of 100,000 files and
// prints the ratio (scan time / du time; at most 1.0 is the target). Both the best wall
// time and the processor time (user + system, du's as a child) are given: on a shared
// machine the wall time swings with the load, the processor time does not.
#include "QMDirectoryStatistics.h"
#include "QMFunctions.h"
#include "QMTemporaryDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// 100 folders of 1,000 files, sizes 0 to 4,095 bytes, written with plain system calls.
bool makeTree(const QString &root, int folders, int filesPerFolder)
{
    static char buffer[4096];
    for (int d = 0; d < folders; ++d) {
        const QString dir = root + QStringLiteral("/dir%1").arg(d, 3, 10, QLatin1Char('0'));
        if (!QDir().mkpath(dir))
            return false;
        const QByteArray prefix = QFile::encodeName(dir) + "/file";
        for (int f = 0; f < filesPerFolder; ++f) {
            const QByteArray path = prefix + QByteArray::number(f);
            const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0)
                return false;
            const size_t size = static_cast<size_t>((d * 7919 + f * 104729) % 4096);
            const bool ok = ::write(fd, buffer, size) == static_cast<ssize_t>(size);
            ::close(fd);
            if (!ok)
                return false;
        }
    }
    return true;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds(int who)
{
    rusage r {};
    getrusage(who, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec)
        + static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    constexpr int kFolders = 100, kFilesPerFolder = 1000, kRounds = 10;

    QMTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/quilmo-bench-XXXXXX"));
    if (!tmp.isValid() || !makeTree(tmp.path(), kFolders, kFilesPerFolder)) {
        std::fprintf(stderr, "cannot build the tree in %s\n", qPrintable(QDir::tempPath()));
        return 1;
    }

    // Warm the caches once for both, then keep the best of several rounds of each.
    QMDirectoryStatistics stats;
    QString out;
    qint64 status = 0;
    QMGetDirectoryStatistics(&stats, 0, tmp.path());
    if (!QMFunctions::executeCommand(QStringLiteral("/usr/bin/du"), {QStringLiteral("-sb"), tmp.path()}, &status, &out,
                                     nullptr) || status != 0) {
        std::fprintf(stderr, "cannot run du\n");
        return 1;
    }

    double best = 1e9, bestDu = 1e9, cpu = 0, cpuDu = 0;
    for (int round = 0; round < kRounds; ++round) {
        stats = QMDirectoryStatistics();
        double cpuStart = cpuSeconds(RUSAGE_THREAD);
        auto start = Clock::now();
        const bool ok = QMGetDirectoryStatistics(&stats, 0, tmp.path());
        best = std::min(best, seconds(Clock::now() - start));
        cpu += cpuSeconds(RUSAGE_THREAD) - cpuStart;
        if (!ok || stats.fileCount != static_cast<quint64>(kFolders) * kFilesPerFolder) {
            std::fprintf(stderr, "scan failed or miscounted: %llu files\n", static_cast<unsigned long long>(stats.fileCount));
            return 1;
        }
        cpuStart = cpuSeconds(RUSAGE_CHILDREN);
        start = Clock::now();
        QMFunctions::executeCommand(QStringLiteral("/usr/bin/du"), {QStringLiteral("-sb"), tmp.path()}, &status, &out,
                                    nullptr);
        bestDu = std::min(bestDu, seconds(Clock::now() - start));
        cpuDu += cpuSeconds(RUSAGE_CHILDREN) - cpuStart;
    }

    std::printf("files: %llu, bytes: %llu (du: %s)\n", static_cast<unsigned long long>(stats.fileCount),
                static_cast<unsigned long long>(stats.totalSize), qPrintable(out.section(QLatin1Char('\t'), 0, 0)));
    std::printf("wall, best of %d: QMGetDirectoryStatistics %.1f ms, du -sb %.1f ms, ratio %.2f\n", kRounds,
                best * 1000, bestDu * 1000, best / bestDu);
    std::printf("processor, mean: QMGetDirectoryStatistics %.1f ms, du -sb %.1f ms, ratio %.2f\n",
                cpu * 1000 / kRounds, cpuDu * 1000 / kRounds, cpu / cpuDu);
    std::printf("ratio: %.2f (processor time; target: at most 1.0)\n", cpu / cpuDu);
    return 0;
}
