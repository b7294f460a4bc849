#include "DTSystem.h"

#include "QMVolumeRules.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include <dirent.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dt {

[[noreturn]] static void unreadable(const char *what)
{
    std::fprintf(stderr, "quilmo-disktool: cannot read %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void Fd::reset()
{
    if (_fd >= 0)
        close(_fd);
    _fd = -1;
}

std::string errnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

uid_t callerUid()
{
    // pkexec sets PKEXEC_UID for the program it runs as root; only then is it trusted
    // (a normal user could set the variable, but then we are not root).
    if (getuid() == 0 && geteuid() == 0) {
        const char *pk = std::getenv("PKEXEC_UID");
        uint64_t value = 0;
        if (pk && parseUnsigned(pk, &value) && value < static_cast<uint64_t>(static_cast<uid_t>(-1)))
            return static_cast<uid_t>(value);
    }
    return getuid();
}

uint64_t physicalMemory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : 0;
}

bool userNameOf(uid_t uid, std::string *name, gid_t *gid)
{
    struct passwd pw;
    struct passwd *result = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &result) != 0 || !result)
        return false;
    if (name)
        *name = pw.pw_name;
    if (gid)
        *gid = pw.pw_gid;
    return true;
}

bool parseUnsigned(const std::string &text, uint64_t *value)
{
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string lastLine(const std::string &text)
{
    std::string last;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            last = line;
    }
    return last;
}

std::string sizeText(uint64_t bytes)
{
    static const char *units[] = {"bytes", "KB", "MB", "GB", "TB", "PB"};
    int unit = 0;
    double value = static_cast<double>(bytes);
    while (value >= 1024.0 && unit < 5) {
        value /= 1024.0;
        ++unit;
    }
    char buffer[64];
    if (value == static_cast<double>(static_cast<uint64_t>(value)))
        std::snprintf(buffer, sizeof buffer, "%llu %s", static_cast<unsigned long long>(value), units[unit]);
    else
        std::snprintf(buffer, sizeof buffer, "%.1f %s", value, units[unit]);
    return buffer;
}

bool isAcceptableName(const std::string &name, std::string *why)
{
    if (const char *problem = QMVolumeRules::nameProblem(name)) {
        *why = problem;
        return false;
    }
    return true;
}

int runTool(const std::string &path, const std::vector<std::string> &args, std::string *output)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path.c_str()));
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    char *envp[] = {const_cast<char *>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                    const_cast<char *>("LC_ALL=C"), nullptr};

    const pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return -1;
    }
    if (pid == 0) {
        const int devNull = open("/dev/null", O_RDONLY);
        if (devNull < 0 || dup2(devNull, 0) < 0 || dup2(pipeFds[1], 1) < 0 || dup2(pipeFds[1], 2) < 0)
            _exit(127);
        close_range(3, ~0U, 0);
        execve(path.c_str(), argv.data(), envp);
        _exit(127);
    }
    close(pipeFds[1]);
    std::string collected;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0)
            collected.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (output)
        *output = collected;
    if (!WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string findTool(const std::vector<std::string> &candidates)
{
    for (const auto &c : candidates) {
        struct stat st;
        if (stat(c.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(c.c_str(), X_OK) == 0)
            return c;
    }
    return {};
}

std::string decodeMountField(const std::string &field)
{
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

static std::vector<MountEntry> parseMountTable(std::istream &in)
{
    std::vector<MountEntry> table;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        MountEntry e;
        std::string parent, majMin, root, mountPoint, options;
        if (!(fields >> e.mountId >> parent >> majMin >> root >> mountPoint >> options))
            continue;
        std::string word;
        while (fields >> word && word != "-")
            e.tags += (e.tags.empty() ? "" : " ") + word;
        std::string fsType, source;
        fields >> fsType >> source >> e.superOptions;
        unsigned major = 0, minor = 0;
        if (std::sscanf(majMin.c_str(), "%u:%u", &major, &minor) != 2)
            continue;
        e.device = makedev(major, minor);
        e.mountPoint = decodeMountField(mountPoint);
        e.fsType = fsType;
        e.source = decodeMountField(source);
        e.options = options;
        table.push_back(std::move(e));
    }
    return table;
}

std::vector<MountEntry> readMountTable()
{
    std::ifstream in("/proc/self/mountinfo");
    // Without the mount table nothing can be decided safely (out of descriptors, say).
    if (!in)
        unreadable("the mount table");
    return parseMountTable(in);
}

std::vector<MountEntry> readMountTable(const std::string &mountinfoPath)
{
    std::ifstream in(mountinfoPath);
    return in ? parseMountTable(in) : std::vector<MountEntry>();
}

uint64_t mountNamespace()
{
    struct stat st;
    return stat("/proc/self/ns/mnt", &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

// The peer group a mount shares ("shared:N" -> "N"); empty for a private mount.
static std::string tagValue(const std::string &tags, const std::string &kind)
{
    std::istringstream in(tags);
    for (std::string tag; in >> tag;) {
        if (startsWith(tag, kind + ":"))
            return tag.substr(kind.size() + 1);
    }
    return {};
}

// Calls `visit` with the mount table of each mount namespace of a running process, once
// per namespace, until it returns true; `except` is left out. The pid of the process read.
static std::string findInMountNamespaces(uint64_t except,
                                         const std::function<bool(const std::vector<MountEntry> &, std::string *)> &visit)
{
    std::set<uint64_t> seen{except};
    DIR *proc = opendir("/proc");
    if (!proc)
        return {};
    std::string where;
    while (struct dirent *entry = readdir(proc)) {
        uint64_t pid = 0;
        if (!parseUnsigned(entry->d_name, &pid))
            continue;
        const std::string base = std::string("/proc/") + entry->d_name;
        struct stat st;
        if (stat((base + "/ns/mnt").c_str(), &st) != 0 || !seen.insert(static_cast<uint64_t>(st.st_ino)).second)
            continue;
        std::string point;
        if (visit(readMountTable(base + "/mountinfo"), &point)) {
            where = "process " + std::string(entry->d_name) + " (at " + point + ")";
            break;
        }
    }
    closedir(proc);
    return where;
}

std::string mountedInOtherNamespaces(dev_t device, const MountEntry &ours)
{
    const std::string group = tagValue(ours.tags, "shared");
    return findInMountNamespaces(mountNamespace(), [&](const std::vector<MountEntry> &table, std::string *point) {
        for (const auto &e : table) {
            // A peer or a slave of our mount is unmounted with it.
            const bool followsOurs = !group.empty()
                && (tagValue(e.tags, "shared") == group || tagValue(e.tags, "master") == group);
            if (e.device == device && !followsOurs) {
                *point = e.mountPoint;
                return true;
            }
        }
        return false;
    });
}

bool mountedInAnyNamespace(dev_t device, const std::string &source)
{
    return !findInMountNamespaces(0, [&](const std::vector<MountEntry> &table, std::string *point) {
                for (const auto &e : table) {
                    if (e.device == device && e.source == source) {
                        *point = e.mountPoint;
                        return true;
                    }
                }
                return false;
            }).empty();
}

std::vector<std::string> mountPointsOf(dev_t device, const std::vector<MountEntry> &table)
{
    std::vector<std::string> points;
    for (const auto &e : table) {
        if (e.device == device)
            points.push_back(e.mountPoint);
    }
    return points;
}

int loopIndexFromNode(const std::string &node)
{
    static const std::string prefix = "/dev/loop";
    if (!startsWith(node, prefix))
        return -1;
    uint64_t index = 0;
    const std::string digits = node.substr(prefix.size());
    if (!parseUnsigned(digits, &index) || index > 1048575 || (digits.size() > 1 && digits[0] == '0'))
        return -1;
    return static_cast<int>(index);
}

// Reads the first line of a sysfs attribute; 0, or the errno of the failure.
static int readSysfs(const std::string &path, std::string *value)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) {
    }
    const int error = n < 0 ? errno : 0;
    close(fd);
    if (error)
        return error;
    value->assign(buffer, static_cast<size_t>(n));
    const size_t newline = value->find('\n');
    if (newline != std::string::npos)
        value->resize(newline);
    return 0;
}

LoopState loopState(int index, LoopDevice *out)
{
    if (index < 0)
        return LoopState::Free;
    const std::string base = "/sys/block/loop" + std::to_string(index);
    std::string backing, devText, sizeText;
    // Without a backing file the attribute is not there at all.
    if (const int error = readSysfs(base + "/loop/backing_file", &backing))
        return error == ENOENT || error == ENXIO ? LoopState::Free : LoopState::Unknown;
    if (backing.empty())
        return LoopState::Free;
    if (readSysfs(base + "/dev", &devText) != 0 || readSysfs(base + "/size", &sizeText) != 0)
        return LoopState::Unknown;
    static const std::string deleted = " (deleted)";
    if (backing.size() > deleted.size() && backing.compare(backing.size() - deleted.size(), deleted.size(), deleted) == 0)
        backing.resize(backing.size() - deleted.size());
    unsigned major = 0, minor = 0;
    uint64_t sectors = 0;
    if (std::sscanf(devText.c_str(), "%u:%u", &major, &minor) != 2 || !parseUnsigned(sizeText, &sectors))
        return LoopState::Unknown;
    out->node = "/dev/loop" + std::to_string(index);
    out->index = index;
    out->device = makedev(major, minor);
    out->backing = backing;
    out->sectors = sectors;
    std::string seqText;
    uint64_t seq = 0;
    out->diskseq = readSysfs(base + "/diskseq", &seqText) == 0 && parseUnsigned(seqText, &seq) ? seq : 0;
    out->inode = 0;
    std::string autoclear;
    out->autoclear = readSysfs(base + "/loop/autoclear", &autoclear) == 0 && autoclear == "1";
    // Asked only of our own devices: nothing else is ever opened.
    if (geteuid() == 0 && isQuilmoBacking(backing)) {
        const int fd = open(out->node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct loop_info64 info;
        if (fd >= 0 && ioctl(fd, LOOP_GET_STATUS64, &info) == 0)
            out->inode = info.lo_inode;
        if (fd >= 0)
            close(fd);
    }
    return LoopState::Attached;
}

bool readLoopDevice(int index, LoopDevice *out)
{
    return loopState(index, out) == LoopState::Attached;
}

bool sameAttachment(const LoopDevice &checked)
{
    LoopDevice now;
    return readLoopDevice(checked.index, &now) && now.backing == checked.backing && now.diskseq == checked.diskseq
        && now.inode == checked.inode;
}

bool isQuilmoBacking(const std::string &backing)
{
    return startsWith(backing, kBackingPrefix) && backing.find('/', std::strlen(kBackingPrefix)) == std::string::npos;
}

std::vector<LoopDevice> quilmoLoopDevices()
{
    std::vector<LoopDevice> devices;
    DIR *dir = opendir("/sys/block");
    if (!dir)
        unreadable("the list of block devices");
    while (struct dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        const int index = loopIndexFromNode("/dev/" + name);
        LoopDevice device;
        if (index >= 0 && readLoopDevice(index, &device) && isQuilmoBacking(device.backing))
            devices.push_back(device);
    }
    closedir(dir);
    std::sort(devices.begin(), devices.end(), [](const LoopDevice &a, const LoopDevice &b) { return a.index < b.index; });
    return devices;
}

} // namespace dt
