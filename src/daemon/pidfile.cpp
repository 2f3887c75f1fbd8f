#include "daemon/pidfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

int CPidFile::write_pid_file(const char *path) {
    if (path == nullptr) return -1;
    char buf[64] = {0};
    snprintf(buf, sizeof(buf), "%ld", static_cast<long>(getpid()));

    int fd = open(path, O_RDWR | O_CREAT, 0644);
    if (fd < 0) return -1;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    if (ftruncate(fd, 0) != 0) { /* result deliberately ignored */
    }
    if (write(fd, buf, strlen(buf)) < 0) { /* result deliberately ignored */
    }
    return fd;
}

bool CPidFile::delete_pid_file(const char *path) {
    if (path == nullptr) return false;
    return remove(path) == 0 || errno == ENOENT;
}
