// Runs a command as on a file system without anonymous temporary files:
// openat with O_TMPFILE fails with EOPNOTSUPP (a seccomp filter on x86-64
// Linux), so that the tests reach the programs' named temporary files too.
// Usage: no_tmpfile COMMAND [ARG...]
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fputs("usage: no_tmpfile COMMAND [ARG...]\n", stderr);
        return 2;
    }
    // The flags are openat's third argument; their low 32 bits come first on
    // a little-endian machine. The bit tested is the one O_TMPFILE adds to
    // O_DIRECTORY. glibc opens every file with openat.
    constexpr unsigned TMPFILE_BIT = O_TMPFILE & ~static_cast<unsigned>(O_DIRECTORY);
    constexpr unsigned FLAGS_LOW_WORD = offsetof(seccomp_data, args) + 2 * sizeof(std::uint64_t);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, FLAGS_LOW_WORD),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, TMPFILE_BIT, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("no_tmpfile: seccomp");
        return 2;
    }
    execvp(argv[1], argv + 1);
    std::perror("no_tmpfile: exec");
    return 127;
}
