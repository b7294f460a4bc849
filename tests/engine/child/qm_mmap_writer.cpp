// A program that writes a file through a shared, writable mapping, as a database does:
// qm_mmap_writer FILE maps the first page of FILE (which must hold one), prints "mapped",
// then for each line "write TEXT" on its standard input copies TEXT to the start of the
// page and prints "written"; "exit" (or the end of its input) unmaps and ends.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 1;
    const size_t size = size_t(sysconf(_SC_PAGESIZE));
    void *page = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED)
        return 1;
    close(fd); // the mapping alone holds the file, as after a database opened it

    std::cout << "mapped" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("write ", 0) == 0) {
            const std::string text = line.substr(6);
            std::memcpy(page, text.data(), std::min(text.size(), size));
            std::cout << "written" << std::endl;
        } else if (line == "exit") {
            break;
        }
    }
    munmap(page, size);
    return 0;
}
