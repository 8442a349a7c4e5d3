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
