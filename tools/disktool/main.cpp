// quilmo-disktool: Quilmo's disk tools on Linux. One program, started under the name of
// the tool it stands in for (hdiutil, newfs_hfs, diskutil, mount, umount, mdutil, purge),
// or as "quilmo-disktool TOOL ARGS..." (the form pkexec runs).

#include "DTSystem.h"
#include "DTTools.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string baseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Runs the tool again as root through pkexec; the polkit policy decides who may. Standard
// output passes straight through; pkexec's own complaints become our one line.
int runThroughPkexec(const std::string &personality, const dt::Args &args)
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return dt::fail("cannot find this program to run it as root");
    self[length] = '\0';
    const char *pkexec = access("/usr/bin/pkexec", X_OK) == 0 ? "/usr/bin/pkexec" : "/bin/pkexec";
    std::vector<std::string> argvStrings = {pkexec, self, personality};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0)
        return dt::fail("needs root, and pkexec cannot be started");
    const pid_t pid = fork();
    if (pid < 0)
        return dt::fail("needs root, and pkexec cannot be started");
    if (pid == 0) {
        dup2(errPipe[1], 2);
        execv(pkexec, argv.data());
        _exit(127);
    }
    close(errPipe[1]);
    std::string err;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(errPipe[0], buffer, sizeof buffer);
        if (n > 0)
            err.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(errPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 127;
    // pkexec: 126 when authorisation was refused or dismissed, 127 when it could not run us.
    if (code == 126)
        return dt::fail("not authorized to do this as root");
    if (code == 127)
        return dt::fail("cannot run as root through pkexec: " + dt::lastLine(err));
    std::fwrite(err.data(), 1, err.size(), stderr);
    return code;
}
} // namespace

int main(int argc, char **argv)
{
    // Whatever root creates here is private unless given another mode on purpose.
    if (geteuid() == 0)
        umask(077);
    std::string personality = argc > 0 ? baseName(argv[0]) : std::string("quilmo-disktool");
    int first = 1;
    if (personality == "quilmo-disktool") {
        if (argc < 2) {
            dt::setPersonalityForMessages(personality);
            dt::fail("usage: quilmo-disktool TOOL [ARGS...]");
            return 2;
        }
        personality = argv[1];
        first = 2;
    }
    const dt::Args args(argv + first, argv + argc);
    dt::setPersonalityForMessages(personality);
    if (geteuid() != 0 && dt::needsRoot(personality, args))
        return runThroughPkexec(personality, args);
    return dt::runPersonality(personality, args);
}
