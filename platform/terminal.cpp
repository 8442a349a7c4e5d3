#include "platform/terminal.h"

#include <unistd.h>

namespace Platform {

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

} // namespace Platform
