// vmod-pack: builds a firmware package from S-record files, decodes a payload file, and
// inspects or verifies a package folder.
//
// Exit status: 0 on success, 1 when the work fails (a file, a check, a refused input), 2 for
// a command line that cannot be used.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "payload/payload_stream.h"
#include "tools/common/cli_help.h"
#include "tools/pack/package_image.h"
#include "tools/pack/record_check.h"

namespace fs = std::filesystem;
using namespace vmod_pack;

namespace {

// The texts of --help: each command's usage lines, what it does and, for build, its closing note.
const char kUsage[] = "usage: vmod-pack COMMAND [ARGS]\n";
const char kFooter[] = "vmod-pack COMMAND --help describes a command.";

const char kBuildUsage[] =
    "usage: vmod-pack build --main FILE --boot FILE --version TEXT [--boot-version TEXT]\n"
    "                       -o DIR\n";
const char kBuildText[] =
    "Writes kv615mq.data, kv615mqb.data, kv615mq.bin and kv615mqb.bin into DIR (created when\n"
    "missing) from the main and the boot-block firmware as S-record text. Lines may end in\n"
    "CR LF or LF; the package holds them with CR LF. Every line must be a sound S-record, the\n"
    "first of at most 78 characters and every other of at most 80, and the records must end\n"
    "with a termination record. Each header's line count is chosen so that the download\n"
    "sends every line.";
const char kBuildFooter[] =
    "Nothing is written unless both images read back exactly through the tool's decoder.";

const char kDecodeUsage[] = "usage: vmod-pack decode FILE\n";
const char kDecodeText[] =
    "Decodes a payload file (kv615mq.data or kv615mqb.data) through the tool's own payload\n"
    "stream and writes the text it hands out to standard output, byte for byte. The decoder's\n"
    "diagnostics go to standard error as on the device. Exits 1 when the file cannot be read\n"
    "or the stream cannot be opened, and when the stream ends before its final block or the\n"
    "decoder reports an error: the text decoded up to there is still written, and one line\n"
    "on standard error says where it ended and why.";

const char kInspectUsage[] = "usage: vmod-pack inspect DIR\n";
const char kInspectText[] =
    "For the main and the boot-block image in DIR prints the file sizes, the header's line\n"
    "count, the version as the tool's dialog shows it, the decoded line count and whether the\n"
    "header count sends every line, the S-record types and the data address range.\n"
    "Exits 1 when a file is missing or an image cannot be decoded.";

const char kVerifyUsage[] = "usage: vmod-pack verify DIR\n";
const char kVerifyText[] =
    "Decodes both images in DIR and checks what the device never checks: every S-record's\n"
    "type, count and checksum, CR LF line ends, line lengths (the first at most 78\n"
    "characters, every other at most 80), the header line counts against the text, the gzip\n"
    "trailer's CRC-32 and size, and that the payload stream hands out every line whole.\n"
    "Prints one line per problem, naming the file and, where there is one, the line\n"
    "(FILE:LINE: problem), and exits 0 only when there is none.";

struct ImageNames {
    const char* role;
    const char* data;
    const char* header;
};
const ImageNames kImages[2] = {
    {"main", "kv615mq.data", "kv615mq.bin"},
    {"boot-block", "kv615mqb.data", "kv615mqb.bin"},
};

int Fail(const char* command, const std::string& message) {
    std::fprintf(stderr, "vmod-pack %s: %s\n", command, message.c_str());
    return 1;
}

// A command line that cannot be used: the message, then the help of the command it was for.
int UsageError(const CLI::App& app, const std::string& message) {
    std::string program = "vmod-pack";
    if (!app.get_subcommands().empty()) {
        program += " " + app.get_subcommands().front()->get_name();
    }
    std::fprintf(stderr, "%s: %s\n\n%s", program.c_str(), message.c_str(), app.help().c_str());
    return 2;
}

// "FILE:LINE", or "FILE" for line 0 (the file as a whole).
std::string Where(const std::string& file, size_t line) {
    std::string where = file;
    if (line > 0) {
        where += ':';
        where += std::to_string(line);
    }
    return where;
}

// A text for the terminal: printable ASCII as it is, anything else as \xNN.
std::string Printable(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

std::string Printable(const std::string& text) {
    return Printable(std::wstring(text.begin(), text.end()));
}

// ---- build ---------------------------------------------------------------------------------

// Reads one firmware file and checks every line as the module will get it; returns the text
// the package holds (CR LF line ends) and its line count.
bool PrepareText(const std::string& path, std::string* text, size_t* lineCount,
                 std::string* problem) {
    std::string source;
    if (!ReadWholeFile(path, &source, problem)) {
        return false;
    }
    std::vector<std::string> lines;
    if (!SplitSourceLines(source, &lines, problem)) {
        *problem = path + ": " + *problem;
        return false;
    }
    std::vector<LineProblem> problems;
    CheckRecordLines(lines, &problems);
    if (!problems.empty()) {
        problem->clear();
        for (const LineProblem& p : problems) {
            if (!problem->empty()) {
                *problem += "\n";
            }
            *problem += Where(path, p.line) + ": " + p.what;
        }
        return false;
    }
    text->clear();
    for (const std::string& line : lines) {
        *text += line;
        *text += "\r\n";
    }
    *lineCount = lines.size();
    return true;
}

// build's command line; bootVersion is version unless --boot-version was given.
struct BuildArgs {
    std::string mainPath, bootPath, version, bootVersion, outDir;
};

int Build(const BuildArgs& args) {
    const char* command = "build";
    const std::string& mainPath = args.mainPath;
    const std::string& bootPath = args.bootPath;
    const std::string& version = args.version;
    const std::string& bootVersion = args.bootVersion;
    const std::string& outDir = args.outDir;

    std::string decimals[2];
    const std::string* versions[2] = {&version, &bootVersion};
    for (int k = 0; k < 2; k++) {
        std::string problem;
        if (!PackVersionText(*versions[k], &decimals[k], &problem)) {
            return Fail(command,
                        std::string(k == 0 ? "--version: " : "--boot-version: ") + problem);
        }
    }
    // The dialog compares the package's version with the module's as numbers; one that reads
    // as 0 would make every module refuse the package as older than its firmware.
    if (!VersionReadsAsNumber(CString(std::wstring(version.begin(), version.end())))) {
        return Fail(command, "--version: \"" + version +
                                 "\" does not read as a number; the tool would refuse the "
                                 "package as older than any module's firmware");
    }

    const std::string* paths[2] = {&mainPath, &bootPath};
    Bytes images[2];
    Bytes headers[2];
    size_t lineCounts[2];
    size_t textSizes[2];
    for (int k = 0; k < 2; k++) {
        std::string text, problem;
        if (!PrepareText(*paths[k], &text, &lineCounts[k], &problem)) {
            return Fail(command, problem);
        }
        // The download sends the first (count - 1) lines, so count is one more than the lines.
        if (lineCounts[k] + 1 > static_cast<size_t>(kMaxHeaderCount)) {
            return Fail(command, *paths[k] + ": " + std::to_string(lineCounts[k]) +
                                     " lines; the header's count holds at most 8 digits");
        }
        if (!SealPayload(text, &images[k], &problem)) {
            return Fail(command, *paths[k] + ": " + problem + "; nothing was written");
        }
        textSizes[k] = text.size();
        headers[k] = EncodeHeader(static_cast<int32_t>(lineCounts[k] + 1), decimals[k]);
    }

    std::error_code error;
    fs::create_directories(outDir, error);
    if (error || !fs::is_directory(outDir, error)) {
        std::string reason = outDir + ": cannot be created";
        if (error) {
            reason += ": ";
            reason += error.message();
        }
        return Fail(command, reason);
    }
    for (int k = 0; k < 2; k++) {
        std::string problem;
        fs::path dir(outDir);
        if (!WriteWholeFile((dir / kImages[k].data).string(), images[k].data(), images[k].size(),
                            &problem) ||
            !WriteWholeFile((dir / kImages[k].header).string(), headers[k].data(),
                            headers[k].size(), &problem)) {
            return Fail(command, problem);
        }
        std::printf("%s: %zu lines, %zu bytes of text, %zu bytes sealed; %s: count %zu, "
                    "version %s (field %s)\n",
                    kImages[k].data, lineCounts[k], textSizes[k], images[k].size(),
                    kImages[k].header, lineCounts[k] + 1, versions[k]->c_str(),
                    decimals[k].c_str());
    }
    return 0;
}

// ---- decode --------------------------------------------------------------------------------

// Counts the lines it writes (their LF), for the report of a text that ends early.
bool WriteToStdout(const char* data, size_t n, void* lines) {
    for (size_t i = 0; i < n; i++) {
        *static_cast<size_t*>(lines) += data[i] == '\n';
    }
    return std::fwrite(data, 1, n, stdout) == n;
}

int Decode(const std::string& path) {
    const char* command = "decode";
    std::string data, problem;
    if (!ReadWholeFile(path, &data, &problem)) {
        return Fail(command, problem);
    }
    Bytes image(data.begin(), data.end());
    StreamReport report;
    size_t lines = 0;
    if (!DecodeThroughStream(image, WriteToStdout, &lines, &report)) {
        return Fail(command, path + ": the payload stream cannot be opened");
    }
    if (report.capped || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return Fail(command, "cannot write to standard output");
    }
    if (report.endState != PAYLOAD_END_FINAL) {
        const char* reason = payload_end_reason(report.endState);
        return Fail(command, path + ": the text ends after " + std::to_string(report.delivered) +
                                 " bytes (" + std::to_string(lines) + " lines): " +
                                 (reason ? reason : "the inflater reported an error"));
    }
    return 0;
}

// ---- inspect and verify --------------------------------------------------------------------

// One image of a package folder, read and decoded.
struct Image {
    const ImageNames* names = nullptr;
    std::string dataPath, headerPath;
    std::string dataProblem;   // empty when the payload file was read
    std::string headerProblem; // empty when the header file was read
    Bytes data;
    std::string header;
    HeaderFields fields;
    StreamReport stream;
    std::string text; // what the payload stream handed out
    std::vector<std::string> deviceLines;
};

Image ReadImage(const fs::path& dir, const ImageNames& names) {
    Image image;
    image.names = &names;
    image.dataPath = (dir / names.data).string();
    image.headerPath = (dir / names.header).string();
    std::string raw;
    if (ReadWholeFile(image.dataPath, &raw, &image.dataProblem)) {
        image.data.assign(raw.begin(), raw.end());
        DecodeThroughStream(image.data, &image.text, &image.stream);
        image.deviceLines = DeviceLines(image.text);
    }
    if (ReadWholeFile(image.headerPath, &image.header, &image.headerProblem)) {
        image.fields = ParseHeader(image.header);
    }
    return image;
}

// Whether the header's count makes the download send exactly the decoded lines, in words.
std::string CountVerdict(const Image& image, bool* every) {
    size_t lines = image.deviceLines.size();
    int32_t count = image.fields.count;
    *every = count >= 1 && static_cast<size_t>(count) - 1 == lines;
    char text[200];
    if (*every) {
        std::snprintf(text, sizeof text, "the download sends all %zu lines", lines);
    } else if (count <= 0) {
        std::snprintf(text, sizeof text,
                      "a count of %d sets no limit: the download reads past the last line",
                      static_cast<int>(count));
    } else if (static_cast<size_t>(count) - 1 < lines) {
        std::snprintf(text, sizeof text, "the download sends %zu of the %zu lines",
                      static_cast<size_t>(count) - 1, lines);
    } else {
        std::snprintf(text, sizeof text, "the download expects %zu lines, the text has %zu",
                      static_cast<size_t>(count) - 1, lines);
    }
    return text;
}

int Inspect(const std::string& dir) {
    const char* command = "inspect";
    std::error_code error;
    if (!fs::is_directory(dir, error)) {
        return Fail(command, dir + ": not a folder");
    }
    int status = 0;
    for (const ImageNames& names : kImages) {
        Image image = ReadImage(dir, names);
        std::printf("%s image\n", names.role);
        if (!image.dataProblem.empty()) {
            std::printf("  %s: missing (%s)\n", names.data, image.dataProblem.c_str());
            status = 1;
        } else {
            std::printf("  %s: %zu bytes\n", names.data, image.data.size());
        }
        if (!image.headerProblem.empty()) {
            std::printf("  %s: missing (%s)\n", names.header, image.headerProblem.c_str());
            status = 1;
        } else {
            std::printf("  %s: %zu bytes\n", names.header, image.header.size());
            std::printf("  header line count: %d\n", static_cast<int>(image.fields.count));
            std::printf("  version field: \"%s\", shown as \"%s\"\n",
                        Printable(image.fields.versionField).c_str(),
                        Printable(image.fields.shown.str()).c_str());
        }
        if (!image.dataProblem.empty()) {
            continue;
        }
        if (!image.stream.opened) {
            std::printf("  decoded: the payload stream cannot be opened\n");
            status = 1;
            continue;
        }
        std::printf("  decoded: %zu lines, %zu bytes of text%s\n", image.deviceLines.size(),
                    image.text.size(), image.stream.capped ? " (stopped: too large)" : "");
        if (image.headerProblem.empty()) {
            bool every;
            std::string verdict = CountVerdict(image, &every);
            std::printf("  header count sends every line: %s (%s)\n", every ? "yes" : "no",
                        verdict.c_str());
        }
        std::vector<LineProblem> ignored;
        RecordSummary summary = CheckRecordLines(image.deviceLines, &ignored);
        std::printf("  record types:");
        size_t records = 0;
        for (int type = 0; type < 10; type++) {
            if (summary.typeCount[type] > 0) {
                std::printf(" S%d x%zu", type, summary.typeCount[type]);
                records += summary.typeCount[type];
            }
        }
        if (records < image.deviceLines.size()) {
            std::printf("%s(%zu lines are not S-records)", records > 0 ? " " : " none ",
                        image.deviceLines.size() - records);
        } else if (records == 0) {
            std::printf(" none");
        }
        std::printf("\n");
        if (summary.haveData) {
            std::printf("  data address range: 0x%08llX-0x%08llX\n",
                        static_cast<unsigned long long>(summary.low),
                        static_cast<unsigned long long>(summary.high));
        } else {
            std::printf("  data address range: none (no data records)\n");
        }
    }
    return status;
}

// The text's lines with their own line ends: [begin, textEnd) is the line's text and
// [textEnd, end) its line end (CR LF, or a lone CR or LF, or none at the very end).
struct TextLine {
    size_t begin, textEnd, end;
};

std::vector<TextLine> FramedLines(const std::string& text) {
    std::vector<TextLine> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        TextLine line{pos, pos, pos};
        while (line.textEnd < text.size() && text[line.textEnd] != '\r' &&
               text[line.textEnd] != '\n') {
            line.textEnd++;
        }
        line.end = line.textEnd;
        if (line.end < text.size() && text[line.end] == '\r') {
            line.end++;
            if (line.end < text.size() && text[line.end] == '\n') {
                line.end++;
            }
        } else if (line.end < text.size()) {
            line.end++; // a lone LF
        }
        lines.push_back(line);
        pos = line.end;
    }
    return lines;
}

void VerifyImage(const Image& image, std::vector<std::string>* problems) {
    auto report = [&](const std::string& file, size_t line, const std::string& what) {
        problems->push_back(Where(file, line) + ": " + what);
    };
    const std::string& data = image.dataPath;
    const std::string& header = image.headerPath;

    if (!image.headerProblem.empty()) {
        report(header, 0, "missing (" + image.headerProblem + ")");
    } else if (image.header.size() < kHeaderSize) {
        report(header, 0,
               std::to_string(image.header.size()) +
                   " bytes; a header holds its count and version in 20 bytes");
    }
    if (!image.dataProblem.empty()) {
        report(data, 0, "missing (" + image.dataProblem + ")");
        return;
    }
    if (!image.stream.opened) {
        report(data, 0, "the payload stream cannot be opened");
        return;
    }
    if (image.stream.capped) {
        report(data, 0,
               "the text goes on beyond " + std::to_string(kMaxDecodedText >> 20) +
                   " MiB; not read further");
    }
    if (image.data.size() % 8 != 0) {
        report(data, 0,
               std::to_string(image.data.size()) +
                   " bytes, not a whole number of the cipher's 8-byte blocks");
    }

    GzipCheck gzip = UnsealWithZlib(image.data);
    if (!gzip.trailerOk) {
        report(data, 0, gzip.problem);
    } else if (image.data.size() - gzip.memberSize > 7) {
        report(data, 0,
               std::to_string(image.data.size() - gzip.memberSize) +
                   " bytes after the gzip member; block padding is at most 7");
    }
    if (gzip.headerOk && !image.stream.capped && gzip.text != image.text) {
        size_t at = 0;
        while (at < gzip.text.size() && at < image.text.size() && gzip.text[at] == image.text[at])
            at++;
        report(data, 0,
               "the payload stream hands out " + std::to_string(image.text.size()) +
                   " bytes, zlib decodes " + std::to_string(gzip.text.size()) +
                   "; they differ from byte " + std::to_string(at));
    }

    std::vector<TextLine> lines = FramedLines(image.text);
    if (lines.empty()) {
        report(data, 0, "the decoded text is empty");
    }
    // A pause is a read that found nothing while more text followed. Between lines a download
    // simply reads again; inside one, the line read returns the part before the pause as if it
    // were the whole line, and a download that takes it for one sends the line cut in two.
    size_t next = 0;
    for (size_t at : image.stream.pauses) {
        while (next + 1 < lines.size() && lines[next].end <= at) {
            next++;
        }
        if (next < lines.size() && at != lines[next].begin) {
            report(data, next + 1,
                   "the payload stream pauses inside this line (after " +
                       std::to_string(at - lines[next].begin) +
                       " characters); a download that takes the pause for the line's end "
                       "sends it cut in two");
        }
    }

    std::vector<std::string> texts;
    for (size_t i = 0; i < lines.size(); i++) {
        const TextLine& l = lines[i];
        std::string ending = image.text.substr(l.textEnd, l.end - l.textEnd);
        if (ending != "\r\n") {
            report(data, i + 1,
                   ending.empty()   ? "the last line has no line end"
                   : ending == "\n" ? "ends in LF without CR"
                                    : "ends in CR without LF");
        }
        texts.push_back(image.text.substr(l.begin, l.textEnd - l.begin));
    }
    std::vector<LineProblem> recordProblems;
    CheckRecordLines(texts, &recordProblems);
    for (const LineProblem& p : recordProblems) {
        report(data, p.line, p.what);
    }

    if (image.headerProblem.empty()) {
        bool every;
        std::string verdict = CountVerdict(image, &every);
        if (!every) {
            report(header, 0, "line count " + std::to_string(image.fields.count) + ": " + verdict);
        }
    }
}

int Verify(const std::string& dir) {
    const char* command = "verify";
    std::error_code error;
    if (!fs::is_directory(dir, error)) {
        return Fail(command, dir + ": not a folder");
    }
    std::vector<std::string> problems;
    size_t lines[2] = {0, 0};
    for (int k = 0; k < 2; k++) {
        Image image = ReadImage(dir, kImages[k]);
        lines[k] = image.deviceLines.size();
        VerifyImage(image, &problems);
        // Only the main version is shown and compared; the boot block's is kept unread.
        if (k == 0 && image.headerProblem.empty() && !VersionReadsAsNumber(image.fields.shown)) {
            problems.push_back(image.headerPath + ": version \"" +
                               Printable(image.fields.shown.str()) +
                               "\" does not read as a number; the tool would refuse the "
                               "package as older than any module's firmware");
        }
    }
    for (const std::string& problem : problems) {
        std::printf("%s\n", problem.c_str());
    }
    if (!problems.empty()) {
        std::fprintf(stderr, "vmod-pack verify: %s: %zu problem%s\n", dir.c_str(), problems.size(),
                     problems.size() == 1 ? "" : "s");
        return 1;
    }
    std::printf("%s: verified (main %zu lines, boot block %zu lines)\n", dir.c_str(), lines[0],
                lines[1]);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app("", "vmod-pack");
    vmod_cli::SetHelpLayout(&app, kUsage, 13);
    // As before CLI11: an option given twice takes its last value.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.require_subcommand(0, 1);

    BuildArgs build;
    CLI::App* buildCommand =
        app.add_subcommand("build", "write the four package files from S-record files");
    vmod_cli::SetHelpLayout(buildCommand, kBuildUsage, 28).About(kBuildText);
    buildCommand->footer(kBuildFooter);
    buildCommand->add_option("--main", build.mainPath, "main firmware (kv615mq.data, kv615mq.bin)")
        ->type_name("FILE")
        ->check(vmod_cli::kNotEmpty)
        ->required();
    buildCommand
        ->add_option("--boot", build.bootPath, "boot-block firmware (kv615mqb.data, kv615mqb.bin)")
        ->type_name("FILE")
        ->check(vmod_cli::kNotEmpty)
        ->required();
    // An empty or unpackable version is refused by the build itself, with status 1.
    buildCommand
        ->add_option("--version", build.version,
                     "package version the tool shows and compares with the module's,\n1 to 4 "
                     "printable ASCII characters reading as a number (1.05)")
        ->type_name("TEXT")
        ->required();
    CLI::Option* bootVersion =
        buildCommand
            ->add_option("--boot-version", build.bootVersion,
                         "version of the boot block's header (default: --version)")
            ->type_name("TEXT");
    buildCommand->add_option("-o,--output", build.outDir, "folder to write the four files into")
        ->type_name("DIR")
        ->check(vmod_cli::kNotEmpty)
        ->required();

    std::string path; // decode's payload file, or inspect's or verify's package folder
    CLI::App* decodeCommand = app.add_subcommand(
        "decode", "write the decoded text of one payload file to standard output");
    vmod_cli::SetHelpLayout(decodeCommand, kDecodeUsage, 17).About(kDecodeText);
    decodeCommand->add_option("FILE", path, "kv615mq.data or kv615mqb.data")
        ->type_name("")
        ->required();
    CLI::App* inspectCommand = app.add_subcommand("inspect", "describe a package folder");
    vmod_cli::SetHelpLayout(inspectCommand, kInspectUsage, 17).About(kInspectText);
    inspectCommand->add_option("DIR", path, "package folder")->type_name("")->required();
    CLI::App* verifyCommand = app.add_subcommand("verify", "check a package folder thoroughly");
    vmod_cli::SetHelpLayout(verifyCommand, kVerifyUsage, 17).About(kVerifyText);
    verifyCommand->add_option("DIR", path, "package folder")->type_name("")->required();
    for (CLI::App* command : app.get_subcommands({})) {
        command->group("Commands");
    }
    app.footer(kFooter); // after the commands, which would inherit it
    // An unknown command is reported below, in the program's words; the commands, made before
    // this, refuse what they do not know themselves.
    app.allow_extras();

    std::string failure;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& e) {
        failure = e.what();
    }
    // CLI11 checks what it knows before it reports what it does not; an unknown argument is
    // named first, since it is the likelier mistake (a misspelt --main leaves --main missing).
    if (const std::vector<std::string> unknown = app.remaining(true); !unknown.empty()) {
        failure = (app.get_subcommands().empty() ? "unknown command " : "unknown argument ") +
                  unknown.front();
    }
    if (!failure.empty()) {
        return UsageError(app, failure);
    }
    if (buildCommand->parsed()) {
        if (bootVersion->count() == 0) {
            build.bootVersion = build.version;
        }
        return Build(build);
    }
    if (decodeCommand->parsed())
        return Decode(path);
    if (inspectCommand->parsed())
        return Inspect(path);
    if (verifyCommand->parsed())
        return Verify(path);
    std::fputs(app.help().c_str(), stderr);
    return 2;
}
