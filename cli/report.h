// What vmod-update tells: human text on the error stream (live bars on a terminal, plain lines
// prefixed with the port otherwise), and with --json one JSON object per line on the output
// stream for every event. Nothing else is ever written to the output stream. Any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct Module;

// The JSON lines' format version ("v"); raised when a field changes meaning or goes.
constexpr int kJsonFormatVersion = 1;

class Reporter {
  public:
    // json: the events on out as JSON lines; terminal: err is a terminal (live bars).
    Reporter(bool json, bool terminal, FILE* out, FILE* err);

    void Identified(const Module& m);
    void Decided(const Module& m);
    void Progress(const Module& m, int percent);
    void Ended(const Module& m);
    // The modules that will be written from now on show as bars (terminal only).
    void ShowBars(const std::vector<const Module*>& modules);
    // The run's end: counts of each verdict, the exit status, whether a restart is due.
    void Summary(const std::vector<const Module*>& modules, int status, bool restartDue,
                 bool restartAsked);
    // A line for people (the error stream), above the bars.
    void Say(const std::string& text);
    // A problem that ends the whole run before any module's update: a line for people, an
    // error event and the summary event with the status. Returns status.
    int End(const std::string& code, const std::string& text, int status);

  private:
    void Json(const std::string& line);
    void Human(const std::string& line);
    void Redraw();
    std::string BarLine(const Module& m) const;

    std::mutex m_mutex;
    bool m_json;
    bool m_terminal;
    FILE* m_out;
    FILE* m_err;
    std::vector<const Module*> m_bars;        // drawn as a block at the bottom, one line each
    size_t m_drawn = 0;                       // lines of the block on the screen now
    std::map<const Module*, int> m_lastTenth; // piped: the tenths of progress already told
};

// Human text in the user's language (gettext).
const char* Tr(const char* english);
