// The module's identification protocol: the commands the tool sends (exact bytes and lengths),
// the waits before reading each reply, the read sizes, and the texts and offsets it looks for.
#pragma once

#include <cstddef>

#include "platform/types.h"

// Wait before the first probe, and the ports probed, in ascending order (49 ports).
constexpr DWORD kQueryStartWaitMs = 200;
constexpr int kFirstProbePort = 1;
constexpr int kLastProbePort = 49;

// Model query: the module echoes it and reports its model.
constexpr char kCmdModelQuery[] = "ATI4\r";
constexpr DWORD kCmdModelQueryLength = 5;
constexpr DWORD kModelQueryWaitMs = 100;
constexpr DWORD kModelQueryReadSize = 64;

// Firmware version query: the version text, then the module's final "OK".
constexpr char kCmdFirmwareQuery[] = "ATI5\r";
constexpr DWORD kCmdFirmwareQueryLength = 5;
constexpr DWORD kFirmwareQueryWaitMs = 100;
constexpr DWORD kFirmwareQueryReadSize = 64;

// Version report: the module's version and its boot block's.
constexpr char kCmdVersionReport[] = "!!version\r";
constexpr DWORD kCmdVersionReportLength = 10;
constexpr DWORD kVersionReportWaitMs = 100;
constexpr DWORD kVersionReportReadSize = 255;

// A module's reply to the model query begins with its echo of the command.
constexpr char kEchoPrefix[] = "AT";
// The model the tool updates, looked for in the raw model reply.
constexpr char kModelName[] = "KV615MQ";
constexpr wchar_t kModelNameW[] = L"KV615MQ";
// The end of the firmware version reply; the version text is everything before it.
constexpr char kReplyOk[] = "OK";

// Version report fields, counted from the first character of their label in the reply without
// its echo and line ends. Current layout: "V-MOD" with the module's version 9 characters on
// (4 after the label's end) and "BOOT Block" with the boot block's version 15 characters on
// (5 after its end). Older layout: no "V-MOD"; "Version" with the only version, the boot
// block's, 9 characters on (2 after its end).
constexpr char kVersionLabel[] = "V-MOD";
constexpr size_t kVersionFieldOffset = 9;
constexpr char kBootBlockLabel[] = "BOOT Block";
constexpr size_t kBootBlockFieldOffset = 15;
constexpr char kOlderVersionLabel[] = "Version";
constexpr size_t kOlderVersionFieldOffset = 9;

// Version fields taken from the version report are this many characters long.
constexpr size_t kVersionFieldLength = 5;

// Reply buffers: raw replies (the largest read is 255 bytes plus the terminator) and replies
// without their echo and line ends, which are never longer than the raw reply.
constexpr size_t kRawReplySize = 256;
constexpr size_t kStrippedReplySize = 512;
// Each conversion of a reply field to wide text, terminator included.
constexpr int kWideTextSize = 64;
