// The gzip member header reader over arbitrary bytes: accepts or refuses, never reads past
// the input.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_input::Attach(data, size);
    ziplib_read_header();
    return 0;
}
