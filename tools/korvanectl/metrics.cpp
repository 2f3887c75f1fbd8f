// korvanectl metrics: the protection verdict (request 1005) in Prometheus's
// text exposition format, version 0.0.4, for node_exporter's textfile
// collector. A daemon that does not answer still gives a file, korvane_up 0
// alone, and exit code 0: the collector then tells "down" from "stale".
// Product names and uuids come from any process that may register one, so
// every label value is made valid UTF-8 without control characters, cut to
// a bounded length and escaped before it is written.
#include <cjson/cJSON.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "korvanectl/cli.h"
#include "proto/codec/utf8.h"

namespace korvanectl {

namespace {

// The sender named in the request; the daemon answers whatever it is.
constexpr const char *kMetricsUuid = "korvanectl-metrics";

// The longest label value written, in bytes before escaping; longer ones
// are cut at a character and end in "…". A scrape that limits label
// lengths fails whole, so a peer must not be able to make one too long.
constexpr size_t kMaxLabelBytes = 512;

constexpr const char *kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr const char *kEllipsis = "\xE2\x80\xA6";     // U+2026

const char *const kVerdicts[] = {"protected", "at-risk", "unknown"};

// Valid UTF-8 in which no control character but the line feed is left: a
// byte that starts no well-formed sequence, and a control character (below
// 0x20, and 0x7f), becomes U+FFFD. Cut to kMaxLabelBytes.
std::string CleanText(const std::string &raw) {
    std::string out;
    for (size_t i = 0; i < raw.size();) {
        const size_t n = utf8_sequence_length(raw, i);
        const unsigned char c = static_cast<unsigned char>(raw[i]);
        if (n == 0 || (n == 1 && ((c < 0x20 && c != '\n') || c == 0x7F))) {
            out += kReplacement;
            i++;
        } else {
            out.append(raw, i, n);
            i += n;
        }
    }
    if (out.size() > kMaxLabelBytes) {
        size_t cut = kMaxLabelBytes - strlen(kEllipsis);
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) cut--;
        out.resize(cut);
        out += kEllipsis;
    }
    return out;
}

// A label value between its double quotes: backslash, double quote and
// line feed escaped as the format requires, the rest as CleanText left it.
std::string LabelValue(const std::string &raw) {
    std::string out;
    for (char c : CleanText(raw)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// A sample's value: whole numbers as digits, anything else as Go's
// ParseFloat reads it.
std::string Number(double v) {
    char buf[64];
    if (v == floor(v) && fabs(v) < 1e15)
        snprintf(buf, sizeof(buf), "%lld", static_cast<long long>(v));
    else
        snprintf(buf, sizeof(buf), "%.17g", v);
    return buf;
}

// One metric family: its HELP and TYPE lines and its samples ("name 1",
// "name{a=\"b\"} 0"); nothing at all when it has no sample.
struct Family {
    const char *name;
    const char *help;
    std::vector<std::string> samples;

    void Add(const std::string &labels, double value) {
        samples.push_back(std::string(name) + labels + " " + Number(value));
    }
    void AppendTo(std::string &out) const {
        if (samples.empty()) return;
        out += std::string("# HELP ") + name + " " + help + "\n";
        out += std::string("# TYPE ") + name + " gauge\n";
        for (const std::string &s : samples) out += s + "\n";
    }
};

// korvane_up with its one sample: 1 answered, 0 not.
Family UpFamily(int answered) {
    Family up{"korvane_up", "Whether veskkorvaned answered the protection request (1005).", {}};
    up.Add("", answered);
    return up;
}

std::string Down() {
    std::string out;
    UpFamily(0).AppendTo(out);
    return out;
}

// The families of an answered request: `data` is the reply's object, with
// a verdict known to be one of kVerdicts.
std::string Up(const cJSON *data, const std::string &verdict) {
    auto member = [data](const char *key) { return cJSON_GetObjectItemCaseSensitive(data, key); };
    Family up = UpFamily(1);
    Family prot{"korvane_protected", "Whether the verdict is protected (1) or not (0).", {}};
    Family verd{
        "korvane_verdict", "The protection verdict: 1 for the one given, 0 for the others.", {}};
    Family info{"korvane_product_info",
                "The current security product, always 1; absent when none is active.",
                {}};
    Family watched{"korvane_product_watched",
                   "Whether the daemon watches the current product's program (1) or not (0).",
                   {}};
    Family alive{"korvane_product_alive",
                 "Whether the current product's program runs (1) or not (0); absent when it is "
                 "not watched.",
                 {}};
    Family report{"korvane_last_report_timestamp_seconds",
                  "Unix time of the current product's last status report; absent when it has "
                  "reported none.",
                  {}};
    Family reason{"korvane_reason",
                  "The verdict's reasons by their stable codes, 1 each (docs/protocol.md lists "
                  "them).",
                  {}};
    Family def{"korvane_default_product_started",
               "Whether the front UIs were last told to start (1) or to stop (0) the default "
               "product; absent when neither.",
               {}};

    prot.Add("", verdict == "protected" ? 1 : 0);
    for (const char *v : kVerdicts)
        verd.Add(std::string("{verdict=\"") + v + "\"}", verdict == v ? 1 : 0);
    const cJSON *product = member("product");
    if (cJSON_IsString(product)) {
        const cJSON *name = member("name");
        info.Add("{uuid=\"" + LabelValue(product->valuestring) + "\",name=\"" +
                     LabelValue(cJSON_IsString(name) ? name->valuestring : "") + "\"}",
                 1);
        const cJSON *a = member("alive");
        watched.Add("", cJSON_IsBool(a) ? 1 : 0);
        if (cJSON_IsBool(a)) alive.Add("", cJSON_IsTrue(a) ? 1 : 0);
        const cJSON *t = member("last_report");
        if (cJSON_IsNumber(t) && t->valuedouble > 0) report.Add("", t->valuedouble);
    }
    const cJSON *code;
    cJSON_ArrayForEach(code, member("codes")) {
        if (cJSON_IsString(code)) reason.Add("{code=\"" + LabelValue(code->valuestring) + "\"}", 1);
    }
    const cJSON *d = member("default");
    if (cJSON_IsString(d) && strcmp(d->valuestring, "started") == 0) def.Add("", 1);
    if (cJSON_IsString(d) && strcmp(d->valuestring, "stopped") == 0) def.Add("", 0);

    std::string out;
    for (const Family *f : {&up, &prot, &verd, &reason, &info, &watched, &alive, &report, &def})
        f->AppendTo(out);
    return out;
}

// Asks the daemon; the exposition of what it answered, or of korvane_up 0
// when it did not answer usefully (why, on stderr).
std::string Collect(const Args &args) {
    std::string error;
    std::optional<std::string> line =
        korvane::EncodeRequest(kMetricsUuid, 1, KORVANE_REQ_GET_HEALTH, std::nullopt, &error);
    if (!line) {
        Fail(kExitUsage, error);
        return Down();
    }
    korvane::Message reply;
    if (Ask(args, korvane::Endpoint::kFrontUi, *line, &reply) != kExitOk) return Down();
    if (reply.result != KORVANE_RESULT_OK) {
        Fail(kExitResult, "request 1005 failed: result " + std::to_string(reply.result) + " (" +
                              ResultName(reply.result) + ")");
        return Down();
    }
    JsonPtr data = reply.has_data ? json_parse(reply.data) : nullptr;
    const cJSON *verdict = cJSON_GetObjectItemCaseSensitive(data.get(), "verdict");
    if (cJSON_IsObject(data.get()) && cJSON_IsString(verdict))
        for (const char *v : kVerdicts)
            if (strcmp(verdict->valuestring, v) == 0) return Up(data.get(), v);
    Fail(kExitNoReply,
         "the reply to request 1005 carries no known verdict: " + Compact(reply.json));
    return Down();
}

bool WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Whether `path` can name a file: it has a last component, and that is
// neither "." nor "..".
bool NamesAFile(const std::string &path) {
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return !base.empty() && base != "." && base != "..";
}

// Replaces `path` (which NamesAFile) with `text` so that a reader sees the old file or the new
// one, never a part: a temporary file in the same directory (hidden, and
// not named *.prom, so the collector skips it), mode 0644, flushed to disk,
// then renamed over `path`. The temporary is removed on any failure.
int WriteAtomically(const std::string &path, const std::string &text) {
    const size_t slash = path.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = (dir == "/" ? "" : dir) + "/." + base + ".XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0)
        return Fail(kExitWrite,
                    "cannot create a temporary file in " + dir + ": " + strerror(errno));
    std::string failed;  // the first step that failed, and why
    auto check = [&failed, &tmp](bool ok, const char *what) {
        if (!ok && failed.empty()) failed = std::string(what) + " " + tmp + ": " + strerror(errno);
    };
    check(fchmod(fd, 0644) == 0, "cannot set the mode of");
    if (failed.empty()) check(WriteAll(fd, text), "cannot write");
    if (failed.empty()) check(fsync(fd) == 0, "cannot flush");
    check(close(fd) == 0, "cannot close");
    if (failed.empty() && rename(tmp.c_str(), path.c_str()) != 0)
        failed = "cannot rename " + tmp + " to " + path + ": " + strerror(errno);
    if (!failed.empty()) {
        unlink(tmp.c_str());
        return Fail(kExitWrite, failed);
    }
    // The rename itself reaches the disk with the directory.
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return kExitOk;
}

}  // namespace

int RunMetrics(const Args &args) {
    if (args.json)
        return Fail(kExitUsage,
                    "metrics: --json does not apply: the output is Prometheus's "
                    "text format");
    if (args.Has("--output") && !NamesAFile(args.Get("--output")))
        return Fail(kExitUsage,
                    "--output takes the path of a file, not \"" + args.Get("--output") + "\"");
    const std::string text = Collect(args);
    if (args.Has("--output")) return WriteAtomically(args.Get("--output"), text);
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0)
        return Fail(kExitWrite, std::string("cannot write to standard output: ") + strerror(errno));
    return kExitOk;
}

}  // namespace korvanectl
