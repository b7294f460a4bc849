// A child process whose behaviour the command runner's tests choose by argument:
//   both N      write N bytes to standard output and N to standard error, interleaved
//   exit N T    write T to standard error and exit with N
//   bytes HEX   write the given bytes to standard output
//   env         print the environment, one variable a line
//   pwd         print the working directory
//   args ...    print each argument on a line of its own
//   nothing     print nothing
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern char **environ;

int main(int argc, char **argv)
{
    if (argc < 2)
        return 100;
    const std::string mode = argv[1];
    if (mode == "both" && argc > 2) {
        const long n = std::atol(argv[2]);
        std::string chunk(4096, 'o');
        std::string echunk(4096, 'e');
        for (long done = 0; done < n; done += 4096) {
            const size_t len = static_cast<size_t>(std::min<long>(4096, n - done));
            fwrite(chunk.data(), 1, len, stdout);
            fwrite(echunk.data(), 1, len, stderr);
        }
        return 0;
    }
    if (mode == "exit" && argc > 3) {
        fputs(argv[3], stderr);
        return std::atoi(argv[2]);
    }
    if (mode == "bytes" && argc > 2) {
        const char *hex = argv[2];
        for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
            char b[3] = {hex[i], hex[i + 1], 0};
            const int v = static_cast<int>(std::strtol(b, nullptr, 16));
            fputc(v, stdout);
        }
        return 0;
    }
    if (mode == "env") {
        for (char **e = environ; *e; ++e)
            printf("%s\n", *e);
        return 0;
    }
    if (mode == "pwd") {
        char buf[4096];
        if (getcwd(buf, sizeof buf))
            printf("%s", buf);
        return 0;
    }
    if (mode == "args") {
        for (int i = 2; i < argc; ++i)
            printf("%s\n", argv[i]);
        return 0;
    }
    if (mode == "nothing")
        return 0;
    return 100;
}
