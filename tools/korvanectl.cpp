// korvanectl: command-line client of veskkorvaned. Sends the protocol's
// requests and prints the decoded replies, watches the notifications sent
// to front UIs, and shows the registry as the daemon stored it. Honours
// VESKKORVANED_ROOT like the daemon.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "korvanectl/cli.h"

namespace korvanectl {

const std::vector<Command> &Commands() {
    static const std::vector<Command> commands = {
        {"register",
         {"--uuid", "--name", "--exec", "--data", "--id"},
         0,
         "register --uuid UUID --name NAME --exec PATH [--data OBJECT]",
         "Registers a security product (request 2000). The detail is an object\n"
         "with \"name\" and \"exec\" and the members of --data.",
         RunProtocolCommand},
        {"update",
         {"--uuid", "--name", "--exec", "--data", "--id"},
         0,
         "update --uuid UUID --name NAME --exec PATH [--data OBJECT]",
         "Updates a security product's detail (request 2003).",
         RunProtocolCommand},
        {"report",
         {"--uuid", "--id"},
         1,
         "report --uuid UUID STATUS-OBJECT",
         "Reports a security product's status (request 2002); the object is\n"
         "stored and forwarded to front UIs as it is.",
         RunProtocolCommand},
        {"unregister",
         {"--uuid", "--id"},
         0,
         "unregister --uuid UUID",
         "Unregisters a security product (request 2001).",
         RunProtocolCommand},
        {"ui-register",
         {"--uuid", "--name", "--pid", "--euid", "--login-uid", "--replace", "--id"},
         0,
         "ui-register --uuid UUID --name NAME [--pid N] [--euid N] [--login-uid N] [--replace]",
         "Registers a front UI (request 1000). The daemon keeps a front UI\n"
         "current only while the process it declares runs. Without --pid that\n"
         "is korvanectl itself, so the registration ends when korvanectl exits\n"
         "(a note on stderr says so). --pid N registers on behalf of the running\n"
         "process N (root may declare any process): its effective uid and login\n"
         "uid (from /proc/N) become --euid and --login-uid unless given; a pid of\n"
         "no process is a usage error. Result 104 (another front UI is\n"
         "registered, with its pid) ends in exit code 1. --replace (root) takes\n"
         "the place of the current front UI instead; every front UI is told\n"
         "(notification 1505).",
         RunProtocolCommand},
        {"get-product",
         {"--uuid", "--id"},
         0,
         "get-product --uuid FRONT-UI-UUID",
         "Asks for the active security product's detail (request 1001), as the\n"
         "registered front UI with that uuid.",
         RunProtocolCommand},
        {"get-status",
         {"--uuid", "--id"},
         0,
         "get-status --uuid FRONT-UI-UUID",
         "Asks for the active security product's status (request 1002).",
         RunProtocolCommand},
        {"save-config",
         {"--uuid", "--id"},
         1,
         "save-config --uuid FRONT-UI-UUID CONFIG-OBJECT",
         "Stores a front UI's configuration (request 1003).",
         RunProtocolCommand},
        {"get-config",
         {"--uuid", "--id"},
         0,
         "get-config --uuid FRONT-UI-UUID",
         "Reads a front UI's configuration back (request 1004).",
         RunProtocolCommand},
        {"health",
         {},
         0,
         "health",
         "Asks for the daemon's protection verdict (request 1005, answered to\n"
         "anyone) and prints it: protected, at-risk or unknown, then the current\n"
         "product, whether its program runs, its protection and signatures as it\n"
         "last reported them, the time of that report, the default product's\n"
         "state and each reason. --json prints the reply's \"data\" object as one\n"
         "line. Exit code 0 protected, 8 at-risk, 9 unknown.",
         RunHealth},
        {"metrics",
         {"--output"},
         0,
         "metrics [--output FILE]",
         "Asks for the protection verdict (request 1005) and prints it as\n"
         "Prometheus metrics, in the text format 0.0.4 that node_exporter's\n"
         "textfile collector reads: korvane_up, korvane_protected,\n"
         "korvane_verdict{verdict}, korvane_product_info{uuid,name},\n"
         "korvane_product_watched, korvane_product_alive (absent when not\n"
         "watched), korvane_last_report_timestamp_seconds (absent when none)\n"
         "and korvane_default_product_started (absent when neither started nor\n"
         "stopped). A daemon that does not answer within --timeout gives\n"
         "korvane_up 0 alone, and exit code 0. --output FILE replaces FILE\n"
         "atomically: a temporary file in its directory, mode 0644, flushed to\n"
         "disk and renamed over it; when that fails FILE is left as it was, the\n"
         "temporary is removed and the exit code is 10.",
         RunMetrics},
        {"send",
         {"--socket", "--type", "--uuid", "--id", "--data", "--text"},
         0,
         "send --socket product|ui --type N [--uuid UUID] [--id N] [--data JSON]\n"
         "       send --socket product|ui --text TEXT",
         "Sends any envelope to either socket and prints the reply. --data may\n"
         "be any JSON value. --text sends the text base64-encoded as it is, for\n"
         "envelopes the typed form cannot express. The daemon does not answer a\n"
         "line it cannot decode or a type it does not serve: that ends in exit\n"
         "code 4 after --timeout.",
         RunSend},
        {"watch",
         {"--timestamps", "--follow"},
         0,
         "watch [--timestamps] [--follow]",
         "Connects to the front-UI socket and prints every notification as it\n"
         "arrives, one per line, until interrupted (SIGINT or SIGTERM, exit 0).\n"
         "--timestamps puts the local time it arrived in front of each, in ISO\n"
         "8601 with milliseconds (2026-12-10T11:44:59.123+0000); with --json it\n"
         "becomes the member \"received\" of the notification's object.\n"
         "When the daemon closes the connection (it stops or restarts), watch\n"
         "ends with exit code 4; with --follow it connects again instead, after\n"
         "0.2 s, then waiting twice as long before each next try (5 s at most),\n"
         "says so on stderr (\"daemon restarted, reconnected\") and goes on\n"
         "until interrupted.",
         RunWatch},
        {"show",
         {},
         0,
         "show",
         "Shows the registry as stored in the daemon's database, read-only:\n"
         "front UIs, security products (each one's status in words, the time of\n"
         "its last status report and whether its program runs, as last seen by\n"
         "the daemon), which product is current, the default product and its\n"
         "state. A database written by an older daemon records neither the\n"
         "current product nor reports and liveness: show says they are not\n"
         "recorded.",
         RunShow},
        {"status",
         {},
         0,
         "status",
         "Tells whether the daemon runs: its PID file, whether the file's lock\n"
         "is held (read from /proc/locks, the file is never locked or changed),\n"
         "the pid in it and whether that process exists, its uptime, and whether\n"
         "both sockets answer (the front-UI socket is asked request 1001). Exit\n"
         "code 0 when it runs and both sockets answer, 3 when it does not run,\n"
         "7 when it runs but a socket does not answer, or a socket answers\n"
         "while no process holds the PID file.",
         RunStatus},
    };
    return commands;
}

bool IsFlag(const std::string &option) {
    return option == "--timestamps" || option == "--follow" || option == "--replace";
}

}  // namespace korvanectl

namespace {

using korvanectl::Args;
using korvanectl::Command;

const char kExitCodes[] =
    "Exit codes:\n"
    "  0  success (the reply's \"result\" is 0; health: the verdict is protected)\n"
    "  1  the daemon answered with a non-zero \"result\"\n"
    "  2  usage error\n"
    "  3  the daemon is not running, its socket refused the connection, or it\n"
    "     did not take the connection within --timeout\n"
    "  4  no reply (timeout, connection closed, undecodable reply)\n"
    "  5  the registry database cannot be read (show)\n"
    "  6  not permitted: the daemon's access policy refused the request\n"
    "  7  status: the daemon runs but a socket does not answer, or a socket\n"
    "     answers while no process holds the PID file\n"
    "  8  health: the verdict is at-risk\n"
    "  9  health: the verdict is unknown\n"
    "  10 metrics: the output cannot be written\n";

void PrintUsage(FILE *out) {
    fprintf(out,
            "Usage: korvanectl [--json] [--timeout MS] COMMAND [OPTIONS]\n"
            "       korvanectl COMMAND --help\n"
            "       korvanectl --version\n\n"
            "Client of veskkorvaned, the registry of the installed security software.\n\n"
            "Security product requests (socket of the products):\n"
            "  register, update, report, unregister\n"
            "Front-UI requests (socket of the front UIs):\n"
            "  ui-register, get-product, get-status, save-config, get-config\n"
            "Other:\n"
            "  health   the protection verdict, asked of the daemon (0, 8 or 9)\n"
            "  metrics  the verdict as Prometheus metrics, for node_exporter\n"
            "  send     any envelope to either socket\n"
            "  watch    print the notifications sent to front UIs\n"
            "  show     the stored registry, read from the database\n"
            "  status   whether the daemon runs and its sockets answer\n\n"
            "Options:\n"
            "  --json        one JSON object per line instead of readable text\n"
            "  --timeout MS  how long to wait for the connection and for a reply (default 5000)\n"
            "  --id N        the request id (default 1)\n"
            "  --timestamps  watch: the time each notification arrived\n"
            "  --output FILE metrics: replace FILE atomically instead of printing\n"
            "  --help        this text, or a command's\n"
            "  --version     the version\n\n"
            "VESKKORVANED_ROOT relocates the sockets and the database as for the daemon.\n\n"
            "%s",
            kExitCodes);
}

void PrintCommandHelp(const Command &c) {
    printf("Usage: korvanectl [--json] [--timeout MS] %s\n\n%s\n\n%s", c.synopsis, c.help,
           kExitCodes);
}

// Whether any command takes the option, or it is --timeout: anything else
// is unknown, whichever command it comes with.
bool KnownOption(const std::string &option) {
    if (option == "--timeout") return true;
    for (const Command &c : korvanectl::Commands())
        for (const std::string &o : c.options)
            if (o == option) return true;
    return false;
}

const Command *FindCommand(const std::string &name) {
    for (const Command &c : korvanectl::Commands())
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    Args args;
    bool version = false;
    std::vector<std::string> valued;  // options seen that take a value
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--json") {
            args.json = true;
        } else if (a == "--help" || a == "-h") {
            args.help = true;
        } else if (a == "--version") {
            version = true;
        } else if (a.size() > 1 && a[0] == '-') {
            std::string value;
            size_t eq = a.find('=');
            if (eq != std::string::npos) a = a.substr(0, eq);
            if (!KnownOption(a))
                return korvanectl::Fail(korvanectl::kExitUsage, "unknown option " + a);
            if (korvanectl::IsFlag(a)) {
                if (eq != std::string::npos)
                    return korvanectl::Fail(korvanectl::kExitUsage, a + " takes no value");
            } else if (eq != std::string::npos) {
                value = argv[i] + eq + 1;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return korvanectl::Fail(korvanectl::kExitUsage, a + " needs a value");
            }
            if (a == "--timeout") {
                char *end = nullptr;
                long v = strtol(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || v < 0 || v > 3600000)
                    return korvanectl::Fail(korvanectl::kExitUsage,
                                            "--timeout takes milliseconds (0..3600000)");
                args.timeout_ms = static_cast<int>(v);
            } else {
                if (args.options.count(a))
                    return korvanectl::Fail(korvanectl::kExitUsage, a + " given twice");
                args.options[a] = value;
            }
        } else if (args.command.empty()) {
            args.command = a;
        } else {
            args.positional.push_back(a);
        }
    }

    if (version) {
        printf("korvanectl %s\n", VK_VERSION);
        return korvanectl::kExitOk;
    }
    if (args.command.empty()) {
        if (args.help) {
            PrintUsage(stdout);
            return korvanectl::kExitOk;
        }
        PrintUsage(stderr);
        return korvanectl::kExitUsage;
    }
    const Command *cmd = FindCommand(args.command);
    if (cmd == nullptr)
        return korvanectl::Fail(korvanectl::kExitUsage,
                                "unknown command: " + args.command + " (see korvanectl --help)");
    if (args.help) {
        PrintCommandHelp(*cmd);
        return korvanectl::kExitOk;
    }
    for (const auto &kv : args.options) {
        bool known = false;
        for (const std::string &o : cmd->options) known = known || o == kv.first;
        if (!known)
            return korvanectl::Fail(korvanectl::kExitUsage, args.command + " takes no option " +
                                                                kv.first + " (see korvanectl " +
                                                                args.command + " --help)");
    }
    if (args.positional.size() != cmd->positional)
        return korvanectl::Fail(korvanectl::kExitUsage,
                                args.command + " takes " + std::to_string(cmd->positional) +
                                    " argument(s) (see korvanectl " + args.command + " --help)");
    return cmd->run(args);
}
