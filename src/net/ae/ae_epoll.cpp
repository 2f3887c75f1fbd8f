// epoll backend: one epoll descriptor and the event array of the loop. An
// event's data word is the descriptor itself.
#include "net/ae/ae_epoll.h"

#include <sys/epoll.h>
#include <unistd.h>

#include "net/ae/zmalloc.h"

int aeApiCreate(aeEventLoop *el) {
    auto *state = static_cast<aeEpollState *>(zcalloc(sizeof(aeEpollState)));
    if (state == nullptr) return -1;
    state->events = static_cast<epoll_event *>(
        zcalloc(sizeof(epoll_event) * static_cast<size_t>(el->set_size)));
    if (state->events == nullptr) {
        zfree(state);
        return -1;
    }
    state->epfd = epoll_create(1024);  // the size is only a hint
    if (state->epfd == -1) {
        zfree(state->events);
        zfree(state);
        return -1;
    }
    el->backend = state;
    return 0;
}

void aeApiFree(aeEventLoop *el) {
    aeEpollState *state = el->backend;
    if (state == nullptr) return;
    close(state->epfd);
    zfree(state->events);
    zfree(state);
    el->backend = nullptr;
}

int aeApiUpdate(aeEventLoop *el, int fd, int old_mask, int new_mask) {
    epoll_event ee{};
    ee.data.u64 = 0;
    ee.data.fd = fd;
    if (new_mask & AE_MASK_READ) ee.events |= EPOLLIN;
    if (new_mask & AE_MASK_WRITE) ee.events |= EPOLLOUT;
    int op = new_mask == 0 ? EPOLL_CTL_DEL : (old_mask == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD);
    return epoll_ctl(el->backend->epfd, op, fd, &ee) == -1 ? -1 : 0;
}

int aeApiPoll(aeEventLoop *el, int timeout_ms) {
    aeEpollState *state = el->backend;
    int n = epoll_wait(state->epfd, state->events, el->set_size, timeout_ms);
    if (n <= 0) return 0;
    for (int j = 0; j < n; j++) {
        const epoll_event &e = state->events[j];
        int mask = 0;
        if (e.events & EPOLLIN) mask |= AE_MASK_READ;
        if (e.events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) mask |= AE_MASK_WRITE;
        // An error or hang-up can come without EPOLLIN (a pipe whose writer
        // closed); the reader must still hear of it, or the level-triggered
        // event would be reported on every pass with nobody handling it.
        if (e.events & (EPOLLERR | EPOLLHUP)) mask |= AE_MASK_READ;
        el->ready[j].fd = e.data.fd;
        el->ready[j].mask = mask;
    }
    return n;
}

const char *aeApiName() {
    return "epoll";
}
