/*
 * Preloaded into a test's child process: every send hands at most 1000 bytes
 * to the kernel, and every other call pretends the socket buffer is full
 * (EAGAIN), as a busy peer's connection does. Shows that a client completes
 * its sends in a loop and waits for the socket to take more.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

typedef ssize_t send_fn(int, const void *, size_t, int);

ssize_t send(int fd, const void *buffer, size_t length, int flags)
{
    static send_fn *real_send;
    static int calls;
    if (real_send == NULL)
        *(void **)&real_send = dlsym(RTLD_NEXT, "send");
    if (++calls % 2 == 0) {
        errno = EAGAIN;
        return -1;
    }
    return real_send(fd, buffer, length > 1000 ? 1000 : length, flags);
}
