// The console a command-line program runs in: whether a stream is a terminal and how wide it
// is, and the user's requests to stop (Ctrl-C, a termination request). This project's own
// addition to the handheld API, for vmod-update; implemented in platform/posix/ and
// platform/win32/.
#pragma once

#include <cstdio>

// Whether the stream is a terminal (a person watching) rather than a file or a pipe, and one that
// takes the VT100 sequences that redraw lines (on Windows, a console that cannot is not counted
// as a terminal: its user gets plain lines).
bool ConsoleIsTerminal(FILE* stream);
// The terminal's width in columns; 80 when it cannot be told.
int ConsoleColumns(FILE* stream);
// The columns a character takes on the terminal: 2 for East Asian wide ones, 0 for combining
// marks, -1 for control characters, else 1 (wcwidth's answer).
int ConsoleCharColumns(wchar_t c);

// From the first call on, Ctrl-C and termination requests no longer end the process: they are
// counted, for ConsoleInterrupts and ConsoleTerminations to read. Any thread may read them.
void ConsoleCatchStops();
int ConsoleInterrupts();   // Ctrl-C presses so far
int ConsoleTerminations(); // termination requests so far (SIGTERM, a closed console)
