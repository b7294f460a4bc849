// quilmo-disktool: Quilmo's disk tools on Linux. One program, started under the name of
// the tool it stands in for (hdiutil, newfs_hfs, diskutil, mount, umount, mdutil, purge),
// or as "quilmo-disktool TOOL ARGS..." (the form pkexec runs).

#include "DTTools.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

std::string baseName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Runs the tool again as root through pkexec; the polkit policy decides who may.
int reexecThroughPkexec(const std::string &personality, const dt::Args &args)
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return dt::fail("cannot find this program to run it as root");
    self[length] = '\0';
    std::vector<std::string> argvStrings = {"pkexec", self, personality};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (const char *pkexec : {"/usr/bin/pkexec", "/bin/pkexec"})
        execv(pkexec, argv.data());
    return dt::fail("needs root, and pkexec is not available to get it");
}

} // namespace

int main(int argc, char **argv)
{
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
        return reexecThroughPkexec(personality, args);
    return dt::runPersonality(personality, args);
}
