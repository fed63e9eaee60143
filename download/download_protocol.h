// The download protocol of the KV615MQ module, as the download engine speaks it: command
// bytes and their exact lengths (a NUL counted in a length is sent too), the waits, the read
// sizes, the reply texts looked for, the pacing rules of the line loop and the texts the user
// sees. One place for all of them; the engine names nothing else.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

// ---- work areas ---------------------------------------------------------------------------------
constexpr size_t kReplyAreaSize = 2051;  // module replies, judged as NUL-terminated text
constexpr size_t kSendAreaSize = 2051;   // the line being sent
constexpr int32_t kLineBufferSize = 256; // payload_gets: at most 255 text bytes and a NUL
constexpr size_t kPrefixCopySize = 16;   // bytes of the send area kept as the previous prefix
constexpr size_t kPrefixCompareSize = 8; // a change in these bytes earns the next line a pause

// ---- the payload stream -------------------------------------------------------------------------
constexpr int32_t kPayloadChunkSize = 0x10000;
constexpr char kPayloadKeyText[] = "rtog5u3";

// ---- the boot-block decision --------------------------------------------------------------------
// A module whose boot-block version is below this value gets the package's boot block first.
constexpr double kBootBlockMinimumVersion = 1.02;

// ---- entering the boot-block download ----------------------------------------------------------
constexpr char kCmdDownloadBoot[] = "!!dOWNLOADBOOT\r";
constexpr DWORD kCmdDownloadBootLength = 15;
constexpr DWORD kDownloadBootWaitMs = 500;
constexpr DWORD kDownloadBootReadSize = 100;
constexpr wchar_t kReplyUpdate[] = L"UPDATE";

// ---- entering the main download -----------------------------------------------------------------
constexpr char kCmdDownloadMain[] = "!!download2cf\r\n"; // and its NUL
constexpr DWORD kCmdDownloadMainLength = 16;
constexpr DWORD kDownloadMainWaitMs = 200;
constexpr DWORD kDownloadMainReadSize = 64;
constexpr wchar_t kReplyUpdateReady[] = L"UPDATE READY";

// ---- the first line of an image: a fixed block
// ---------------------------------------------------
constexpr DWORD kFirstBlockLength = 80;
constexpr size_t kFirstBlockCrOffset = 78;
constexpr size_t kFirstBlockLfOffset = 79;
constexpr DWORD kFirstBlockWaitMs = 500;

// ---- every line ---------------------------------------------------------------------------------
constexpr BYTE kCr = '\r';
constexpr BYTE kLf = '\n';
// Of a line read from the payload only this many bytes reach the send area; a further line's
// CR LF goes right after its text, so its text must fit them.
constexpr size_t kLineCopySize = 80;
// The longest texts the download sends whole: the first line's before its block's CR LF,
// a further line's within the bytes copied from the line buffer.
constexpr size_t kFirstLineMaxText = kFirstBlockCrOffset;
constexpr size_t kLineMaxText = kLineCopySize;
// Every line of an image is an S-record and begins so; nowhere else in a record does it occur.
constexpr char kRecordStart = 'S';
// The acknowledgement of one line: a single byte, read one at a time.
constexpr DWORD kAckReadSize = 1;
constexpr BYTE kAck = '.';
// Pacing inside the line loop.
constexpr DWORD kPrefixChangeWaitMs = 1600; // before the line after one that changed its prefix
constexpr char kTerminationPrefix[] = "S7"; // a line beginning so waits first
constexpr size_t kTerminationPrefixLength = 2;
constexpr DWORD kTerminationWaitMs = 1000;
// The longest a line or an end marker waits for its ".". The module's own longest pause is the
// 6 s after the main image's end marker; five times that without a "." is a module that has
// stopped answering, not one programming its flash, and the user is told rather than left at a
// frozen percentage. Bytes other than "." do not extend it.
constexpr DWORD kAckLimitMs = 30000;

// ---- end of an image ----------------------------------------------------------------------------
constexpr BYTE kEndMarker[] = {kCr, kLf};
constexpr DWORD kEndMarkerLength = 2;
constexpr DWORD kBootEndWaitMs = 5000;
constexpr DWORD kBootEndReadSize = 255;
constexpr DWORD kMainEndWaitMs = 6000;
constexpr DWORD kMainEndReadSize = 64;
constexpr wchar_t kReplyDown[] = L"DOWN";

// ---- reset and re-open --------------------------------------------------------------------------
constexpr char kCmdReset[] = "!!rESET\r\n"; // and its NUL
constexpr DWORD kCmdResetLength = 10;
constexpr DWORD kResetWaitMs = 5000;
constexpr int kReopenAttempts = 7; // the first open and six retries
constexpr DWORD kReopenRetryWaitMs = 5000;

// ---- progress -----------------------------------------------------------------------------------
constexpr short kProgressLow = 0;
constexpr short kProgressHigh = 100;
constexpr int32_t kProgressStep = 100; // the numerator grows by this per line
constexpr wchar_t kPercentFormat[] = L"%3d ％完了";
constexpr size_t kPercentTextSize = 12;

// ---- what the user sees -------------------------------------------------------------------------
constexpr wchar_t kTextSystemError[] =
    L"システムエラーが発生しました。動作環境を確認してください。(DErurud)";
constexpr wchar_t kTextCheckConnection[] = L"接続を確認してください";
constexpr wchar_t kCaptionCaution[] = L"注意";
constexpr wchar_t kTextReopenFailed[] = L"再初期化に失敗しました";
constexpr wchar_t kTextCompleted[] =
    L"ファームウェアのバージョンアップが完了しました。設定を完了するために再起動します。";
// Our own report of a package the download cannot send whole and sound: a payload that ends
// before its header's line count or before its final block, a header that gives no line to
// send, a line too long to send or not an S-record.
constexpr wchar_t kTextPayloadDamaged[] =
    L"ファームウェアデータが壊れています。バージョンアップを中止します。";

// Our own report of a module that stopped answering mid-image, or whose port vanished: its
// flash holds part of an image, so the user must know that the update has to be run again.
constexpr wchar_t kTextModuleNoAnswer[] =
    L"モジュールが応答しません。バージョンアップを中止しました。"
    L"接続を確認して、もう一度バージョンアップしてください。";
// The line under it: which of the two, on which port.
constexpr wchar_t kNoteDeviceGone[] = L"COM%d: ポートの装置が取り外されました";
constexpr wchar_t kNoteSilent[] = L"COM%d: %lu秒間応答がありません";

// The reason the host's sleep and shutdown inhibitor shows while the module is written.
constexpr wchar_t kTextInhibitReason[] = L"V-MODのファームウェアを書き込み中";

// ---- thread exit codes --------------------------------------------------------------------------
constexpr UINT kExitCodeDone = 0;
constexpr UINT kExitCodeFailed = static_cast<UINT>(-1);
