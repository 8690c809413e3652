// Holds a file open the way a Windows program that uses it does, sharing it
// with nobody, until its standard input ends; prints "held" once it is.
// Usage: windows_hold_open FILE
#include <windows.h>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fputs("usage: windows_hold_open FILE\n", stderr);
        return 2;
    }
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "windows_hold_open: cannot open %s: error %lu\n", argv[1],
                     GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    char byte = 0;
    while (std::fread(&byte, 1, 1, stdin) == 1) {
    }
    CloseHandle(file);
    return 0;
}
