#include "DTSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dt {

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

// Length of the UTF-8 sequence starting at text[i], 0 when it is not valid UTF-8.
static size_t utf8SequenceLength(const std::string &text, size_t i)
{
    const auto c = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0 && c >= 0xC2)
        length = 2;
    else if ((c & 0xF0) == 0xE0)
        length = 3;
    else if ((c & 0xF8) == 0xF0 && c <= 0xF4)
        length = 4;
    else
        return 0;
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

bool isAcceptableName(const std::string &name, std::string *why)
{
    if (name.empty()) {
        *why = "the name is empty";
        return false;
    }
    if (looksLikeOption(name)) {
        *why = "the name \"" + name + "\" would be read as an option";
        return false;
    }
    if (name == "." || name == "..") {
        *why = "the name \"" + name + "\" is not a usable volume name";
        return false;
    }
    for (size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7f) {
            *why = "the name contains a control character";
            return false;
        }
        if (c == '/') {
            *why = "the name contains \"/\"";
            return false;
        }
        const size_t length = utf8SequenceLength(name, i);
        if (length == 0) {
            *why = "the name is not valid UTF-8";
            return false;
        }
        // C1 control characters (U+0080..U+009F) are control characters too.
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0) {
            *why = "the name contains a control character";
            return false;
        }
        i += length;
    }
    return true;
}

std::string utf8Prefix(const std::string &text, size_t maxBytes)
{
    size_t end = 0;
    while (end < text.size()) {
        size_t length = utf8SequenceLength(text, end);
        if (length == 0)
            length = 1;
        if (end + length > maxBytes)
            break;
        end += length;
    }
    return text.substr(0, end);
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

std::vector<MountEntry> readMountTable()
{
    std::vector<MountEntry> table;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        MountEntry e;
        std::string parent, majMin, root, mountPoint, options;
        if (!(fields >> e.mountId >> parent >> majMin >> root >> mountPoint >> options))
            continue;
        std::string word;
        while (fields >> word && word != "-") {
        }
        std::string fsType, source;
        fields >> fsType >> source;
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

static bool readSysfs(const std::string &path, std::string *value)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::getline(in, *value);
    return true;
}

bool readLoopDevice(int index, LoopDevice *out)
{
    const std::string base = "/sys/block/loop" + std::to_string(index);
    std::string backing, devText, sizeText;
    if (!readSysfs(base + "/loop/backing_file", &backing) || backing.empty())
        return false;
    if (!readSysfs(base + "/dev", &devText) || !readSysfs(base + "/size", &sizeText))
        return false;
    static const std::string deleted = " (deleted)";
    if (backing.size() > deleted.size() && backing.compare(backing.size() - deleted.size(), deleted.size(), deleted) == 0)
        backing.resize(backing.size() - deleted.size());
    unsigned major = 0, minor = 0;
    if (std::sscanf(devText.c_str(), "%u:%u", &major, &minor) != 2)
        return false;
    uint64_t sectors = 0;
    if (!parseUnsigned(sizeText, &sectors))
        return false;
    out->node = "/dev/loop" + std::to_string(index);
    out->index = index;
    out->device = makedev(major, minor);
    out->backing = backing;
    out->sectors = sectors;
    return true;
}

bool isQuilmoBacking(const std::string &backing)
{
    return startsWith(backing, kBackingPrefix) && backing.find('/', std::strlen(kBackingPrefix)) == std::string::npos;
}

std::optional<uid_t> ownerFromBacking(const std::string &backing)
{
    if (!isQuilmoBacking(backing))
        return std::nullopt;
    const std::string rest = backing.substr(std::strlen(kBackingPrefix));
    const size_t dash = rest.find('-');
    uint64_t uid = 0;
    if (dash == std::string::npos || !parseUnsigned(rest.substr(0, dash), &uid))
        return std::nullopt;
    return static_cast<uid_t>(uid);
}

std::vector<LoopDevice> quilmoLoopDevices()
{
    std::vector<LoopDevice> devices;
    DIR *dir = opendir("/sys/block");
    if (!dir)
        return devices;
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

// The state directory must be ours alone: created 0700 by root, never a link.
static bool ensureStateDir(std::string *error)
{
    if (mkdir(kStateDir, 0700) != 0 && errno != EEXIST) {
        *error = std::string("cannot create ") + kStateDir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (lstat(kStateDir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0) {
        *error = std::string(kStateDir) + " is not a directory owned by root";
        return false;
    }
    if ((st.st_mode & 077) != 0 && chmod(kStateDir, 0700) != 0) {
        *error = std::string("cannot protect ") + kStateDir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

StateLock::StateLock()
{
    if (!ensureStateDir(&_error))
        return;
    const int fd = open(kStateLock, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        _error = std::string("cannot open ") + kStateLock + ": " + std::strerror(errno);
        return;
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            _error = std::string("cannot lock ") + kStateLock + ": " + std::strerror(errno);
            close(fd);
            return;
        }
    }
    _fd = fd;
}

StateLock::~StateLock()
{
    if (_fd >= 0)
        close(_fd); // releases the lock
}

std::vector<StateEntry> readState()
{
    std::vector<StateEntry> entries;
    const int fd = open(kStateFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return entries;
    std::string content;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        content.append(buffer, static_cast<size_t>(n));
    close(fd);

    std::istringstream in(content);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        StateEntry e;
        std::string uidText;
        if (!(fields >> e.node >> e.backing >> uidText))
            continue;
        uint64_t uid = 0;
        if (!parseUnsigned(uidText, &uid))
            continue;
        e.owner = static_cast<uid_t>(uid);
        const int index = loopIndexFromNode(e.node);
        LoopDevice device;
        // Stale when the device was detached behind our back or reused for something else.
        if (index < 0 || !readLoopDevice(index, &device) || device.backing != e.backing)
            continue;
        entries.push_back(e);
    }
    return entries;
}

bool writeState(const std::vector<StateEntry> &entries, std::string *error)
{
    std::string content;
    for (const auto &e : entries)
        content += e.node + " " + e.backing + " " + std::to_string(e.owner) + "\n";
    const std::string temporary = std::string(kStateFile) + ".new";
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size())
        && fsync(fd) == 0;
    const int savedErrno = errno;
    close(fd);
    if (!written || rename(temporary.c_str(), kStateFile) != 0) {
        *error = "cannot write " + std::string(kStateFile) + ": " + std::strerror(written ? errno : savedErrno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool authorizeDevice(const std::string &node, uid_t caller, LoopDevice *device, std::string *error)
{
    if (looksLikeOption(node)) {
        *error = "\"" + node + "\" would be read as an option, not a device";
        return false;
    }
    const int index = loopIndexFromNode(node);
    if (index < 0) {
        *error = node + " is not a RAM disk device";
        return false;
    }
    if (!readLoopDevice(index, device) || !isQuilmoBacking(device->backing)) {
        *error = node + " is not a RAM disk of Quilmo";
        return false;
    }
    for (const auto &e : readState()) {
        if (e.node != node || e.backing != device->backing)
            continue;
        if (caller != 0 && e.owner != caller) {
            *error = node + " belongs to another user";
            return false;
        }
        return true;
    }
    *error = node + " is not a RAM disk of Quilmo";
    return false;
}

} // namespace dt
