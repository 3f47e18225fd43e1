/* An LD_PRELOAD library that makes the file system fail on purpose, so tests
 * can see what a program does when a disk fills up or a rename is refused:
 *
 *   QORO_FAIL_WRITE_AFTER=N   writes to files (descriptors above 2) succeed for
 *                             N bytes in all, then fail with ENOSPC
 *   QORO_FAIL_FSYNC=1         fsync and fdatasync fail with EIO
 *   QORO_FAIL_RENAME=1        rename fails with EXDEV
 *
 * Standard input, output and error are never touched, so the program's
 * messages still come through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static long long budget(void) {
    static long long limit = -2;
    if (limit == -2) {
        const char* text = getenv("QORO_FAIL_WRITE_AFTER");
        limit = text && *text ? atoll(text) : -1;
    }
    return limit;
}

static _Atomic long long written = 0;

/* How much of a write of 'size' bytes may go through; -1 (and errno) when none. */
static ssize_t allowed(int fd, size_t size) {
    const long long limit = budget();
    if (fd <= 2 || limit < 0) return (ssize_t)size;
    const long long before = atomic_fetch_add(&written, (long long)size);
    if (before >= limit) {
        errno = ENOSPC;
        return -1;
    }
    const long long room = limit - before;
    return (long long)size <= room ? (ssize_t)size : (ssize_t)room;
}

#define NEXT(name)                                                   \
    static __typeof__(&name) next_##name;                             \
    if (!next_##name) next_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

ssize_t write(int fd, const void* data, size_t size) {
    NEXT(write);
    const ssize_t n = allowed(fd, size);
    return n < 0 ? -1 : next_write(fd, data, (size_t)n);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    NEXT(pwrite);
    const ssize_t n = allowed(fd, size);
    return n < 0 ? -1 : next_pwrite(fd, data, (size_t)n, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
    NEXT(pwrite64);
    const ssize_t n = allowed(fd, size);
    return n < 0 ? -1 : next_pwrite64(fd, data, (size_t)n, offset);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
    NEXT(writev);
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    const ssize_t n = allowed(fd, total);
    if (n < 0) return -1;
    if ((size_t)n == total) return next_writev(fd, iov, count);
    return count > 0 ? write(fd, iov[0].iov_base, (size_t)n < iov[0].iov_len ? (size_t)n : iov[0].iov_len) : 0;
}

static int failing(const char* name) {
    const char* text = getenv(name);
    return text && *text && *text != '0';
}

int fsync(int fd) {
    NEXT(fsync);
    if (failing("QORO_FAIL_FSYNC")) {
        errno = EIO;
        return -1;
    }
    return next_fsync(fd);
}

int fdatasync(int fd) {
    NEXT(fdatasync);
    if (failing("QORO_FAIL_FSYNC")) {
        errno = EIO;
        return -1;
    }
    return next_fdatasync(fd);
}

int rename(const char* from, const char* to) {
    NEXT(rename);
    if (failing("QORO_FAIL_RENAME")) {
        errno = EXDEV;
        return -1;
    }
    return next_rename(from, to);
}
