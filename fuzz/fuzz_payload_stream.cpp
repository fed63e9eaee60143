// The payload stream over an arbitrary image: decrypted, header-checked, inflated and read
// line by line to the end.
#include <cstddef>
#include <cstdint>

#include "payload/payload_stream.h"

namespace {

const uint8_t* g_image = nullptr;
uint32_t g_imageSize = 0;
uint32_t g_position = 0;

int32_t ImageSource(unsigned char* buffer) {
    return payload_copy_chunk(g_image, g_imageSize, &g_position, buffer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_image = data;
    g_imageSize = static_cast<uint32_t>(size);
    g_position = 0;
    if (payload_open(ImageSource, 65536, "rtog5u3") != 0) {
        return 0;
    }
    char line[256];
    // A -1 can be transient (a block that delivered nothing yet), so only a run of them ends.
    int idle = 0;
    for (long calls = 0; calls < 4000000 && idle < 64; calls++) {
        idle = payload_gets(line, sizeof line) < 0 ? idle + 1 : 0;
    }
    payload_close();
    return 0;
}
