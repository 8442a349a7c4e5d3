#pragma once

#include <cstdio>

namespace Platform {

// True when the stream writes to a terminal (a live progress bar makes sense).
bool isTerminal(std::FILE *stream);

} // namespace Platform
