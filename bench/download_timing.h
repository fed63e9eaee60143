// The timing of one update as the stand-in module logged it (kv615mq-sim --pace --log), set
// against the least time the download protocol allows: the wire time of every byte on the
// path, the waits the download makes, the read timeouts its reads run into (a reply shorter
// than the read size is returned when the read's total timeout ends) and the module's reply
// time. What the tool adds on top is its own cost.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct DownloadTiming {
    bool ok = false;
    std::string error;   // why the log could not be judged, when not ok
    bool bootPass = false;
    size_t lines = 0;        // lines the module received, both images
    double measuredMs = 0;   // first download command to the main image's end marker
    double minimumMs = 0;    // the least the protocol allows for the same span
    // Per line after a "." (from the third line of each image on): the time from the "."
    // reaching the tool to the next line's first byte leaving it, less any pause the line is
    // due. Includes the pseudo-terminal's transfer both ways and the module's wake-up.
    std::vector<double> ackToLineMs;
    // Extra time beyond the minimum outside the line loop (commands, end reads, reset,
    // re-open), for the report.
    double setupExtraMs = 0;
};

// Judges a module log (its text) made at `baud` 8N1 with the module's reply latency
// `latencyMs`.
DownloadTiming JudgeDownloadLog(const std::string& log, double baud, double latencyMs = 0);

// The first kPrefixCompareSize bytes of the send area holding a line's text: the text, then
// CR LF (in the first block: zero fill), then zeros. A change in them earns a pause.
std::string SendPrefix(const std::string& text, bool firstBlock);

// The value below which `share` of the values lie (nearest rank); 0 for none.
double Percentile(std::vector<double> values, double share);
