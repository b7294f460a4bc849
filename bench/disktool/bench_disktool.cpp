// Times attach, format, mount, unmount and detach of a 1 GB RAM disk through
// quilmo-disktool against the same work done directly, and prints the ratio: for a memory
// instance mount -t tmpfs, mount --bind and umount; for a loop device (kernels before 6.6)
// losetup, mkfs.ext4, mount and umount. Needs root and loop devices; skips otherwise.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSteps = 5;
const char *kStepNames[kSteps] = {"attach", "format", "mount", "unmount", "detach"};

// Runs a program and returns its exit status; its standard output goes to *out.
int run(const std::vector<std::string> &argv, std::string *out = nullptr)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string collected;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        collected.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    if (spawned != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (out)
        *out = collected;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string libexecDir()
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return {};
    self[n] = '\0';
    std::string dir(self);
    dir.resize(dir.rfind('/'));
    return dir + "/../libexec/quilmo";
}

struct Timings {
    double step[kSteps] = {};
    double total() const
    {
        double t = 0;
        for (double s : step)
            t += s;
        return t;
    }
};

double since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

constexpr unsigned long long kSectors = 2097152; // 1 GB

bool throughTool(const std::string &tools, const std::string &dir, Timings *t, bool *instance)
{
    std::string out;
    auto start = Clock::now();
    if (run({tools + "/hdiutil", "attach", "-nomount", "-plist", "ram://" + std::to_string(kSectors)}, &out) != 0)
        return false;
    t->step[0] = since(start);
    // The one <string> of the property list: the device's name.
    const size_t at = out.find("<string>");
    if (at == std::string::npos)
        return false;
    const std::string device = out.substr(at + 8, out.find('<', at + 8) - at - 8);
    *instance = device.rfind("/dev/loop", 0) != 0;
    start = Clock::now();
    const bool ok = run({tools + "/newfs_hfs", "-v", "Bench", device}, &out) == 0;
    t->step[1] = since(start);
    start = Clock::now();
    const bool mounted = ok && run({tools + "/mount", "-o", "noatime", "-o", "nobrowse", "-t", "hfs", device, dir}) == 0;
    t->step[2] = since(start);
    start = Clock::now();
    const bool unmounted = mounted && run({tools + "/umount", "-f", dir}) == 0;
    t->step[3] = since(start);
    start = Clock::now();
    const bool detached = run({tools + "/hdiutil", "detach", device}) == 0;
    t->step[4] = since(start);
    return ok && mounted && unmounted && detached;
}

// A tmpfs of its own in a private place, shown by a bind mount: what the tool does for a
// memory instance (a format makes a new one).
bool directInstance(const std::string &dir, Timings *t)
{
    const std::string place = dir + ".instance";
    const std::string options = "size=" + std::to_string(kSectors * 512) + ",mode=0700";
    auto start = Clock::now();
    if (mkdir(place.c_str(), 0700) != 0
        || run({"/usr/bin/mount", "-t", "tmpfs", "-o", options, "bench-direct", place}) != 0) {
        rmdir(place.c_str());
        return false;
    }
    t->step[0] = since(start);
    start = Clock::now();
    const bool ok = run({"/usr/bin/umount", place}) == 0
        && run({"/usr/bin/mount", "-t", "tmpfs", "-o", options, "bench-direct", place}) == 0;
    t->step[1] = since(start);
    start = Clock::now();
    const bool mounted = ok && run({"/usr/bin/mount", "--bind", "-o", "noatime,nosuid,nodev", place, dir}) == 0;
    t->step[2] = since(start);
    start = Clock::now();
    const bool unmounted = mounted && run({"/usr/bin/umount", dir}) == 0;
    t->step[3] = since(start);
    start = Clock::now();
    const bool detached = run({"/usr/bin/umount", place}) == 0;
    rmdir(place.c_str());
    t->step[4] = since(start);
    return ok && mounted && unmounted && detached;
}

bool direct(const std::string &dir, Timings *t)
{
    const std::string file = "/dev/shm/bench-direct-" + std::to_string(getpid());
    std::string out;
    auto start = Clock::now();
    if (run({"/usr/bin/truncate", "-s", std::to_string(kSectors * 512), file}) != 0
        || run({"/usr/sbin/losetup", "-f", "--show", file}, &out) != 0) {
        unlink(file.c_str());
        return false;
    }
    t->step[0] = since(start);
    const std::string device = out.substr(0, out.find('\n'));
    start = Clock::now();
    const bool ok = run({"/usr/sbin/mkfs.ext4", "-q", "-F", "-O", "^has_journal", "-m", "0", "-L", "Bench", device}) == 0;
    t->step[1] = since(start);
    start = Clock::now();
    const bool mounted = ok && run({"/usr/bin/mount", "-o", "noatime,nosuid,nodev,discard", device, dir}) == 0;
    t->step[2] = since(start);
    start = Clock::now();
    const bool unmounted = mounted && run({"/usr/bin/umount", dir}) == 0;
    t->step[3] = since(start);
    start = Clock::now();
    const bool detached = run({"/usr/sbin/losetup", "-d", device}) == 0;
    unlink(file.c_str());
    t->step[4] = since(start);
    return ok && mounted && unmounted && detached;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (geteuid() != 0 || access("/dev/loop-control", R_OK | W_OK) != 0) {
        std::printf("bench_disktool: skipped (needs root and /dev/loop-control)\n");
        return 0;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    const std::string tools = libexecDir();
    // Not in /tmp: the tool refuses to mount inside system directories.
    char dirTemplate[] = "/home/quilmo-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;

    std::vector<Timings> toolRuns, directRuns;
    bool ok = true;
    // Interleaved, so that both sequences see the same machine.
    for (int i = 0; i < rounds && ok; ++i) {
        Timings a, b;
        bool instance = false;
        ok = throughTool(tools, dir, &a, &instance) && (instance ? directInstance(dir, &b) : direct(dir, &b));
        toolRuns.push_back(a);
        directRuns.push_back(b);
    }
    rmdir(dir.c_str());
    if (!ok) {
        std::fprintf(stderr, "bench_disktool: a sequence failed\n");
        return 1;
    }
    std::printf("1 GB RAM disk, median of %d rounds (ms)\n", rounds);
    std::printf("%-10s %12s %12s\n", "step", "disktool", "direct");
    for (int s = 0; s < kSteps; ++s) {
        std::vector<double> a, b;
        for (int i = 0; i < rounds; ++i) {
            a.push_back(toolRuns[i].step[s]);
            b.push_back(directRuns[i].step[s]);
        }
        std::printf("%-10s %12.2f %12.2f\n", kStepNames[s], median(a), median(b));
    }
    std::vector<double> toolTotals, directTotals;
    for (int i = 0; i < rounds; ++i) {
        toolTotals.push_back(toolRuns[i].total());
        directTotals.push_back(directRuns[i].total());
    }
    const double ratio = median(toolTotals) / median(directTotals);
    std::printf("%-10s %12.2f %12.2f\n", "total", median(toolTotals), median(directTotals));
    // The best round of each shows the cost of the work itself when other processes share
    // the machine; the medians include their noise.
    const double best = *std::min_element(toolTotals.begin(), toolTotals.end())
        / *std::min_element(directTotals.begin(), directTotals.end());
    std::printf("%-10s %12.2f %12.2f\n", "best", *std::min_element(toolTotals.begin(), toolTotals.end()),
                *std::min_element(directTotals.begin(), directTotals.end()));
    std::printf("ratio disktool/direct: %.2f median, %.2f best (target: at most 1.5)\n", ratio, best);
    return 0;
}
