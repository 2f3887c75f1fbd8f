#include "daemon/sd_notify.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "log/mylog.h"

int vk_sd_notify(const char *state) {
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0') return 0;
    if (state == nullptr) return -1;

    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    size_t len = strlen(name);
    // An abstract name keeps no terminating NUL; a path needs room for one.
    if ((name[0] != '/' && name[0] != '@') || len < 2 || len > sizeof(sa.sun_path) ||
        (name[0] == '/' && len == sizeof(sa.sun_path))) {
        Singleton<MyLog>::Instance()->Write(ERROR, "sd_notify: unusable NOTIFY_SOCKET: %s", name);
        return -1;
    }
    memcpy(sa.sun_path, name, len);
    if (name[0] == '@') sa.sun_path[0] = '\0';
    socklen_t salen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len +
                                             (name[0] == '/' ? 1 : 0));

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "sd_notify: socket: %s", strerror(errno));
        return -1;
    }
    ssize_t n;
    do {
        n = sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr *>(&sa),
                   salen);
    } while (n < 0 && errno == EINTR);
    int saved = errno;
    close(fd);
    if (n < 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "sd_notify: sendto: %s", strerror(saved));
        return -1;
    }
    return 1;
}
