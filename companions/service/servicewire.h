#pragma once

// What the render service's client and the service say to each other over
// their Unix socket. A request: the job (render or probe), the client's
// command line and environment, and its descriptors (current folder,
// standard input, output and error, and any it inherited, such as a
// staging folder's lock). The reply: how the worker that ran the job ended.
// The client asks the worker to stop by shutting down its side of the
// connection (or by ending); the reply then comes once the worker is gone.

#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <vector>

namespace rw::service {

enum class Job : unsigned { Render = 1, Probe = 2 };

struct Request {
    Job job = Job::Render;
    std::vector<std::string> arguments;   // argv, the program name first
    std::vector<std::string> environment; // "NAME=value"
    unsigned umask = 022;
    // The client's resource limits (a file size limit, say), by resource.
    std::vector<rlimit> limits;
    // cwd, stdin, stdout, stderr, then the inherited ones; owned by the
    // receiver.
    std::vector<int> descriptors;
};

// How the worker ended.
struct Reply {
    enum class How : int { Exited = 0, Killed = 1 } how = How::Exited;
    int value = 0; // exit status or signal number
};

// The most descriptors a request carries.
constexpr std::size_t kMaxDescriptors = 24;

// Fills `address` for a socket path, or an abstract name written "@name";
// false when it does not fit.
bool socketAddress(const std::string &name, sockaddr_un &address, socklen_t &length);

bool sendRequest(int socket, const Request &request);
// Nothing when the peer sent no well-formed request.
std::optional<Request> receiveRequest(int socket);

bool sendReply(int socket, const Reply &reply);
// Nothing when the connection ended without a reply.
std::optional<Reply> receiveReply(int socket);

} // namespace rw::service
