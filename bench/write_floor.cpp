// The floor of an update in place on the `runs` workload: the same writes
// and nothing else, 250 bytes at the start of every MiB of TARGET, each its
// own pwrite, then fdatasync, as deltawright-apply --in-place ends. No patch
// is read and no byte of TARGET is read or checked. It writes zeros: put the
// original back with deltawright-apply --in-place --force TARGET BACK_PATCH.
// Usage: bench_write_floor TARGET
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_write_floor TARGET\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::perror("bench_write_floor");
        return 2;
    }
    static const unsigned char zeros[250] = {};
    for (off_t at = 0; at + static_cast<off_t>(sizeof zeros) <= st.st_size; at += off_t{1} << 20) {
        if (pwrite(fd, zeros, sizeof zeros, at) != static_cast<ssize_t>(sizeof zeros)) {
            std::perror("bench_write_floor");
            return 2;
        }
    }
    return fdatasync(fd) == 0 && close(fd) == 0 ? 0 : 2;
}
