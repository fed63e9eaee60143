// kv615mq-sim's command line, read by CLI11 as every program of the project reads its own.
// Numbers are decimal or hex with 0x, never octal: "010" is ten, as the module's settings
// have always been written. LINES, address ranges, MS|never and the wrong byte are the
// module's own syntaxes, read by the parsers below.
#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <map>

#include "tools/common/cli_help.h"
#include "tools/sim/program.h"

namespace vmod_sim {

namespace {

const char kUsage[] = "Usage: kv615mq-sim --root DIR --port N [settings]\n";

const char kDescription[] =
    R"(A stand-in KV615MQ module on a pseudo-terminal linked as DIR/dev/COMn. It answers
"ATI4\r", "ATI5\r", "!!version\r" and the download commands, checks every line it is
sent (first-line block, CR LF, S-record type, count, checksum, addresses), keeps the
image it programmed and logs every command and line with its time in milliseconds.)";

const char kModule[] = "Module";
const char kFaults[] = "Faults";
const char kLinesNote[] =
    "(LINES: [boot:|main:]all or [boot:|main:]N[,N...], lines counted from 1, the\n"
    "first block, within each image)";
const char kOutput[] = "Output";

const char kFooter[] =
    R"(Exit status: 0 served (and every expected image matched), 1 an expected image differs,
is missing or came with faults, 2 bad options or the port could not be served.
SIGTERM and SIGINT end the program cleanly: the link is removed, images are written.)";

// The column the explanations start in.
constexpr size_t kHelpColumn = 26;

bool ParseUnsigned(std::string_view digits, uint64_t* value) {
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), *value, base);
    return !digits.empty() && ec == std::errc() && end == digits.data() + digits.size();
}

bool ParseU32(std::string_view text, uint32_t* value) {
    uint64_t v = 0;
    if (!ParseUnsigned(text, &v) || v > UINT32_MAX) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// "A-B", A <= B.
bool ParseRange(std::string_view text, std::optional<std::pair<uint32_t, uint32_t>>* out) {
    size_t dash = text.find('-');
    uint32_t a = 0;
    uint32_t b = 0;
    if (dash == std::string_view::npos || !ParseU32(text.substr(0, dash), &a) ||
        !ParseU32(text.substr(dash + 1), &b) || b < a) {
        return false;
    }
    *out = std::make_pair(a, b);
    return true;
}

// "MS" or "never" (nullopt).
bool ParseMsOrNever(std::string_view text, std::optional<uint32_t>* out) {
    uint32_t ms = 0;
    if (text == "never") {
        out->reset();
    } else if (ParseU32(text, &ms)) {
        *out = ms;
    } else {
        return false;
    }
    return true;
}

// One character as it is, or "0xNN".
bool ParseWrongByte(std::string_view text, uint8_t* out) {
    uint32_t b = 0;
    if (text.size() == 1) {
        *out = static_cast<uint8_t>(text[0]);
        return true;
    }
    if (!text.starts_with("0x") || !ParseU32(text, &b) || b > 255) {
        return false;
    }
    *out = static_cast<uint8_t>(b);
    return true;
}

// Hands CLI11's conversion and range checks a number as decimal text.
const CLI::Validator kNumber(
    [](std::string& text) {
        uint64_t value = 0;
        if (!ParseUnsigned(text, &value)) {
            return "\"" + text + "\" is not a number (decimal, or hex with 0x)";
        }
        text = std::to_string(value);
        return std::string();
    },
    "", "NUMBER");

// An option in one of the module's own syntaxes. Every value given is read in turn, the last
// one standing; a value parse refuses ends the parse naming the option and the value.
template <typename T, typename Parse>
CLI::Option* AddParsed(CLI::App& app, const std::string& name, T* target, Parse parse,
                       const std::string& help) {
    return app
        .add_option(
            name,
            [name, target, parse](const CLI::results_t& values) {
                for (const std::string& value : values) {
                    if (!parse(value, target)) {
                        throw CLI::ValidationError("bad value for " + name + ": \"" + value + "\"");
                    }
                }
                return true;
            },
            help)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// Every option, its help text and where it lands in o. The texts are the ones --help shows; an
// option's type name is the placeholder the help and CLI11's messages show for its value, so
// the validators add no description to it.
void DescribeOptions(CLI::App& app, ProgramOptions& o) {
    Settings& s = o.settings;
    Faults& f = s.faults;
    vmod_cli::SetHelpLayout(&app, kUsage, kHelpColumn).GroupNote(kFaults, kLinesNote);
    app.description(kDescription);
    app.footer(kFooter);
    // As before CLI11: an option given twice takes its last value, and a flag takes none.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.option_defaults()->disable_flag_override();
    // Unknown arguments are reported by ParseProgramOptions, in the program's words.
    app.allow_extras();

    app.add_option("--root", o.root, "device root; the link is DIR/dev/COMn (DIR/dev is created)")
        ->type_name("DIR")
        ->check(vmod_cli::kNotEmpty)
        ->required();
    app.add_option("--port", o.port, "the COM port number n (1..255)")
        ->type_name("N")
        ->transform(kNumber)
        ->check(CLI::Range(1, 255).description(""))
        ->required();

    app.add_option("--model", s.model, "model in the \"ATI4\\r\" reply (default KV615MQ)")
        ->type_name("TEXT")
        ->group(kModule);
    app.add_option("--firmware", s.firmwareVersion,
                   "firmware version in \"ATI5\\r\" and \"!!version\\r\" (default 1.03)")
        ->type_name("VER")
        ->group(kModule);
    app.add_option_function<std::string>(
           "--boot",
           [&s](const std::string& v) {
               s.bootVersion = v == "none" ? std::nullopt : std::optional<std::string>(v);
           },
           "boot-block version (default 1.01); none: the reply has no\nboot-block field")
        ->type_name("VER|none")
        ->group(kModule);
    static const std::map<std::string, VersionLayout> kLayouts = {
        {"current", VersionLayout::Current}, {"older", VersionLayout::Older}};
    app.add_option_function<std::string>(
           "--layout", [&s](const std::string& v) { s.layout = kLayouts.at(v); },
           "\"!!version\\r\" reply: current (\"V-MOD FW ...\" and\n\"BOOT Block Ver ...\") or "
           "older (\"Version: \" and the boot-block\nversion) (default current)")
        ->type_name("current|older")
        ->check(CLI::IsMember(kLayouts).description(""))
        ->group(kModule);
    app.add_option_function<double>(
           "--latency",
           [&s](double ms) {
               if (std::isnan(ms)) {
                   throw CLI::ValidationError("--latency", "Value nan is not a number");
               }
               s.latencyUs = static_cast<uint32_t>(std::llround(ms * 1000));
           },
           "time from a command's or line's last byte to its reply\n(fractions allowed; "
           "default 0)")
        ->type_name("MS")
        ->check(CLI::Range(0.0, 3.6e6).description(""))
        ->group(kModule);
    // --pace and --pace-baud set one thing; the one given last counts.
    app.add_flag_callback(
           "--pace", [&s] { s.paceBaud = 115200; },
           "pace both directions at 115200 baud 8N1 wire time")
        ->trigger_on_parse()
        ->group(kModule);
    app.add_option("--pace-baud", s.paceBaud, "the same at N baud")
        ->type_name("N")
        ->transform(kNumber)
        ->check(CLI::Range(1u, UINT32_MAX).description(""))
        ->trigger_on_parse()
        ->group(kModule);
    AddParsed(app, "--reset-gone", &s.resetGoneMs, ParseMsOrNever,
              "how long the port is away after \"!!rESET\" (default 3000)")
        ->type_name("MS|never")
        ->group(kModule);
    app.add_option("--partial-line", s.partialLineMs,
                   "an unfinished line standing this long is judged as it is\n(default 1000)")
        ->type_name("MS")
        ->transform(kNumber)
        ->check(CLI::Range(1u, UINT32_MAX).description(""))
        ->group(kModule);
    static const std::map<std::string, BadLineReply> kBadLineReplies = {
        {"ack", BadLineReply::Ack}, {"nak", BadLineReply::Nak}, {"silent", BadLineReply::Silent}};
    app.add_option_function<std::string>(
           "--bad-line", [&s](const std::string& v) { s.badLineReply = kBadLineReplies.at(v); },
           "reply to a line that fails its checks: \".\" anyway, the byte\n\"E\", or nothing "
           "(default ack; the fault is logged either way)")
        ->type_name("ack|nak|silent")
        ->check(CLI::IsMember(kBadLineReplies).description(""))
        ->group(kModule);
    AddParsed(app, "--boot-range", &s.bootRange, ParseRange,
              "boot image data must lie in [A, B] (hex with 0x, or decimal)")
        ->type_name("A-B")
        ->group(kModule);
    AddParsed(app, "--main-range", &s.mainRange, ParseRange, "the same for the main image")
        ->type_name("A-B")
        ->group(kModule);

    app.add_flag("--silent", f.silent, "answer nothing at all")->group(kFaults);
    app.add_flag("--decoy", f.decoy, "be a modem: echo, \"OK\" to AT commands, no model")
        ->group(kFaults);
    app.add_flag("--garbage", f.garbage, "answer every command with noise bytes")->group(kFaults);
    app.add_option_function<std::string>(
           "--no-update",
           [&f](const std::string& v) {
               f.noUpdateBoot = v != "main";
               f.noUpdateMain = v != "boot";
           },
           "the download command's reply lacks \"UPDATE\" (the image is\nstill taken)")
        ->type_name("boot|main|both")
        ->check(CLI::IsMember({"boot", "main", "both"}).description(""))
        ->group(kFaults);
    AddParsed(app, "--wrong-ack", &f.wrongAck, ParseLineSet,
              "send a wrong byte before the \".\" of these lines")
        ->type_name("LINES")
        ->group(kFaults);
    AddParsed(app, "--wrong-byte", &f.wrongByte, ParseWrongByte,
              "that byte (one character, or 0xNN; default ?)")
        ->type_name("C")
        ->group(kFaults);
    AddParsed(app, "--lost-ack", &f.lostAck, ParseLineSet,
              "program these lines but lose their \".\"")
        ->type_name("LINES")
        ->group(kFaults);
    AddParsed(app, "--garbled-ack", &f.garbledAck, ParseLineSet,
              "program these lines but send noise instead of their \".\"")
        ->type_name("LINES")
        ->group(kFaults);
    AddParsed(app, "--cut-reply", &f.cut, ParseReplyCut,
              "send only the first N bytes of that reply; the rest follows MS\nlater, or "
              "never (REPLY: model, firmware, version, boot-update,\nmain-update, boot-down, "
              "main-down)")
        ->type_name("REPLY:N[+MS]")
        ->group(kFaults);
    AddParsed(app, "--late-ack", &f.lateAck, ParseLineSet,
              "program these lines and send their \".\" late")
        ->type_name("LINES")
        ->group(kFaults);
    app.add_option("--late-ack-delay", f.lateAckMs,
                   "that late \".\" comes MS after the line (default 20000)")
        ->type_name("MS")
        ->transform(kNumber)
        ->group(kFaults);
    AddParsed(app, "--silent-from", &f.silentFrom, ParseLineSet,
              "hang at the first of these lines: no more replies")
        ->type_name("LINES")
        ->group(kFaults);
    AddParsed(app, "--pull-at", &f.pulledAt, ParseLineSet,
              "the adapter is pulled as one of these lines arrives: the port\nvanishes (the "
              "line is not programmed)")
        ->type_name("LINES")
        ->group(kFaults);
    AddParsed(app, "--pulled-for", &f.pulledForMs, ParseMsOrNever,
              "the port comes back MS after the pull (default never)")
        ->type_name("MS|never")
        ->group(kFaults);
    app.add_option("--no-down", f.noDown,
                   "answer the first N end markers of each image \"BUSY\" and\nsend a \".\" "
                   "later, so the tool repeats the end marker")
        ->type_name("N")
        ->transform(kNumber)
        ->check(CLI::Range(0, 1000).description(""))
        ->group(kFaults);
    app.add_option("--no-down-delay", f.noDownAckDelayMs,
                   "that later \".\" comes MS after the end marker (default 7500)")
        ->type_name("MS")
        ->transform(kNumber)
        ->group(kFaults);

    const auto file = [&app](const char* name, std::string* path, const char* help) {
        app.add_option(name, *path, help)
            ->type_name("FILE")
            ->check(vmod_cli::kNotEmpty)
            ->group(kOutput);
    };
    file("--log", &o.logPath, "log here instead of the error stream");
    file("--image-out", &o.imageOut,
         "main image as binary (lowest to highest address, gaps 0xFF),\nwritten when it is "
         "complete and on exit");
    file("--srec-out", &o.srecOut, "main image as S-records");
    file("--boot-image-out", &o.bootImageOut, "boot image as binary");
    file("--boot-srec-out", &o.bootSrecOut, "boot image as S-records");
    file("--expect", &o.expect,
         "when the main image is complete, print whether it equals the\nfirmware in FILE "
         "(S-records); exit status 0 only if it does and\nthe download had no faults");
    file("--expect-boot", &o.expectBoot, "the same for the boot image, judged with the main image");
    app.add_flag("--exit-after-update", o.exitAfterUpdate,
                 "end once the main image is complete and \"DOWN\" has been read")
        ->group(kOutput);
    // Made again here so that it is listed last, with the output options.
    app.set_help_flag("-h,--help", "this text")->group(kOutput);
}

} // namespace

std::string UsageText() {
    CLI::App app("", "kv615mq-sim");
    ProgramOptions unused;
    DescribeOptions(app, unused);
    return app.help();
}

ParseOutcome ParseProgramOptions(const std::vector<std::string>& args, ProgramOptions* options,
                                 std::string* error) {
    CLI::App app("", "kv615mq-sim");
    ProgramOptions o;
    DescribeOptions(app, o);
    std::string failure;
    try {
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::CallForHelp&) {
        return ParseOutcome::Help;
    } catch (const CLI::ParseError& e) {
        failure = e.what();
    }
    // CLI11 checks what it knows before it reports what it does not; an unknown option is
    // named first, since it is the likelier mistake (a misspelt --port leaves --port missing).
    if (!app.remaining().empty()) {
        failure = "unknown option " + app.remaining().front();
    }
    if (!failure.empty()) {
        *error = failure;
        return ParseOutcome::Error;
    }
    *options = std::move(o);
    return ParseOutcome::Run;
}

} // namespace vmod_sim
