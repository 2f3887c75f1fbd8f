#include "daemon/sd_notify.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/unix_address.h"
#include "log/mylog.h"

int vk_sd_notify(const char *state) {
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0') return 0;
    if (state == nullptr) return -1;

    // A service manager names an absolute path or an abstract socket.
    char err[256] = {0};
    struct sockaddr_un sa;
    socklen_t salen = 0;
    if (name[0] == '/' || name[0] == '@')
        unix_address_fill(name, strlen(name), &sa, &salen, err, sizeof(err));
    if (salen == 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "sd_notify: unusable NOTIFY_SOCKET: %s %s", name,
                                            err);
        return -1;
    }

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
