#include "cli/report.h"

#include <cwchar>

#include <nlohmann/json.hpp>

#include "cli/fleet.h"
#include "package/firmware_package.h"
#include "platform/catalog.h"
#include "platform/console.h"
#include "platform/winbase.h"

namespace {

using nlohmann::json;

std::string Printf(const char* format, const std::string& a, const std::string& b = {},
                   const std::string& c = {}) {
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, format, a.c_str(), b.c_str(), c.c_str());
    return buffer;
}

json Base(const char* event, const Module& m) {
    return json{{"v", kJsonFormatVersion},
                {"event", event},
                {"port", m.name},
                {"com", m.com},
                {"device", m.device}};
}

std::string ActionText(const Module& m) {
    switch (m.action) {
    case Action::BootBlockFirst:
        return Tr("boot block first, then the main image");
    case Action::MainOnly:
        return Tr("main image only");
    case Action::AlreadyCurrent:
        return Tr("already at this version");
    case Action::RefusedOlder:
        return Tr("refused: the package is older than the module's firmware");
    case Action::None:
        break;
    }
    return std::string();
}

std::string VerdictText(const Module& m) {
    switch (m.verdict) {
    case Verdict::Updated:
        return Tr("updated; restart the host to finish");
    case Verdict::Current:
        return Tr("already at this version; left alone");
    case Verdict::Checked:
        return ActionText(m);
    case Verdict::RefusedOlder:
        return Printf(Tr("refused: the package (%s) is older than the module's firmware (%s)"),
                      Trimmed(g_firmwarePackage.mainVersionText),
                      Trimmed(m.identity.currentVersion));
    case Verdict::PackageRefused:
        return Printf(Tr("package refused: %s"), m.reason);
    case Verdict::NotFound:
        return Printf(Tr("no KV615MQ found: %s"), m.reason);
    case Verdict::Unopenable:
        return Printf(Tr("the port could not be opened: %s"), m.reason);
    case Verdict::Failed:
        return Printf(Tr("update failed: %s"), m.reason);
    case Verdict::Interrupted:
        return m.writing ? Tr("interrupted mid-update: the module may be unusable until updated "
                              "again")
                         : Tr("interrupted before anything was sent");
    case Verdict::Pending:
        break;
    }
    return std::string();
}

// The longest beginning of text that takes at most columns on a terminal (a wide character
// takes two).
std::string FitColumns(const std::string& text, int columns) {
    int n =
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), wide.data(),
                            n);
    int used = 0;
    size_t keep = 0;
    for (; keep < wide.size(); ++keep) {
        const int w = ConsoleCharColumns(wide[keep]);
        if (used + (w > 0 ? w : 0) > columns)
            break;
        used += w > 0 ? w : 0;
    }
    return keep == wide.size() ? text : Narrow(wide.substr(0, keep));
}

} // namespace

const char* Tr(const char* english) {
    return CatalogText(english);
}

Reporter::Reporter(bool json, bool terminal, FILE* out, FILE* err)
    : m_json(json), m_terminal(terminal), m_out(out), m_err(err) {}

void Reporter::Json(const std::string& line) {
    if (!m_json)
        return;
    std::fputs(line.c_str(), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

// Above the bars: the block is taken down, the line written, the block drawn again.
void Reporter::Human(const std::string& line) {
    // From the line's start: a ^C the terminal echoed may have moved the cursor on.
    if (m_terminal && m_drawn > 0)
        std::fprintf(m_err, "\x1b[%zuA\r\x1b[J", m_drawn);
    m_drawn = 0;
    std::fprintf(m_err, "%s\n", line.c_str());
    if (m_terminal)
        Redraw();
    std::fflush(m_err);
}

std::string Reporter::BarLine(const Module& m) const {
    std::string line = m.name;
    line.append("  ");
    if (m.verdict != Verdict::Pending)
        return line.append(VerdictText(m));
    const int percent = m.percent.load() < 0 ? 0 : m.percent.load();
    const size_t width = 30;
    const size_t filled = static_cast<size_t>(percent) * width / 100;
    line.append("[").append(filled, '#').append(width - filled, '.').append("] ");
    char number[16];
    std::snprintf(number, sizeof number, "%3d %%", percent);
    line.append(number);
    if (!m.writing)
        line.append("  ").append(Tr("waiting"));
    return line;
}

void Reporter::Redraw() {
    if (m_drawn > 0)
        std::fprintf(m_err, "\x1b[%zuA", m_drawn);
    // Each line kept to one row of the terminal, or the block's height would be wrong.
    const int columns = ConsoleColumns(m_err);
    for (const Module* m : m_bars)
        std::fprintf(m_err, "\r\x1b[2K%s\n", FitColumns(BarLine(*m), columns - 1).c_str());
    m_drawn = m_bars.size();
    std::fflush(m_err);
}

void Reporter::ShowBars(const std::vector<const Module*>& modules) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_terminal)
        return;
    m_bars = modules;
    Redraw();
}

void Reporter::Identified(const Module& m) {
    std::lock_guard<std::mutex> lock(m_mutex);
    json j = Base("identified", m);
    j["model"] = Trimmed(m.identity.model);
    j["firmware"] = Trimmed(m.identity.currentVersion);
    j["module_version"] = Trimmed(m.identity.moduleVersion);
    j["boot_block"] = Trimmed(m.identity.bootVersion);
    Json(j.dump());
    const std::string boot = Trimmed(m.identity.bootVersion);
    Human(m.name + ": " +
          Printf(Tr("%s, firmware %s, boot block %s"), Trimmed(m.identity.model),
                 Trimmed(m.identity.currentVersion),
                 boot.empty() ? std::string(Tr("none")) : boot));
}

void Reporter::Decided(const Module& m) {
    std::lock_guard<std::mutex> lock(m_mutex);
    json j = Base("decision", m);
    j["action"] = ActionName(m.action);
    Json(j.dump());
    // A refusal or a module left alone is told once, by the module's verdict.
    if (m.action == Action::BootBlockFirst || m.action == Action::MainOnly)
        Human(m.name + ": " + ActionText(m));
}

// On a terminal the bar moves; otherwise a line at most every 10 %.
void Reporter::Progress(const Module& m, int percent) {
    std::lock_guard<std::mutex> lock(m_mutex);
    json j = Base("progress", m);
    j["percent"] = percent;
    Json(j.dump());
    if (m_terminal) {
        Redraw();
        return;
    }
    int& shown = m_lastTenth[&m];
    if (percent / 10 > shown) {
        shown = percent / 10;
        char line[64];
        std::snprintf(line, sizeof line, "%d %%", percent);
        Human(m.name + ": " + line);
    }
}

void Reporter::Ended(const Module& m) {
    std::lock_guard<std::mutex> lock(m_mutex);
    json j = Base("end", m);
    j["outcome"] = VerdictName(m.verdict);
    j["reason"] = m.reason;
    if (!m.message.empty())
        j["message"] = Narrow(m.message);
    j["restart_due"] = m.restartDue;
    Json(j.dump());
    // A checked module's verdict is its decision, told already.
    if (m.verdict == Verdict::Checked &&
        (m.action == Action::BootBlockFirst || m.action == Action::MainOnly))
        return;
    if (m_terminal && !m_bars.empty()) {
        bool shown = false;
        for (const Module* b : m_bars)
            shown = shown || b == &m;
        if (shown) {
            Redraw();
            return;
        }
    }
    Human(m.name + ": " + VerdictText(m));
}

void Reporter::Summary(const std::vector<const Module*>& modules, int status, bool restartDue,
                       bool restartAsked) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The bars stay on the screen as the modules' verdicts; the summary goes below them.
    if (m_terminal && !m_bars.empty())
        Redraw();
    m_bars.clear();
    m_drawn = 0;
    json j{{"v", kJsonFormatVersion},
           {"event", "summary"},
           {"status", status},
           {"restart_due", restartDue},
           {"restart_asked", restartAsked}};
    json counts = json::object();
    int done = 0, checked = 0, failed = 0;
    for (const Module* m : modules) {
        counts[VerdictName(m->verdict)] = counts.value(VerdictName(m->verdict), 0) + 1;
        done += m->verdict == Verdict::Updated || m->verdict == Verdict::Current;
        checked += m->verdict == Verdict::Checked;
    }
    failed = static_cast<int>(modules.size()) - done - checked;
    j["counts"] = counts;
    Json(j.dump());
    char line[256];
    if (checked > 0)
        std::snprintf(line, sizeof line, Tr("%d module(s): %d ready to update, %d not"),
                      static_cast<int>(modules.size()), checked, failed);
    else
        std::snprintf(line, sizeof line, Tr("%d module(s): %d updated, %d not updated"),
                      static_cast<int>(modules.size()), done, failed);
    Human(line);
    if (restartDue)
        Human(restartAsked ? Tr("the host restarts now to finish the update")
                           : Tr("restart the host to finish the update (or run with --reboot)"));
}

void Reporter::Say(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Human(text);
}

int Reporter::End(const std::string& code, const std::string& text, int status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Json(json{{"v", kJsonFormatVersion}, {"event", "error"}, {"code", code}, {"message", text}}
             .dump());
    Json(json{{"v", kJsonFormatVersion},
              {"event", "summary"},
              {"status", status},
              {"counts", json::object()},
              {"restart_due", false},
              {"restart_asked", false}}
             .dump());
    if (m_err)
        Human("vmod-update: " + text);
    return status;
}
