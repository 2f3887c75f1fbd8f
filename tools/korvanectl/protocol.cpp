// The commands that talk to the daemon: one request and its reply, a raw
// envelope, and watching notifications. Replies are matched by having a
// "result": notifications (which have none) may arrive first on the
// front-UI socket and are skipped.
#include <cjson/cJSON.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>

#include "base/paths.h"
#include "korvanectl/cli.h"

namespace korvanectl {

namespace {

using korvane::Client;
using korvane::Endpoint;

long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool ParseInt(const std::string &text, long long min, long long max, long long *out) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

// Connects; on failure prints why and returns false.
bool ConnectTo(Client &client, Endpoint endpoint, int timeout_ms, int *code) {
    // A daemon whose backlog others keep full makes connect wait.
    client.SetConnectTimeout(timeout_ms);
    const std::string why = ConnectToDaemon(client, endpoint);
    if (why.empty()) return true;
    *code = Fail(kExitNoDaemon, "cannot reach the daemon at " + korvane::EndpointName(endpoint) +
                                    ": " + why + " (is veskkorvaned running?)");
    return false;
}

// Sends the line, prints the reply and returns the exit code; the reply
// in *out when asked for.
int Exchange(const Args &args, Endpoint endpoint, const std::string &line,
             korvane::Message *out = nullptr) {
    korvane::Message msg;
    int code = Ask(args, endpoint, line, &msg);
    if (code != kExitOk) return code;
    PrintMessage(msg, args.json, false);
    code = ReplyExitCode(msg);
    if (out != nullptr) *out = std::move(msg);
    return code;
}

struct RequestKind {
    const char *command;
    uint32_t type;
    Endpoint endpoint;
};

const RequestKind kKinds[] = {
    {"register", KORVANE_REQ_SECSOFT_REGISTER, Endpoint::kSecSoft},
    {"unregister", KORVANE_REQ_SECSOFT_UNREGISTER, Endpoint::kSecSoft},
    {"report", KORVANE_REQ_SECSTAT_UPDATE, Endpoint::kSecSoft},
    {"update", KORVANE_REQ_SECSOFT_UPDATE, Endpoint::kSecSoft},
    {"ui-register", KORVANE_REQ_FUI_REGISTER, Endpoint::kFrontUi},
    {"get-product", KORVANE_REQ_GET_SECSOFT, Endpoint::kFrontUi},
    {"get-status", KORVANE_REQ_GET_SECSTAT, Endpoint::kFrontUi},
    {"save-config", KORVANE_REQ_SAVE_FUICONF, Endpoint::kFrontUi},
    {"get-config", KORVANE_REQ_GET_FUICONF, Endpoint::kFrontUi},
};

// The body of a register or update: "name" and "exec" first, then the
// members of --data other than those two.
std::optional<std::string> ProductBody(const Args &args, std::string *error) {
    std::string extra = args.Get("--data", "{}");
    if (!CheckJson(extra, true, error)) return std::nullopt;
    JsonPtr given = json_parse(extra);
    JsonPtr body(cJSON_CreateObject());
    cJSON_AddStringToObject(body.get(), "name", args.Get("--name").c_str());
    cJSON_AddStringToObject(body.get(), "exec", args.Get("--exec").c_str());
    for (cJSON *item = given->child; item != nullptr; item = item->next) {
        std::string key = item->string;
        if (key == "name" || key == "exec") continue;
        cJSON_AddItemToObject(body.get(), item->string, cJSON_Duplicate(item, true));
    }
    std::string out;
    json_print_compact(body.get(), out);
    return out;
}

// A login uid as /proc shows it; 4294967295 ("unset") is kept as it is.
long long ReadLoginUid(const std::string &path) {
    long long login = -1;
    FILE *f = fopen(path.c_str(), "re");
    if (f != nullptr) {
        unsigned long long v = 0;
        if (fscanf(f, "%llu", &v) == 1 && v <= UINT_MAX) login = static_cast<long long>(v);
        fclose(f);
    }
    return login;
}

// The effective uid and login uid of a running process, so that a
// registration made for it declares what the daemon will find. False with
// a message when no process has that pid or /proc does not tell.
bool ProcessIdentity(long long pid, long long *euid, long long *login, std::string *error) {
    const std::string dir = "/proc/" + std::to_string(pid);
    FILE *f = pid > 0 ? fopen((dir + "/status").c_str(), "re") : nullptr;
    if (f == nullptr) {
        if (pid <= 0 || errno == ENOENT || errno == ESRCH)
            *error = "--pid " + std::to_string(pid) + ": no such process";
        else
            *error = "--pid " + std::to_string(pid) + ": cannot read " + dir +
                     "/status: " + strerror(errno);
        return false;
    }
    // "Uid:\t<real>\t<effective>\t<saved>\t<filesystem>"
    char line[256];
    bool found = false;
    while (!found && fgets(line, sizeof(line), f) != nullptr) {
        unsigned long long real = 0, effective = 0;
        found = sscanf(line, "Uid: %llu %llu", &real, &effective) == 2 && effective <= UINT_MAX;
        if (found) *euid = static_cast<long long>(effective);
    }
    fclose(f);
    if (!found) {
        *error = "--pid " + std::to_string(pid) + ": " + dir + "/status shows no uid";
        return false;
    }
    *login = ReadLoginUid(dir + "/loginuid");
    return true;
}

// The body of a front-UI registration. Without --pid it declares this
// process; with it, the process named, whose uids fill in what
// --euid and --login-uid leave out.
std::optional<std::string> UiBody(const Args &args, std::string *error) {
    long long pid = getpid(), euid = geteuid(), login = -1;
    long long givenEuid = 0, givenLogin = 0;
    if ((args.Has("--pid") && !ParseInt(args.Get("--pid"), INT_MIN, INT_MAX, &pid)) ||
        (args.Has("--euid") && !ParseInt(args.Get("--euid"), INT_MIN, UINT_MAX, &givenEuid)) ||
        (args.Has("--login-uid") &&
         !ParseInt(args.Get("--login-uid"), INT_MIN, UINT_MAX, &givenLogin))) {
        *error = "--pid, --euid and --login-uid take whole numbers";
        return std::nullopt;
    }
    if (args.Has("--pid")) {
        if (!ProcessIdentity(pid, &euid, &login, error)) return std::nullopt;
    } else {
        login = ReadLoginUid("/proc/self/loginuid");
    }
    if (args.Has("--euid")) euid = givenEuid;
    if (args.Has("--login-uid")) login = givenLogin;
    // The daemon reads these as 32-bit integers: an unsigned id above
    // INT_MAX (the "unset" login uid) travels as its signed value.
    auto as32 = [](long long v) { return static_cast<double>(static_cast<int32_t>(v)); };
    JsonPtr body(cJSON_CreateObject());
    cJSON_AddStringToObject(body.get(), "name", args.Get("--name").c_str());
    cJSON_AddNumberToObject(body.get(), "login_uid", as32(login));
    cJSON_AddNumberToObject(body.get(), "euid", as32(euid));
    cJSON_AddNumberToObject(body.get(), "pid", as32(pid));
    if (args.Has("--replace")) cJSON_AddTrueToObject(body.get(), "replace");
    std::string out;
    json_print_compact(body.get(), out);
    return out;
}

// After a registration that declared korvanectl itself: the daemon keeps a
// front UI current only while its process runs, and this one ends now.
void NoteShortRegistration() {
    fprintf(stderr,
            "korvanectl: note: this registration lasts only while korvanectl runs: it declared "
            "korvanectl itself (pid %ld), and the daemon forgets a front UI when its process "
            "exits\n"
            "korvanectl: to register a running UI, give its pid (as root): korvanectl "
            "ui-register --uuid UUID --name NAME --pid PID\n",
            static_cast<long>(getpid()));
}

bool ParseId(const Args &args, uint64_t *id) {
    std::string text = args.Get("--id", "1");
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || errno != 0 || *end != '\0') return false;
    *id = v;
    return true;
}

// The local time now in ISO 8601 with milliseconds:
// "2026-12-10T11:44:59.123+0000".
std::string IsoNow() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    char date[32], zone[8];
    if (localtime_r(&ts.tv_sec, &tm) == nullptr ||
        strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &tm) == 0 ||
        strftime(zone, sizeof(zone), "%z", &tm) == 0)
        return std::to_string(ts.tv_sec);
    char out[64];
    snprintf(out, sizeof(out), "%s.%03ld%s", date, ts.tv_nsec / 1000000, zone);
    return out;
}

// A notification with the time it arrived: in front of the line, or as the
// member "received" of the JSON object.
void PrintStamped(const korvane::Message &msg, const std::string &when, bool json) {
    if (!json) {
        printf("%s ", when.c_str());
        PrintMessage(msg, false, true);
        return;
    }
    JsonPtr tree = json_parse(msg.json);
    std::string text;
    if (tree != nullptr && cJSON_IsObject(tree.get()) &&
        cJSON_AddStringToObject(tree.get(), "received", when.c_str()) != nullptr &&
        json_print_compact(tree.get(), text))
        printf("%s\n", text.c_str());
    else
        printf("%s\n", Compact(msg.json).c_str());
    fflush(stdout);
}

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

}  // namespace

int Ask(const Args &args, Endpoint endpoint, const std::string &line, korvane::Message *reply) {
    Client client;
    int code = kExitOk;
    if (!ConnectTo(client, endpoint, args.timeout_ms, &code)) return code;
    if (!client.SendRaw(line)) return Fail(kExitNoReply, "send failed: " + client.error());
    long long deadline = NowMs() + args.timeout_ms;
    while (true) {
        long long left = deadline - NowMs();
        std::optional<korvane::Message> msg =
            client.ReadMessage(left > 0 ? static_cast<int>(left) : 0);
        if (!msg) {
            if (client.TimedOut())
                return Fail(kExitNoReply,
                            "no reply within " + std::to_string(args.timeout_ms) +
                                " ms (the daemon answers nothing to a line it cannot decode "
                                "or to a type it does not serve)");
            return Fail(kExitNoReply, "no reply: " + client.error());
        }
        if (!msg->has_result) continue;  // a notification, not our reply
        *reply = std::move(*msg);
        return kExitOk;
    }
}

int ReplyExitCode(const korvane::Message &reply) {
    if (reply.result == KORVANE_RESULT_NOT_PERMITTED)
        return Fail(kExitNotPermitted, "not permitted: the daemon refused this request from uid " +
                                           std::to_string(geteuid()) + "; see " +
                                           vk_paths::File(vk_paths::kAccessFile));
    if (reply.result == KORVANE_RESULT_OTHER_FUI)
        return Fail(kExitResult, korvane::ReplyText(reply));
    return reply.result == KORVANE_RESULT_OK ? kExitOk : kExitResult;
}

int RunProtocolCommand(const Args &args) {
    const RequestKind *kind = nullptr;
    for (const RequestKind &k : kKinds)
        if (args.command == k.command) kind = &k;
    if (kind == nullptr) return Fail(kExitUsage, "unknown command: " + args.command);
    if (!args.Has("--uuid")) return Fail(kExitUsage, args.command + ": --uuid is required");
    uint64_t id = 0;
    if (!ParseId(args, &id)) return Fail(kExitUsage, "--id takes an unsigned whole number");

    std::optional<std::string> body;
    std::string error;
    switch (kind->type) {
        case KORVANE_REQ_SECSOFT_REGISTER:
        case KORVANE_REQ_SECSOFT_UPDATE:
            if (!args.Has("--name") || !args.Has("--exec"))
                return Fail(kExitUsage, args.command + ": --name and --exec are required");
            body = ProductBody(args, &error);
            if (!body) return Fail(kExitUsage, "--data: " + error);
            break;
        case KORVANE_REQ_FUI_REGISTER:
            if (!args.Has("--name")) return Fail(kExitUsage, "ui-register: --name is required");
            body = UiBody(args, &error);
            if (!body) return Fail(kExitUsage, error);
            break;
        case KORVANE_REQ_SECSTAT_UPDATE:
        case KORVANE_REQ_SAVE_FUICONF:
            if (!CheckJson(args.positional[0], true, &error))
                return Fail(kExitUsage, args.command + ": " + error);
            body = args.positional[0];
            break;
        default:
            break;
    }
    std::optional<std::string> line =
        korvane::EncodeRequest(args.Get("--uuid"), id, kind->type, body, &error);
    if (!line) return Fail(kExitUsage, error);
    int code = Exchange(args, kind->endpoint, *line);
    if (kind->type == KORVANE_REQ_FUI_REGISTER && code == kExitOk && !args.Has("--pid"))
        NoteShortRegistration();
    return code;
}

int RunSend(const Args &args) {
    std::string socket = args.Get("--socket");
    Endpoint endpoint;
    if (socket == "product" || socket == "secsoft")
        endpoint = Endpoint::kSecSoft;
    else if (socket == "ui" || socket == "fui")
        endpoint = Endpoint::kFrontUi;
    else
        return Fail(kExitUsage, "send: --socket must be product or ui");

    if (args.Has("--text")) {
        if (args.Has("--type") || args.Has("--data") || args.Has("--uuid") || args.Has("--id"))
            return Fail(kExitUsage, "send: --text replaces --type, --uuid, --id and --data");
        return Exchange(args, endpoint, korvane::EncodeText(args.Get("--text")));
    }
    long long type = 0;
    if (!ParseInt(args.Get("--type"), 0, UINT32_MAX, &type))
        return Fail(kExitUsage, "send: --type takes a request type (0..4294967295)");
    uint64_t id = 0;
    if (!ParseId(args, &id)) return Fail(kExitUsage, "--id takes an unsigned whole number");
    std::optional<std::string> data;
    std::string error;
    if (args.Has("--data")) {
        if (!CheckJson(args.Get("--data"), false, &error))
            return Fail(kExitUsage, "--data: " + error);
        data = args.Get("--data");
    }
    std::optional<std::string> line =
        korvane::EncodeRequest(args.Get("--uuid"), id, static_cast<uint32_t>(type), data, &error);
    if (!line) return Fail(kExitUsage, error);
    return Exchange(args, endpoint, *line);
}

namespace {

// Sleeps ms milliseconds in short steps; false as soon as a stop signal
// came.
bool SleepUnlessStopped(int ms) {
    for (int slept = 0; slept < ms && !g_stop; slept += 100) {
        const int step = ms - slept < 100 ? ms - slept : 100;
        struct timespec ts = {0, step * 1000000L};
        nanosleep(&ts, nullptr);
    }
    return !g_stop;
}

// After the connection ended: connects again, waiting 0.2 s before the
// first try and twice as long before each next one, 5 s at most, until it
// succeeds or a stop signal comes. False when stopped.
bool Reconnect(Client &client, const Args &args, const std::string &why) {
    Fail(kExitOk, "connection lost (" + why + "), reconnecting");
    int wait_ms = 200;
    while (SleepUnlessStopped(wait_ms)) {
        client.SetConnectTimeout(args.timeout_ms);
        if (ConnectToDaemon(client, Endpoint::kFrontUi).empty()) {
            Fail(kExitOk, "daemon restarted, reconnected");
            return true;
        }
        wait_ms = wait_ms * 2 > 5000 ? 5000 : wait_ms * 2;
    }
    return false;
}

}  // namespace

std::string ConnectToDaemon(Client &client, Endpoint endpoint) {
    // The real daemon runs as root; a relocated one is a test or a try-out
    // that korvanectl's own user may run too.
    const bool relocated = !vk_paths::Root().empty();
    client.SetRequireRootPeer(!relocated);
    if (!client.Connect(endpoint)) return client.error();
    if (!relocated) return "";
    struct ucred cred;
    socklen_t len = sizeof(cred);
    std::string why;
    if (getsockopt(client.fd(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        why = std::string("getsockopt SO_PEERCRED: ") + strerror(errno);
    else if (cred.uid != 0 && cred.uid != geteuid())
        why = "refusing " + korvane::EndpointName(endpoint) + ": its listener runs as uid " +
              std::to_string(cred.uid) + " (pid " + std::to_string(cred.pid) +
              "), neither root nor uid " + std::to_string(geteuid());
    if (!why.empty()) client.Close();
    return why;
}

int RunWatch(const Args &args) {
    struct sigaction sa;
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Client client;
    int code = kExitOk;
    if (!ConnectTo(client, Endpoint::kFrontUi, args.timeout_ms, &code)) return code;
    if (!args.json)
        fprintf(stderr, "korvanectl: watching %s, interrupt to stop\n",
                korvane::EndpointName(Endpoint::kFrontUi).c_str());
    else
        fprintf(stderr, "korvanectl: watching\n");
    fflush(stderr);
    const bool stamps = args.Has("--timestamps");
    const bool follow = args.Has("--follow");
    // Short waits so that a stop signal is seen even if the read retries.
    while (!g_stop) {
        std::optional<korvane::Message> msg = client.ReadMessage(200);
        if (msg && stamps) {
            PrintStamped(*msg, IsoNow(), args.json);
            continue;
        }
        if (msg) {
            PrintMessage(*msg, args.json, true);
            continue;
        }
        if (client.TimedOut() || g_stop) continue;
        if (client.IsConnected() && client.error().rfind("decode", 0) == 0) {
            Fail(kExitOk, "skipped a line: " + client.error());
            continue;
        }
        if (!follow) return Fail(kExitNoReply, "watch ended: " + client.error());
        if (!Reconnect(client, args, client.error())) break;
    }
    return kExitOk;
}

}  // namespace korvanectl
