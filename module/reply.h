// The module link's two reply helpers: replies are NUL-terminated bytes of ANSI text.
#pragma once

#include <cstddef>

#include "platform/types.h"

// True when the reply, converted from the device's code page (CP_ACP; its first 1023 bytes at
// most), contains text: exact, case-sensitive substring. An empty text is found in any reply.
bool ReplyContains(const char* reply, LPCWSTR text);

// Drops the module's echo (everything before the reply's first CR or LF), then copies the rest
// to output without its CR and LF bytes and terminates it. A reply with no CR or LF gives an
// empty output. output must have room for strlen(reply) + 1 bytes. Returns strlen(reply).
size_t StripEchoLine(const char* reply, char* output);
