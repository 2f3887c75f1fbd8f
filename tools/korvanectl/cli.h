// Shared pieces of korvanectl: the parsed command line, exit codes and the
// output of decoded messages. Every command writes its result to stdout
// (human-readable, or one JSON object per line with --json) and its
// failures to stderr, and returns one of the exit codes below.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "client/korvane_client.h"
#include "proto/codec/json.h"

namespace korvanectl {

enum ExitCode {
    kExitOk = 0,
    kExitResult = 1,        // the daemon answered with a non-zero "result"
    kExitUsage = 2,         // bad command line
    kExitNoDaemon = 3,      // cannot connect: not running, refused, or no room in time
    kExitNoReply = 4,       // connected, but no (decodable) reply came
    kExitDatabase = 5,      // show: the database cannot be read
    kExitNotPermitted = 6,  // the daemon's access policy refused the request
    kExitDegraded = 7,      // status: runs without answering, or answers without running
    kExitAtRisk = 8,        // health: the verdict is "at-risk"
    kExitUnknown = 9,       // health: the verdict is "unknown"
    kExitWrite = 10,        // metrics: the output cannot be written
};

struct Args {
    std::string command;
    std::map<std::string, std::string> options;  // "--name" -> value
    std::vector<std::string> positional;
    bool json = false;
    bool help = false;
    int timeout_ms = 5000;

    // Options without a value (--timestamps) are present with "".
    bool Has(const std::string &opt) const { return options.count(opt) != 0; }
    std::string Get(const std::string &opt, const std::string &def = "") const {
        auto it = options.find(opt);
        return it == options.end() ? def : it->second;
    }
};

// One command: its name, the options it takes (each takes a value, except
// the flags of IsFlag), how many positional arguments, its help text and
// what runs it.
struct Command {
    const char *name;
    std::vector<std::string> options;
    size_t positional;
    const char *synopsis;
    const char *help;
    int (*run)(const Args &args);
};

const std::vector<Command> &Commands();

// Whether an option is a flag, given without a value.
bool IsFlag(const std::string &option);

// Names of result codes and of request and notification types.
const char *ResultName(int result);
const char *TypeName(uint32_t type);

// Prints a reply or notification: one line of JSON with --json, otherwise
// a few labelled lines (`one_line`: a single line, for watch).
void PrintMessage(const korvane::Message &msg, bool json, bool one_line);

// "korvanectl: " + message on stderr; returns `code`.
int Fail(int code, const std::string &message);

// JSON text again, compact; the text itself when it does not parse.
std::string Compact(const std::string &json);

// Seconds since the epoch as local time in a strftime format; the number
// itself when it cannot be converted.
std::string LocalTime(long long t, const char *format) __attribute__((format(strftime, 2, 0)));

// Parses text as JSON; false with a message when it is not.
bool CheckJson(const std::string &text, bool must_be_object, std::string *error);

// Connects to the daemon's socket and makes sure of who listens: root, or,
// under a relocation root, also this program's own user (a try-out daemon
// started by that user). Another user's process may have bound the name
// while no daemon ran. "" when connected, else why not (closed).
std::string ConnectToDaemon(korvane::Client &client, korvane::Endpoint endpoint);

// Sends the line and waits for the reply (notifications that come first
// are skipped). kExitOk with the reply in *reply; otherwise the exit code,
// the failure already told on stderr.
int Ask(const Args &args, korvane::Endpoint endpoint, const std::string &line,
        korvane::Message *reply);
// The exit code for a reply's result: 0, 1, or 6 when the access policy
// refused; a refusal or another front UI is told on stderr.
int ReplyExitCode(const korvane::Message &reply);

int RunProtocolCommand(const Args &args);
int RunSend(const Args &args);
int RunWatch(const Args &args);
int RunShow(const Args &args);
int RunStatus(const Args &args);
int RunHealth(const Args &args);
int RunMetrics(const Args &args);

}  // namespace korvanectl
