#include "tools/pack/record_check.h"

#include "package/srec.h"
#include "tools/pack/package_image.h"
#include "tools/sim/srec.h"

namespace vmod_pack {

RecordSummary CheckRecordLines(const std::vector<std::string>& lines,
                               std::vector<LineProblem>* problems) {
    RecordSummary summary;
    vmod_sim::SparseImage programmed;
    size_t dataRecords = 0;
    bool terminated = false;
    SrecRecord record; // reused: its data keeps its capacity from line to line
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string& text = lines[i];
        const size_t number = i + 1;
        if (text.empty()) {
            problems->push_back({number, "empty line"});
            continue;
        }
        const size_t longest = number == 1 ? kFirstLineMaxText : kLineMaxText;
        if (text.size() > longest) {
            problems->push_back({number, std::to_string(text.size()) +
                                             " characters; the download sends at most " +
                                             std::to_string(longest) +
                                             (number == 1 ? " of the first line" : " of a line")});
        }
        std::string fault = ParseSrec(text, &record);
        if (!fault.empty()) {
            problems->push_back({number, fault});
            continue;
        }
        summary.typeCount[record.type]++;
        if (terminated) {
            problems->push_back({number, "record after the termination record"});
        }
        if (record.type == 0 && number != 1) {
            problems->push_back({number, "an S0 header record after the first line"});
        }
        if (SrecIsData(record.type)) {
            dataRecords++;
            if (record.data.empty()) {
                continue;
            }
            if (programmed.Overlaps(record.address, record.data.size())) {
                problems->push_back({number, "data at " + vmod_sim::Hex32(record.address) +
                                                 " overlaps bytes an earlier record wrote"});
            }
            programmed.Write(record.address, record.data.data(), record.data.size());
            uint64_t last = uint64_t{record.address} + record.data.size() - 1;
            if (!summary.haveData || record.address < summary.low) {
                summary.low = record.address;
            }
            if (!summary.haveData || last > summary.high) {
                summary.high = last;
            }
            summary.haveData = true;
        } else if (record.type == 5 || record.type == 6) {
            if (record.address != dataRecords) {
                problems->push_back({number, "count record says " + std::to_string(record.address) +
                                                 " data records, " + std::to_string(dataRecords) +
                                                 " precede it"});
            }
        } else if (SrecIsTermination(record.type)) {
            terminated = true;
        }
    }
    if (!terminated) {
        problems->push_back(
            {0, "no termination record (S7, S8 or S9) ends the records (srec_cat writes "
                "one given -execution-start-address)"});
    }
    return summary;
}

} // namespace vmod_pack
