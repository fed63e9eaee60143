// The inflater over arbitrary raw DEFLATE bytes, step by step until it ends.
#include "fuzz_support.h"
#include "payload/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input::Attach(data, size);
    // Every step consumes at least the 3 bits of a block header, so the input bounds the steps.
    for (size_t steps = 0; steps <= size * 3 + 8; steps++) {
        if (ziplib_pull() != 0) break;
    }
    return 0;
}
