// The checks vmod-pack applies to S-record lines before it seals a text and after it decodes
// one: what the module would refuse, and what the download cannot send intact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vmod_pack {

// One problem; line 0 stands for the text as a whole.
struct LineProblem {
    size_t line;
    std::string what;
};

// Data addresses a text programs, and the record types it holds.
struct RecordSummary {
    size_t typeCount[10] = {}; // records of each type S0..S9 that parsed
    bool haveData = false;     // a data record with at least one byte
    uint64_t low = 0;          // lowest data address
    uint64_t high = 0;         // highest data address (its last byte)
};

// Checks lines (their text without line ends; lines[i] is line i + 1) as the firmware the
// module programs: each line as long as the download sends whole (the first at most 78
// characters, every other at most 80) and a sound S-record (type, count,
// checksum, hex digits, address space), an S0 header only as the first line, S5/S6 counts
// equal to the data records before them, no data byte written twice, a termination record
// (S7, S8, S9) as the last record. An empty line is reported as such and otherwise skipped.
// Appends one problem per fault; returns the summary of the records that parsed.
RecordSummary CheckRecordLines(const std::vector<std::string>& lines,
                               std::vector<LineProblem>* problems);

} // namespace vmod_pack
