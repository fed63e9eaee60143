// Helpers for driving the stand-in module's engine as the tool would, on a test's own time.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/engine.h"

namespace vmod_sim::test {

// The tool's side of the wire: writes at the current time, lets time pass, collects replies.
class Wire {
  public:
    explicit Wire(Settings settings = {}) : engine(std::move(settings)) {}

    // Writes bytes now, lets waitMs pass and returns what arrived meanwhile.
    std::string Send(std::string_view bytes, uint64_t waitMs = 100) {
        engine.Receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), nowUs);
        return Wait(waitMs);
    }
    std::string Wait(uint64_t ms) {
        nowUs += ms * 1000;
        return Take();
    }
    std::string Take() {
        std::string out;
        uint8_t buffer[512];
        size_t n = 0;
        while ((n = engine.TakeReplies(buffer, sizeof buffer, nowUs)) > 0) {
            out.append(reinterpret_cast<const char*>(buffer), n);
        }
        return out;
    }

    Engine engine;
    uint64_t nowUs = 0;
};

// One S-record's text from its fields, the count and checksum computed.
inline std::string Record(int type, uint32_t address, const std::vector<uint8_t>& data) {
    static const int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    std::vector<uint8_t> bytes;
    const int width = kAddressBytes[type];
    bytes.push_back(static_cast<uint8_t>(width + data.size() + 1));
    for (int i = width - 1; i >= 0; --i) {
        bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    }
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<uint8_t>(~sum));
    std::string text = {'S', static_cast<char>('0' + type)};
    char hex[3];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
    }
    return text;
}

// The first line as the tool sends it: the text, NUL fill, CR LF at offsets 78 and 79.
inline std::string FirstBlock(std::string_view text) {
    std::string block(80, '\0');
    block.replace(0, std::min<size_t>(text.size(), 78), text.substr(0, 78));
    block[78] = '\r';
    block[79] = '\n';
    return block;
}

inline const std::string kHeader = "S00600004844521B";
inline const std::string kMainEntry = std::string("!!download2cf\r\n\0", 16);
inline const std::string kBootEntry = "!!dOWNLOADBOOT\r";
inline const std::string kResetCommand = std::string("!!rESET\r\n\0", 10);

} // namespace vmod_sim::test
