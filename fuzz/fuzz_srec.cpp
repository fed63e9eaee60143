// The S-record parser over arbitrary line text, one record object reused as the download's
// check and the package tool reuse theirs.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "package/srec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SrecRecord record;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (ParseSrec(text, &record).empty() &&
        record.data.size() + static_cast<size_t>(SrecAddressBytes(record.type)) + 1 !=
            (size - 4) / 2) {
        __builtin_trap(); // a sound record's fields account for every byte of its text
    }
    return 0;
}
