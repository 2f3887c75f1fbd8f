/* An example security product in C: it registers with veskkorvaned,
 * reports its status every second and unregisters when told to stop
 * (SIGTERM or SIGINT).
 *
 *     make                       (pkg-config finds libkorvane-client)
 *     ./product [UUID]
 *
 * Products register only as root, or as a user, group or program that
 * /etc/korvane/access.conf lists under [products].
 */
#define _POSIX_C_SOURCE 200809L

#include <korvane/korvane.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop_requested;

static void on_stop(int signum) {
    (void)signum;
    stop_requested = 1;
}

/* Sends one request and prints what went wrong, if anything. Returns the
 * reply's result (a KORVANE_RESULT_* value), or -1 without a reply. */
static int ask(korvane_client_t *h, const char *uuid, uint32_t type, const char *data) {
    korvane_message_t reply;
    char text[256];
    int result;
    int rc = korvane_request(h, uuid, type, data, 5000, &reply);
    if (rc != KORVANE_OK) {
        fprintf(stderr, "product: request %u: %s\n", (unsigned)type, korvane_client_error(h));
        return -1;
    }
    result = (int)reply.result;
    if (result != KORVANE_RESULT_OK && korvane_reply_text(&reply, text, sizeof text) == KORVANE_OK)
        fprintf(stderr, "product: request %u: %s\n", (unsigned)type, text);
    korvane_message_free(&reply);
    return result;
}

/* Appends s to out as the inside of a JSON string. */
static void json_escape(const char *s, char *out, size_t size) {
    size_t n = strlen(out);
    for (; *s != '\0' && n + 7 < size; s++) {
        unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\')
            n += (size_t)snprintf(out + n, size - n, "\\%c", c);
        else if (c < 0x20)
            n += (size_t)snprintf(out + n, size - n, "\\u%04x", c);
        else
            out[n++] = (char)c;
        out[n] = '\0';
    }
}

int main(int argc, char **argv) {
    const char *uuid = argc > 1 ? argv[1] : "5c0b9e7a-3d2f-4a18-b6e4-9f1c2d3a4b5e";
    /* Room for every byte of the path escaped as \u00XX. */
    char exe[4096], detail[6 * 4096 + 64] = "{\"name\":\"Example product (C)\",\"exec\":\"";
    char status[128];
    struct sigaction sa;
    korvane_client_t *h;
    unsigned long reports = 0;
    ssize_t len;
    int result;

    /* The daemon watches the program that "exec" names and unregisters the
     * product once no process runs it: name this very program. */
    len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (len < 0) {
        perror("product: /proc/self/exe");
        return 1;
    }
    exe[len] = '\0';
    json_escape(exe, detail, sizeof detail);
    strcat(detail, "\",\"version\":\"1.0\"}");

    /* No SA_RESTART: a signal ends the second's sleep at once. */
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    h = korvane_client_new();
    if (h == NULL) return 1;
    /* The daemon runs as root; one under a try-out root (VESKKORVANED_ROOT)
     * may run as anyone. */
    korvane_client_set_require_root_peer(h, getenv("VESKKORVANED_ROOT") == NULL);
    if (korvane_client_connect(h, KORVANE_ENDPOINT_SECSOFT) != KORVANE_OK) {
        fprintf(stderr, "product: %s\n", korvane_client_error(h));
        korvane_client_free(h);
        return 1;
    }

    /* 501: stored, but another product is active; it reports all the same. */
    result = ask(h, uuid, KORVANE_REQ_SECSOFT_REGISTER, detail);
    if (result != KORVANE_RESULT_OK && result != KORVANE_RESULT_NOT_ACTIVE) {
        korvane_client_free(h);
        return 1;
    }
    printf("registered %s (%s)\n", uuid, korvane_result_text(result));
    fflush(stdout);

    while (!stop_requested) {
        struct timespec second = {1, 0};
        snprintf(status, sizeof status,
                 "{\"protection\":\"on\",\"signatures\":\"up-to-date\",\"reports\":%lu}",
                 ++reports);
        /* A failed request is tried again a second later: the library
         * connects again after the daemon closed the connection. The daemon
         * forgets a product that was unregistered on its behalf (its
         * program did not run): register again. */
        result = ask(h, uuid, KORVANE_REQ_SECSTAT_UPDATE, status);
        if (result == KORVANE_RESULT_NO_SECSOFT) ask(h, uuid, KORVANE_REQ_SECSOFT_REGISTER, detail);
        nanosleep(&second, NULL);
    }

    result = ask(h, uuid, KORVANE_REQ_SECSOFT_UNREGISTER, NULL);
    printf("unregistered %s (%s)\n", uuid, result < 0 ? "no reply" : korvane_result_text(result));
    korvane_client_free(h);
    return result == KORVANE_RESULT_OK ? 0 : 1;
}
