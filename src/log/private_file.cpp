#include "log/private_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int private_file_create(const char *path) {
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kPrivateFileMode);
    if (fd < 0) return errno == EEXIST ? 0 : -1;
    // The umask may only have narrowed it further (say to 0400); the owner
    // still needs to write.
    int rc = fchmod(fd, kPrivateFileMode) == 0 ? 1 : -1;
    int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}

int private_file_narrow(int fd, mode_t *was, mode_t *now) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode) || (st.st_mode & 07077) == 0) return 0;
    const mode_t narrowed = st.st_mode & 0700;
    if (fchmod(fd, narrowed) != 0) return -1;
    *was = st.st_mode & 07777;
    *now = narrowed;
    return 1;
}
