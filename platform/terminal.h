#pragma once

#include <cstdio>

namespace Platform {

// True when the stream writes to a terminal (a live progress bar makes sense).
bool isTerminal(std::FILE *stream);

} // namespace Platform

namespace Platform {

// The width of the terminal the stream writes to, in columns; 80 when it
// cannot be told.
int terminalColumns(std::FILE *stream);

} // namespace Platform

namespace Platform {

// A write to a pipe whose reader has gone fails (EPIPE) rather than ending
// this process by SIGPIPE; children start with the signal as it should be.
void ignoreBrokenPipes();

// True when no one reads what is written to descriptor `fd` any more (a
// pipe or socket whose reading end is closed).
bool readerGone(int fd);

} // namespace Platform
