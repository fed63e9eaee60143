#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "tools/sim/program.h"

namespace vmod_sim {

std::string UsageText() {
    return R"(Usage: kv615mq-sim --root DIR --port N [settings]

A stand-in KV615MQ module on a pseudo-terminal linked as DIR/dev/COMn. It answers
"ATI4\r", "ATI5\r", "!!version\r" and the download commands, checks every line it is
sent (first-line block, CR LF, S-record type, count, checksum, addresses), keeps the
image it programmed and logs every command and line with its time in milliseconds.

  --root DIR              device root; the link is DIR/dev/COMn (DIR/dev is created)
  --port N                the COM port number n (1..255)

Module:
  --model TEXT            model in the "ATI4\r" reply (default KV615MQ)
  --firmware VER          firmware version in "ATI5\r" and "!!version\r" (default 1.03)
  --boot VER|none         boot-block version (default 1.01); none: the reply has no
                          boot-block field
  --layout current|older  "!!version\r" reply: current ("V-MOD FW ..." and
                          "BOOT Block Ver ...") or older ("Version: " and the boot-block
                          version) (default current)
  --latency MS            time from a command's or line's last byte to its reply
                          (fractions allowed; default 0)
  --pace                  pace both directions at 115200 baud 8N1 wire time
  --pace-baud N           the same at N baud
  --reset-gone MS|never   how long the port is away after "!!rESET" (default 3000)
  --partial-line MS       an unfinished line standing this long is judged as it is
                          (default 1000)
  --bad-line ack|nak|silent
                          reply to a line that fails its checks: "." anyway, the byte
                          "E", or nothing (default ack; the fault is logged either way)
  --boot-range A-B        boot image data must lie in [A, B] (hex with 0x, or decimal)
  --main-range A-B        the same for the main image

Faults (LINES: [boot:|main:]all or [boot:|main:]N[,N...], lines counted from 1, the
first block, within each image):
  --silent                answer nothing at all
  --decoy                 be a modem: echo, "OK" to AT commands, no model
  --garbage               answer every command with noise bytes
  --no-update boot|main|both
                          the download command's reply lacks "UPDATE" (the image is
                          still taken)
  --wrong-ack LINES       send a wrong byte before the "." of these lines
  --wrong-byte C          that byte (one character, or 0xNN; default ?)
  --lost-ack LINES        program these lines but lose their "."
  --late-ack LINES        program these lines and send their "." late
  --late-ack-delay MS     that late "." comes MS after the line (default 20000)
  --silent-from LINES     hang at the first of these lines: no more replies
  --pull-at LINES         the adapter is pulled as one of these lines arrives: the port
                          vanishes (the line is not programmed)
  --pulled-for MS|never   the port comes back MS after the pull (default never)
  --no-down N             answer the first N end markers of each image "BUSY" and
                          send a "." later, so the tool repeats the end marker
  --no-down-delay MS      that later "." comes MS after the end marker (default 7500)

Output:
  --log FILE              log here instead of the error stream
  --image-out FILE        main image as binary (lowest to highest address, gaps 0xFF),
                          written when it is complete and on exit
  --srec-out FILE         main image as S-records
  --boot-image-out FILE   boot image as binary
  --boot-srec-out FILE    boot image as S-records
  --expect FILE           when the main image is complete, print whether it equals the
                          firmware in FILE (S-records); exit status 0 only if it does and
                          the download had no faults
  --expect-boot FILE      the same for the boot image, judged with the main image
  --exit-after-update     end once the main image is complete and "DOWN" has been read
  --help                  this text

Exit status: 0 served (and every expected image matched), 1 an expected image differs,
is missing or came with faults, 2 bad options or the port could not be served.
SIGTERM and SIGINT end the program cleanly: the link is removed, images are written.
)";
}

namespace {

bool ParseUnsigned(const std::string& text, uint64_t* value) {
    int base = 10;
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), *value, base);
    return !digits.empty() && ec == std::errc() && end == digits.data() + digits.size();
}

bool ParseU32(const std::string& text, uint32_t* value) {
    uint64_t v = 0;
    if (!ParseUnsigned(text, &v) || v > UINT32_MAX) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

bool ParseRange(const std::string& text, std::optional<std::pair<uint32_t, uint32_t>>* out) {
    size_t dash = text.find('-');
    uint32_t a = 0;
    uint32_t b = 0;
    if (dash == std::string::npos || !ParseU32(text.substr(0, dash), &a) ||
        !ParseU32(text.substr(dash + 1), &b) || b < a) {
        return false;
    }
    *out = std::make_pair(a, b);
    return true;
}

} // namespace

ParseOutcome ParseProgramOptions(const std::vector<std::string>& args, ProgramOptions* options,
                                 std::string* error) {
    ProgramOptions o;
    Settings& s = o.settings;
    Faults& f = s.faults;
    using Handler = std::function<bool(const std::string&)>;
    // Options taking a value; each handler returns false when the value is malformed.
    const std::map<std::string, Handler> valued = {
        {"--root",
         [&](const std::string& v) {
             o.root = v;
             return !v.empty();
         }},
        {"--port",
         [&](const std::string& v) {
             uint32_t n = 0;
             if (!ParseU32(v, &n) || n < 1 || n > 255)
                 return false;
             o.port = static_cast<int>(n);
             return true;
         }},
        {"--model",
         [&](const std::string& v) {
             s.model = v;
             return true;
         }},
        {"--firmware",
         [&](const std::string& v) {
             s.firmwareVersion = v;
             return true;
         }},
        {"--boot",
         [&](const std::string& v) {
             if (v == "none") {
                 s.bootVersion.reset();
             } else {
                 s.bootVersion = v;
             }
             return true;
         }},
        {"--layout",
         [&](const std::string& v) {
             if (v != "current" && v != "older")
                 return false;
             s.layout = v == "current" ? VersionLayout::Current : VersionLayout::Older;
             return true;
         }},
        {"--latency",
         [&](const std::string& v) {
             char* end = nullptr;
             double ms = std::strtod(v.c_str(), &end);
             if (v.empty() || *end != '\0' || !(ms >= 0) || ms > 3.6e6)
                 return false;
             s.latencyUs = static_cast<uint32_t>(std::llround(ms * 1000));
             return true;
         }},
        {"--pace-baud",
         [&](const std::string& v) { return ParseU32(v, &s.paceBaud) && s.paceBaud > 0; }},
        {"--reset-gone",
         [&](const std::string& v) {
             if (v == "never") {
                 s.resetGoneMs.reset();
                 return true;
             }
             uint32_t ms = 0;
             if (!ParseU32(v, &ms))
                 return false;
             s.resetGoneMs = ms;
             return true;
         }},
        {"--partial-line",
         [&](const std::string& v) {
             return ParseU32(v, &s.partialLineMs) && s.partialLineMs > 0;
         }},
        {"--bad-line",
         [&](const std::string& v) {
             if (v == "ack")
                 s.badLineReply = BadLineReply::Ack;
             else if (v == "nak")
                 s.badLineReply = BadLineReply::Nak;
             else if (v == "silent")
                 s.badLineReply = BadLineReply::Silent;
             else
                 return false;
             return true;
         }},
        {"--boot-range", [&](const std::string& v) { return ParseRange(v, &s.bootRange); }},
        {"--main-range", [&](const std::string& v) { return ParseRange(v, &s.mainRange); }},
        {"--no-update",
         [&](const std::string& v) {
             if (v != "boot" && v != "main" && v != "both")
                 return false;
             f.noUpdateBoot = v != "main";
             f.noUpdateMain = v != "boot";
             return true;
         }},
        {"--wrong-ack", [&](const std::string& v) { return ParseLineSet(v, &f.wrongAck); }},
        {"--wrong-byte",
         [&](const std::string& v) {
             uint32_t b = 0;
             if (v.size() == 1) {
                 f.wrongByte = static_cast<uint8_t>(v[0]);
                 return true;
             }
             if (v.rfind("0x", 0) != 0 || !ParseU32(v, &b) || b > 255)
                 return false;
             f.wrongByte = static_cast<uint8_t>(b);
             return true;
         }},
        {"--lost-ack", [&](const std::string& v) { return ParseLineSet(v, &f.lostAck); }},
        {"--silent-from", [&](const std::string& v) { return ParseLineSet(v, &f.silentFrom); }},
        {"--late-ack", [&](const std::string& v) { return ParseLineSet(v, &f.lateAck); }},
        {"--late-ack-delay", [&](const std::string& v) { return ParseU32(v, &f.lateAckMs); }},
        {"--pull-at", [&](const std::string& v) { return ParseLineSet(v, &f.pulledAt); }},
        {"--pulled-for",
         [&](const std::string& v) {
             uint32_t ms = 0;
             if (v == "never")
                 f.pulledForMs.reset();
             else if (ParseU32(v, &ms))
                 f.pulledForMs = ms;
             else
                 return false;
             return true;
         }},
        {"--no-down",
         [&](const std::string& v) {
             uint32_t n = 0;
             if (!ParseU32(v, &n) || n > 1000)
                 return false;
             f.noDown = static_cast<int>(n);
             return true;
         }},
        {"--no-down-delay", [&](const std::string& v) { return ParseU32(v, &f.noDownAckDelayMs); }},
        {"--log",
         [&](const std::string& v) {
             o.logPath = v;
             return !v.empty();
         }},
        {"--image-out",
         [&](const std::string& v) {
             o.imageOut = v;
             return !v.empty();
         }},
        {"--srec-out",
         [&](const std::string& v) {
             o.srecOut = v;
             return !v.empty();
         }},
        {"--boot-image-out",
         [&](const std::string& v) {
             o.bootImageOut = v;
             return !v.empty();
         }},
        {"--boot-srec-out",
         [&](const std::string& v) {
             o.bootSrecOut = v;
             return !v.empty();
         }},
        {"--expect",
         [&](const std::string& v) {
             o.expect = v;
             return !v.empty();
         }},
        {"--expect-boot",
         [&](const std::string& v) {
             o.expectBoot = v;
             return !v.empty();
         }},
    };
    // Options without a value.
    const std::map<std::string, std::function<void()>> flags = {
        {"--pace", [&] { s.paceBaud = 115200; }},
        {"--silent", [&] { f.silent = true; }},
        {"--decoy", [&] { f.decoy = true; }},
        {"--garbage", [&] { f.garbage = true; }},
        {"--exit-after-update", [&] { o.exitAfterUpdate = true; }},
    };
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        if (name == "--help" || name == "-h") {
            return ParseOutcome::Help;
        }
        std::optional<std::string> value;
        const size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (auto flag = flags.find(name); flag != flags.end()) {
            if (value) {
                *error = name + " takes no value";
                return ParseOutcome::Error;
            }
            flag->second();
            continue;
        }
        auto handler = valued.find(name);
        if (handler == valued.end()) {
            *error = "unknown option " + name;
            return ParseOutcome::Error;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                *error = name + " needs a value";
                return ParseOutcome::Error;
            }
            value = args[++i];
        }
        if (!handler->second(*value)) {
            *error = "bad value for " + name + ": \"" + *value + "\"";
            return ParseOutcome::Error;
        }
    }
    if (o.root.empty() || o.port == 0) {
        *error = "--root and --port are required";
        return ParseOutcome::Error;
    }
    *options = std::move(o);
    return ParseOutcome::Run;
}

} // namespace vmod_sim
