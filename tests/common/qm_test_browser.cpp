// Stands in for a browser's program in the installation layouts the tests build: a real
// executable at the layout's path, so that /proc shows it as the browser's process.
//   --version   print what the real program would (the text in "<program>.version-output",
//               written beside it by the test), or fail as a program without a version
//   otherwise   run until stopped
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 32);
        if (n <= 0)
            return 1;
        self[n] = '\0';
        std::strcat(self, ".version-output");
        FILE *f = std::fopen(self, "r");
        if (!f)
            return 1;
        char line[256];
        while (std::fgets(line, sizeof line, f))
            std::fputs(line, stdout);
        std::fclose(f);
        return 0;
    }
    for (;;)
        pause();
}
