// rw_sandbox_acts: confines itself as the renderer does (the same function,
// reading DOCUMENT and writing beneath STAGING) and then tries one act:
//
//   rw_sandbox_acts ACT DOCUMENT STAGING OUTSIDE SOCKET
//
// read-document, write-staging, run-helper (pdftoppm renders the document
// into STAGING/helper.jpg): what the renderer must still do;
// read-outside (OUTSIDE/secret.txt), write-outside (a new file in OUTSIDE),
// socket, connect-service (to the render service listening on SOCKET, with
// a socket made before the confinement), exec (/bin/true), ptrace-parent.
// Prints the protections on the first line, then "done" or "refused:
// REASON". Exit status: 0 done, 1 refused, 2 bad command line.

#include "common/sandbox.h"
#include "common/subprocess.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int outcome(bool done)
{
    if (done) {
        std::puts("done");
        return 0;
    }
    std::printf("refused: %s\n", std::strerror(errno));
    return 1;
}

bool opened(int fd)
{
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6)
        return 2;
    const std::string act = argv[1];
    const std::string document = argv[2];
    const std::string staging = argv[3];
    const std::string outside = argv[4];

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, argv[5], sizeof address.sun_path - 1);
    const int early = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Opened as the renderer opens it: helpers read it as /dev/fd/N.
    const int doc = ::open(document.c_str(), O_RDONLY);

    std::printf("%s\n", rw::sandbox::describe(
                            rw::sandbox::confine({{document}, {staging}})).c_str());
    std::fflush(stdout);

    if (act == "read-document")
        return outcome(opened(::open(document.c_str(), O_RDONLY | O_CLOEXEC)));
    if (act == "write-staging")
        return outcome(opened(::open((staging + "/page.jpg").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)));
    if (act == "run-helper") {
        // As the renderer's poppler fallback: pdftoppm renders the document
        // into the staging folder.
        const rw::ProcessResult pdftoppm = rw::runProcess(
            {"pdftoppm", "-jpeg", "-r", "72", "-singlefile", "/dev/fd/" + std::to_string(doc),
             staging + "/helper"},
            std::chrono::seconds(60));
        errno = EPERM;
        return outcome(pdftoppm.succeeded());
    }
    if (act == "read-outside")
        return outcome(opened(::open((outside + "/secret.txt").c_str(), O_RDONLY | O_CLOEXEC)));
    if (act == "write-outside")
        return outcome(opened(::open((outside + "/planted.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)));
    if (act == "socket")
        return outcome(opened(::socket(AF_INET, SOCK_STREAM, 0))
                       || opened(::socket(AF_UNIX, SOCK_STREAM, 0)));
    if (act == "connect-service")
        return outcome(early >= 0
                       && ::connect(early, reinterpret_cast<sockaddr *>(&address), sizeof address)
                              == 0);
    if (act == "exec") {
        char *const args[] = {const_cast<char *>("/bin/true"), nullptr};
        ::execv(args[0], args);
        return outcome(false);
    }
    if (act == "ptrace-parent")
        return outcome(::ptrace(PTRACE_SEIZE, ::getppid(), nullptr, nullptr) == 0);
    return 2;
}
