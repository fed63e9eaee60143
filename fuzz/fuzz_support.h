// Byte operations over one fuzz input, for the decoding side's StreamOps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "payload/ziplib.h"

namespace fuzz_input {

inline const uint8_t* g_data = nullptr;
inline size_t g_size = 0;
inline size_t g_pos = 0;

inline int NextByte() { return g_pos < g_size ? g_data[g_pos++] : -1; }
inline int UngetByte() { return g_pos > 0 ? static_cast<int>(--g_pos) : -1; }
inline int PutByte(int) { return 0; }
inline int Peek(int, int) { return -1; }

inline StreamOps* Attach(const uint8_t* data, size_t size) {
    static StreamOps ops;
    g_data = data;
    g_size = size;
    g_pos = 0;
    ops = StreamOps{UngetByte, NextByte, PutByte, Peek, Peek, Peek, 0, 0};
    ziplib_attach(&ops);
    return &ops;
}

} // namespace fuzz_input
