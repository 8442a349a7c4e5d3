#include "platform/terminal.h"

#include <csignal>
#include <poll.h>

#include <unistd.h>

namespace Platform {

bool isTerminal(std::FILE *stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

} // namespace Platform

#include <sys/ioctl.h>

namespace Platform {

int terminalColumns(std::FILE *stream)
{
    struct winsize size {};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

} // namespace Platform

namespace Platform {

void ignoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

bool readerGone(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    return fd >= 0 && ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

} // namespace Platform
