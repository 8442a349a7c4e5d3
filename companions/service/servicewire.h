#pragma once

// What the render service's client and the service say to each other over
// their Unix socket. A request: the job (render or probe), the client's
// command line and environment, and its descriptors (current folder,
// standard input, output and error, and any it inherited, such as a
// staging folder's lock), and for a probe job the document, opened by the
// client. The reply: how the worker that ran the job ended.
// The client asks the worker to stop by shutting down its side of the
// connection (or by ending); the reply then comes once the worker is gone.
//
// The service speaks first: a client sends its descriptors only once the
// service has accepted the connection and said so, so that they are never
// left in a connection no one takes up. While the job waits and runs, the
// service says it is alive every second, and names the worker (its pidfd)
// once one has the job: a client whose service falls silent can end that
// worker itself.

#include <cstdint>
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
    // cwd, stdin, stdout, stderr, then the inherited ones, then (with
    // `withDocument`) the document; owned by the receiver.
    std::vector<int> descriptors;
    // A probe job's document comes as the last descriptor: opened by the
    // client (read-only, close-on-exec, following links, a regular file
    // only), since a worker reads no file by path outside the service's
    // folder. Without it (the client could not open the document as a
    // regular file) the worker opens argv[1] itself and gives the reason it
    // cannot. Sent as one number after the limits (0 or 1).
    bool withDocument = false;
};

// How the worker ended.
struct Reply {
    enum class How : int { Exited = 0, Killed = 1 } how = How::Exited;
    int value = 0; // exit status or signal number
};

// The most descriptors a request carries.
constexpr std::size_t kMaxDescriptors = 24;
// The most bytes of a request after its head.
constexpr std::uint32_t kMaxPayload = 4 << 20;

// One byte from the service to a client, before the reply.
enum class Notice : char {
    Accepted = 'A', // the connection is taken up: send the request
    Alive = '.',    // sent every second while the job waits or runs
    Worker = 'W',   // carries the pidfd of the worker that has the job
    Reply = 'R',    // the reply follows at once
};
constexpr int kAliveIntervalMs = 1000;

// Sends one notice (with `descriptor` attached when it is not -1); never
// blocks: a client that does not read loses notices, never the service's time.
bool sendNotice(int socket, Notice notice, int descriptor = -1);
struct ReceivedNotice {
    Notice notice = Notice::Alive;
    int descriptor = -1; // owned by the receiver
};
// Nothing at the end of the connection or on anything not a notice.
std::optional<ReceivedNotice> receiveNotice(int socket);
// The reply to a client: Notice::Reply and the reply, in one write that
// never blocks.
bool sendClientReply(int socket, const Reply &reply);

// Reads a request in pieces as they come, without ever blocking, so that a
// slow client holds up no one else.
class RequestReader {
public:
    enum class State { More, Done, Bad };
    RequestReader() = default;
    ~RequestReader();
    RequestReader(const RequestReader &) = delete;
    RequestReader &operator=(const RequestReader &) = delete;
    RequestReader(RequestReader &&other) noexcept;
    RequestReader &operator=(RequestReader &&other) noexcept;

    // Reads what is there now (the socket may block or not: only one read
    // is made per call when nothing more is ready).
    State readFrom(int socket);
    // The request, once readFrom said Done; its descriptors then belong to
    // the caller.
    Request take();

private:
    State parse();

    std::uint32_t head_[2] = {};
    std::size_t headGot_ = 0;
    std::string body_;
    std::size_t bodyGot_ = 0;
    Request request_;
    bool bad_ = false;
};

// Fills `address` for a socket path, or an abstract name written "@name";
// false when it does not fit.
bool socketAddress(const std::string &name, sockaddr_un &address, socklen_t &length);

bool sendRequest(int socket, const Request &request);
// Nothing when the peer sent no well-formed request. Waits for as long as
// the request takes (a worker waiting for its next job).
std::optional<Request> receiveRequest(int socket);

bool sendReply(int socket, const Reply &reply);
// Nothing when the connection ended without a reply.
std::optional<Reply> receiveReply(int socket);

} // namespace rw::service
