#include "DTState.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <ctime>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>
#include <unistd.h>

namespace dt {

namespace {

constexpr size_t kMaxStateBytes = 1 << 20;

std::string statePath(const char *name = nullptr)
{
    std::string path = std::string(kRunDir) + "/" + kStateDirName;
    if (name)
        path += std::string("/") + name;
    return path;
}

std::string setAsideName(const char *name)
{
    return std::string(name) + ".set-aside-" + std::to_string(static_cast<long long>(std::time(nullptr))) + "-"
        + std::to_string(getpid());
}

// Renames an untrusted entry of a directory out of the way (never deletes it: it is
// evidence). False when it could not be moved.
bool renameAside(int dirFd, const char *name, const std::string &where, const std::string &why)
{
    const std::string aside = setAsideName(name);
    if (renameat(dirFd, name, dirFd, aside.c_str()) != 0) {
        if (errno == ENOENT)
            return true;
        logWarning(where + " " + why + ", and cannot be set aside: " + std::strerror(errno));
        return false;
    }
    logWarning(where + " " + why + "; set aside as " + aside);
    return true;
}

bool readAll(int fd, std::string *content, size_t limit)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        content->append(buffer, static_cast<size_t>(n));
        if (content->size() > limit)
            return false;
    }
}

bool parseLine(const std::string &line, StateEntry *e)
{
    std::istringstream fields(line);
    std::string uidText, inodeText, seqText;
    if (!(fields >> e->node >> e->backing >> uidText))
        return false;
    uint64_t uid = 0;
    if (!parseUnsigned(uidText, &uid) || uid >= static_cast<uint64_t>(static_cast<uid_t>(-1)))
        return false;
    e->owner = static_cast<uid_t>(uid);
    if (fields >> inodeText && !parseUnsigned(inodeText, &e->inode))
        return false;
    if (fields >> seqText && !parseUnsigned(seqText, &e->diskseq))
        return false;
    return true;
}

// The lines `parseLine` understands; the others (damaged, or of a later format) are left out.
template <typename Entry>
std::vector<Entry> parseRecords(const std::string &content, bool (*parseLine)(const std::string &, Entry *))
{
    std::vector<Entry> entries;
    std::istringstream in(content);
    for (std::string line; std::getline(in, line);) {
        Entry e;
        if (parseLine(line, &e))
            entries.push_back(e);
    }
    return entries;
}

std::string format(const std::vector<StateEntry> &entries)
{
    std::string content;
    for (const auto &e : entries) {
        content += e.node + " " + e.backing + " " + std::to_string(e.owner) + " " + std::to_string(e.inode) + " "
            + std::to_string(e.diskseq) + "\n";
    }
    return content;
}

bool parseInstanceLine(const std::string &line, InstanceEntry *e)
{
    std::istringstream fields(line);
    std::string uidText, sectorsText, devText, idText, nsText, flags;
    if (!(fields >> e->name >> uidText >> sectorsText >> devText >> idText >> nsText >> flags))
        return false;
    uint64_t uid = 0, id = 0;
    unsigned major = 0, minor = 0;
    if (!parseUnsigned(uidText, &uid) || uid >= static_cast<uint64_t>(static_cast<uid_t>(-1))
        || !parseUnsigned(sectorsText, &e->sectors) || std::sscanf(devText.c_str(), "%u:%u", &major, &minor) != 2
        || !parseUnsigned(idText, &id) || id > static_cast<uint64_t>(INT_MAX) || !parseUnsigned(nsText, &e->mountNamespace))
        return false;
    e->owner = static_cast<uid_t>(uid);
    e->device = makedev(major, minor);
    e->mountId = static_cast<int>(id);
    e->wired = flags.find("wired") != std::string::npos;
    e->casefold = flags.find("casefold") != std::string::npos;
    e->released = flags.find("released") != std::string::npos;
    // The volume name is the rest of the line after one space.
    const auto rest = fields.tellg();
    if (rest != std::istringstream::pos_type(-1) && static_cast<size_t>(rest) + 1 < line.size())
        e->volumeName = line.substr(static_cast<size_t>(rest) + 1);
    return true;
}

// The public copy leaves the volume names out: they are the owner's business (mount
// points are in the mount table for everyone anyway).
std::string formatInstances(const std::vector<InstanceEntry> &entries, bool withVolumeNames = true)
{
    std::string content;
    for (const auto &e : entries) {
        std::string flags = e.wired ? "wired" : "";
        for (const auto &[set, flag] : {std::pair{e.casefold, "casefold"}, std::pair{e.released, "released"}}) {
            if (set)
                flags += flags.empty() ? flag : std::string(",") + flag;
        }
        content += e.name + " " + std::to_string(e.owner) + " " + std::to_string(e.sectors) + " "
            + std::to_string(major(e.device)) + ":" + std::to_string(minor(e.device)) + " " + std::to_string(e.mountId)
            + " " + std::to_string(e.mountNamespace) + " " + (flags.empty() ? "-" : flags)
            + (e.volumeName.empty() || !withVolumeNames ? "" : " " + e.volumeName) + "\n";
    }
    return content;
}

// Stale records (the device detached behind our back, or set up again for something
// else) and records of things that are not ours describe nothing and are left out.
std::vector<StateEntry> confirmed(const std::vector<StateEntry> &raw, bool requireInode)
{
    std::vector<StateEntry> entries;
    for (const auto &e : raw) {
        const int index = loopIndexFromNode(e.node);
        LoopDevice device;
        if (index >= 0 && isQuilmoBacking(e.backing) && readLoopDevice(index, &device)
            && describes(e, device, requireInode))
            entries.push_back(e);
    }
    return entries;
}

// A record of a device that sysfs shows to be free, or set up with another file: left out
// when the record is written. What cannot be read just now is kept.
bool certainlyStale(const StateEntry &e)
{
    const int index = loopIndexFromNode(e.node);
    if (index < 0 || !isQuilmoBacking(e.backing))
        return true;
    LoopDevice d;
    switch (loopState(index, &d)) {
    case LoopState::Free:
        return true;
    case LoopState::Unknown:
        return false;
    case LoopState::Attached:
        break;
    }
    return d.backing != e.backing || (e.diskseq != 0 && d.diskseq != 0 && e.diskseq != d.diskseq)
        || (e.inode != 0 && d.inode != 0 && e.inode != d.inode);
}

// Writes a file beside its final name and renames it into place.
bool replaceFile(int dirFd, const char *name, mode_t mode, const std::string &content, std::string *error)
{
    const std::string temporary = std::string(name) + ".new";
    unlinkat(dirFd, temporary.c_str(), 0);
    Fd fd(openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid()) {
        *error = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    // The mode is part of what makes the file believed: never left to the umask.
    bool written = fchmod(fd.get(), mode) == 0;
    size_t done = 0;
    while (written && done < content.size()) {
        const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        if (written)
            done += static_cast<size_t>(n);
    }
    written = written && fsync(fd.get()) == 0;
    const int savedErrno = errno;
    fd.reset();
    if (!written || renameat(dirFd, temporary.c_str(), dirFd, name) != 0) {
        *error = std::string("cannot write ") + name + ": " + std::strerror(written ? errno : savedErrno);
        unlinkat(dirFd, temporary.c_str(), 0);
        return false;
    }
    return true;
}

} // namespace

bool describes(const StateEntry &e, const LoopDevice &d, bool requireInode)
{
    if (e.node != d.node || e.backing != d.backing)
        return false;
    if (e.diskseq != 0 && e.diskseq != d.diskseq)
        return false;
    if (e.inode != 0) {
        if (d.inode == 0)
            return !requireInode;
        return e.inode == d.inode;
    }
    return true;
}

void logWarning(const std::string &message)
{
    openlog("quilmo-disktool", LOG_PID, LOG_AUTHPRIV);
    syslog(LOG_WARNING, "%s", message.c_str());
    closelog();
    std::fprintf(stderr, "quilmo-disktool: warning: %s\n", message.c_str());
}

State::State()
{
    if (openDirectory())
        openLock();
}

State::~State()
{
    if (_lockFd >= 0)
        close(_lockFd); // releases the lock
}

bool State::openDirectory()
{
    // Nothing here is locked: /run is open to every user, and a lock any user can take would
    // let them stop the tool for everyone. Two runs setting the directory up at once agree:
    // each step below is one call that the other run either sees done or does itself.
    Fd run(open(kRunDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!run.valid()) {
        _error = std::string("cannot open ") + kRunDir + ": " + std::strerror(errno);
        return false;
    }
    const std::string path = statePath();
    for (int attempt = 0; attempt < 4; ++attempt) {
        Fd dir(openat(run.get(), kStateDirName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.valid()) {
            if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR) {
                _error = "cannot open " + path + ": " + std::strerror(errno);
                return false;
            }
            if (errno == ENOENT) {
                if (mkdirat(run.get(), kStateDirName, 0700) != 0 && errno != EEXIST) {
                    _error = "cannot create " + path + ": " + std::strerror(errno);
                    return false;
                }
                continue;
            }
            // A link, or something that is not a directory, where the directory belongs.
            if (!renameAside(run.get(), kStateDirName, path, "is not a directory"))
                break;
            continue;
        }
        struct stat st;
        if (fstat(dir.get(), &st) != 0) {
            _error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        if (st.st_uid != 0) {
            if (!renameAside(run.get(), kStateDirName, path, "is not owned by root"))
                break;
            continue;
        }
        if ((st.st_mode & 07777) != 0700) {
            if (fchmod(dir.get(), 0700) != 0) {
                _error = "cannot protect " + path + ": " + std::strerror(errno);
                return false;
            }
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            logWarning(path + " had mode " + mode + "; made 0700 again");
            // Others could have put anything into it meanwhile: once the lock is ours, the
            // records go aside (the lock file itself is checked as it is opened).
            _distrustFiles = true;
        }
        _dir = std::move(dir);
        return true;
    }
    _error = "cannot set up " + path;
    return false;
}

// Waits for the lock for a bounded time: the other holders are runs of this tool, which
// hold it for a few seconds at most; a run that waits longer says so rather than hang.
bool State::lockWithin(int fd)
{
    const auto seconds = static_cast<long long>(QUILMO_DISKTOOL_LOCK_WAIT_SECONDS);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    useconds_t pause = 1000;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            _error = "cannot lock " + statePath(kStateLockName) + ": " + std::strerror(errno);
            return false;
        }
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long elapsedMs = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsedMs >= seconds * 1000) {
            _error = "another run of quilmo-disktool has been busy with the RAM disks for " + std::to_string(seconds)
                + " seconds (it holds " + statePath(kStateLockName) + "); try again when it has finished";
            return false;
        }
        usleep(pause);
        pause = std::min<useconds_t>(pause * 2, 100000);
    }
}

bool State::openLock()
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        Fd fd(openat(_dir.get(), kStateLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        struct stat st;
        // Only what is plainly not a file of root's is set aside; any other failure (no
        // descriptor left, say) says nothing about the file.
        if (!fd.valid() && errno != ELOOP && errno != ENXIO && errno != EISDIR) {
            _error = "cannot open " + statePath(kStateLockName) + ": " + std::strerror(errno);
            return false;
        }
        if (fd.valid() && fstat(fd.get(), &st) != 0) {
            _error = "cannot read " + statePath(kStateLockName) + ": " + std::strerror(errno);
            return false;
        }
        if (fd.valid() && S_ISREG(st.st_mode) && st.st_uid == 0) {
            if (!lockWithin(fd.get()))
                return false;
            _lockFd = fd.release();
            if (_distrustFiles) {
                for (const char *name : {kStateFileName, kInstanceFileName}) {
                    if (!renameAside(_dir.get(), name, statePath(name), "was in a directory that others could change"))
                        unlinkat(_dir.get(), name, 0);
                }
                _distrustFiles = false;
            }
            return true;
        }
        // Someone else's file (or a link) could be held forever: none of ours.
        setAside(kStateLockName, "is not a file of root's");
    }
    _error = "cannot open " + statePath(kStateLockName);
    return false;
}

void State::setAside(const char *name, const std::string &why)
{
    renameAside(_dir.get(), name, statePath(name), why);
}

bool State::readRecordFile(const char *name, std::string *content)
{
    content->clear();
    if (!ok())
        return false;
    Fd fd(openat(_dir.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return true;
        // A link, or a socket or device: not a file at all.
        if (errno == ELOOP || errno == ENXIO || errno == ENODEV) {
            setAside(name, "is not a regular file");
            return true;
        }
        _error = "cannot read " + statePath(name) + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        _error = "cannot read " + statePath(name) + ": " + std::strerror(errno);
        return false;
    }
    std::string why;
    if (!S_ISREG(st.st_mode))
        why = "is not a regular file";
    else if (st.st_uid != 0)
        why = "is not owned by root";
    else if ((st.st_mode & 07777) != 0600)
        why = "is not of mode 0600";
    else if (st.st_nlink != 1)
        why = "has other names";
    else if (st.st_size > static_cast<off_t>(kMaxStateBytes))
        why = "is far too large";
    if (!why.empty()) {
        fd.reset();
        setAside(name, why);
        return true;
    }
    if (!readAll(fd.get(), content, kMaxStateBytes)) {
        _error = "cannot read " + statePath(name) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

template <typename Entry>
bool State::readRecords(const char *name, std::vector<Entry> *records, bool (*parseLine)(const std::string &, Entry *))
{
    records->clear();
    std::string content;
    if (!readRecordFile(name, &content))
        return false;
    *records = parseRecords(content, parseLine);
    return true;
}

bool State::read(std::vector<StateEntry> *records)
{
    return readRecords(kStateFileName, records, parseLine);
}

bool State::readInstances(std::vector<InstanceEntry> *records)
{
    return readRecords(kInstanceFileName, records, parseInstanceLine);
}

bool State::entries(std::vector<StateEntry> *confirmedEntries)
{
    std::vector<StateEntry> records;
    if (!read(&records))
        return false;
    *confirmedEntries = confirmed(records, true);
    return true;
}

bool State::replaceRecordFile(const char *name, const char *publicName, const std::string &content,
                              const std::string &publicContent, std::string *error)
{
    if (!ok()) {
        *error = _error;
        return false;
    }
    if (!replaceFile(_dir.get(), name, 0600, content, error))
        return false;
    // The copy for "info" without root; it only ever helps listing, so a failure is logged
    // and the change stands.
    Fd run(open(kRunDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string publicError;
    if (!run.valid() || !replaceFile(run.get(), publicName, 0644, publicContent, &publicError)) {
        openlog("quilmo-disktool", LOG_PID, LOG_AUTHPRIV);
        syslog(LOG_WARNING, "cannot update %s/%s: %s", kRunDir, publicName, publicError.c_str());
        closelog();
    }
    return true;
}

bool State::write(const std::vector<StateEntry> &records, std::string *error)
{
    std::vector<StateEntry> kept;
    for (const auto &e : records) {
        if (!certainlyStale(e))
            kept.push_back(e);
    }
    const std::string content = format(kept);
    return replaceRecordFile(kStateFileName, kPublicListName, content, content, error);
}

bool State::writeInstances(const std::vector<InstanceEntry> &records, std::string *error)
{
    return replaceRecordFile(kInstanceFileName, kPublicInstanceListName, formatInstances(records),
                             formatInstances(records, false), error);
}

Fd State::openInstancePlace(std::string *path, std::string *error)
{
    if (!ok()) {
        *error = _error;
        return Fd();
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        Fd place(openat(_dir.get(), kInstancePlaceName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!place.valid()) {
            if (errno == ENOENT) {
                if (mkdirat(_dir.get(), kInstancePlaceName, 0700) != 0 && errno != EEXIST) {
                    *error = "cannot create " + statePath(kInstancePlaceName) + ": " + std::strerror(errno);
                    return Fd();
                }
                continue;
            }
            if (errno == ELOOP || errno == ENOTDIR) {
                setAside(kInstancePlaceName, "is not a directory");
                continue;
            }
            *error = "cannot open " + statePath(kInstancePlaceName) + ": " + std::strerror(errno);
            return Fd();
        }
        struct stat st;
        if (fstat(place.get(), &st) != 0 || st.st_uid != 0) {
            setAside(kInstancePlaceName, "is not owned by root");
            continue;
        }
        if ((st.st_mode & 07777) != 0700 && fchmod(place.get(), 0700) != 0) {
            *error = "cannot protect " + statePath(kInstancePlaceName) + ": " + std::strerror(errno);
            return Fd();
        }
        // The path as the kernel resolved it, which is how the mount table names it.
        char resolved[4096];
        const std::string link = "/proc/self/fd/" + std::to_string(place.get());
        const ssize_t length = readlink(link.c_str(), resolved, sizeof resolved - 1);
        if (length <= 0) {
            *error = "cannot read the path of " + statePath(kInstancePlaceName) + ": " + std::strerror(errno);
            return Fd();
        }
        path->assign(resolved, static_cast<size_t>(length));
        return place;
    }
    *error = "cannot set up " + statePath(kInstancePlaceName);
    return Fd();
}

// A public copy: believed only when root's and written by root alone.
static std::string readPublicFile(const char *name)
{
    Fd run(open(kRunDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!run.valid() || fstat(run.get(), &st) != 0 || st.st_uid != 0 || (st.st_mode & 022) != 0)
        return {};
    Fd fd(openat(run.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022) != 0)
        return {};
    std::string content;
    if (!readAll(fd.get(), &content, kMaxStateBytes))
        return {};
    return content;
}

std::vector<StateEntry> readPublicList()
{
    return confirmed(parseRecords(readPublicFile(kPublicListName), parseLine), false);
}

std::vector<InstanceEntry> readPublicInstanceList()
{
    return parseRecords(readPublicFile(kPublicInstanceListName), parseInstanceLine);
}

bool authorizeDevice(State &state, const std::string &node, uid_t caller, Purpose purpose, LoopDevice *device,
                     std::string *error, bool *recorded)
{
    if (recorded)
        *recorded = false;
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
    std::vector<StateEntry> entries;
    if (!state.entries(&entries)) {
        *error = state.error();
        return false;
    }
    for (const auto &e : entries) {
        if (!describes(e, *device, true))
            continue;
        if (caller != 0 && e.owner != caller) {
            *error = node + " belongs to another user";
            return false;
        }
        if (recorded)
            *recorded = true;
        return true;
    }
    // After the record was lost, root can still release what is plainly ours.
    if (caller == 0 && purpose == Purpose::Release)
        return true;
    *error = node + " is not a RAM disk of Quilmo";
    return false;
}

} // namespace dt
