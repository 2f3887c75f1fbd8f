// korvane-notify: tells the person at the desktop, with a desktop
// notification, when their computer stops being protected and when it is
// protected again, as veskkorvaned judges it on the system bus. Runs in
// the user's session; never a front UI of the daemon.
#include <libintl.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-event.h>

#include "korvane-notify/agent.h"
#include "korvane-notify/notify_text.h"

#ifndef VK_LOCALEDIR
#define VK_LOCALEDIR "/usr/share/locale"
#endif
#ifndef VK_VERSION
#define VK_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "usage: korvane-notify [--help | --version]\n"
    "Shows a desktop notification when this computer stops being protected,\n"
    "and when it is protected again, as veskkorvaned judges it\n"
    "(org.korvane.Registry1 on the system bus). Runs until it is stopped.\n";

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("korvane-notify %s\n", VK_VERSION);
        return 0;
    }
    if (argc != 1) {
        fputs(kUsage, stderr);
        return 2;
    }
    setlocale(LC_ALL, "");
    // The build tree's catalogues, for trying it out before it is installed.
    const char *dir = getenv("KORVANE_NOTIFY_LOCALEDIR");
    bindtextdomain(kNotifyTextDomain, dir != nullptr && dir[0] != '\0' ? dir : VK_LOCALEDIR);
    bind_textdomain_codeset(kNotifyTextDomain, "UTF-8");

    sd_event *ev = nullptr;
    if (sd_event_default(&ev) < 0) {
        fputs("korvane-notify: cannot create its event loop\n", stderr);
        return 1;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    // No handler: either signal ends the loop.
    sd_event_add_signal(ev, nullptr, SIGTERM, nullptr, nullptr);
    sd_event_add_signal(ev, nullptr, SIGINT, nullptr, nullptr);
    int status;
    {
        NotifyAgent agent(ev);
        agent.Start();
        status = sd_event_loop(ev) < 0 ? 1 : 0;
    }
    sd_event_unref(ev);
    return status;
}
