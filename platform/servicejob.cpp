#include "platform/servicejob.h"

#include "platform/pathcodec.h"
#include "service/servicewire.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Platform {

namespace {

namespace wire = rw::service;

// A service that says nothing for this long (it says it is alive every
// second) has stopped answering, as the companions' own client judges.
constexpr int SilenceLimitMs = 10'000;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

int pollOne(int fd, short events, int waitMs)
{
    pollfd p{fd, events, 0};
    int r = -1;
    do
        r = ::poll(&p, 1, waitMs);
    while (r < 0 && errno == EINTR);
    return r == 1 ? p.revents : 0;
}

int connectTo(const QString &socketPath)
{
    sockaddr_un address{};
    socklen_t length = 0;
    if (!wire::socketAddress(encodePath(socketPath).toStdString(), address, length))
        return -1;
    Fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0 || ::connect(sock.get(), reinterpret_cast<sockaddr *>(&address), length) != 0)
        return -1;
    return sock.release();
}

bool killPidfd(int pidfd)
{
    return ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
}

// A probe's document, opened as the probe opens it (read-only, following
// links, a regular file only); -1 when it cannot be.
int openDocument(const QString &path)
{
    const int fd = ::open(encodePath(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Hands the probe's document to the worker as the request's last
// descriptor, where the wire carries one (a worker that reads no file by
// name outside the service's folder needs it); the worker otherwise opens
// it by name and gives the probe's reason when it cannot.
template <typename WireRequest>
void handDocument(WireRequest &request, int document)
{
    if constexpr (requires { request.withDocument; }) {
        if (document >= 0 && request.descriptors.size() < wire::kMaxDescriptors) {
            request.descriptors.push_back(document);
            request.withDocument = true;
        }
    }
}

} // namespace

std::unique_ptr<ServiceJob> ServiceJob::start(const QString &socketPath, const Request &request, int acceptMs)
{
    Fd sock(connectTo(socketPath));
    if (sock.get() < 0)
        return nullptr;
    // Our descriptors go only to a service of our own user.
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    if (::getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 || peer.uid != ::getuid())
        return nullptr;
    // The service speaks first; nothing is sent before it has taken up the
    // connection.
    if (!(pollOne(sock.get(), POLLIN, acceptMs) & POLLIN))
        return nullptr;
    const std::optional<wire::ReceivedNotice> accepted = wire::receiveNotice(sock.get());
    if (!accepted || accepted->notice != wire::Notice::Accepted) {
        if (accepted && accepted->descriptor >= 0)
            ::close(accepted->descriptor);
        return nullptr;
    }

    wire::Request out;
    out.job = request.probe ? wire::Job::Probe : wire::Job::Render;
    for (const QString &argument : request.arguments)
        out.arguments.push_back(encodePath(argument).toStdString());
    for (const QString &entry : request.environment)
        out.environment.push_back(encodePath(entry).toStdString());
    const mode_t mask = ::umask(0);
    ::umask(mask);
    out.umask = unsigned(mask);
    for (int resource = 0; resource < RLIM_NLIMITS; ++resource) {
        rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
        ::getrlimit(resource, &limit);
        out.limits.push_back(limit);
    }
    // The working folder, then standard input and output (discarded, as for
    // a hidden child), standard error, then the inherited descriptor.
    const QByteArray folder = encodePath(request.workingFolder.isEmpty() ? QStringLiteral(".")
                                                                         : request.workingFolder);
    const Fd cwd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    Fd error;
    if (!request.errorFile.isEmpty())
        error.reset(::open(encodePath(request.errorFile).constData(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644));
    if (cwd.get() < 0 || null.get() < 0 || (!request.errorFile.isEmpty() && error.get() < 0))
        return nullptr;
    out.descriptors = {cwd.get(), null.get(), null.get(), error.get() >= 0 ? error.get() : STDERR_FILENO};
    // The passwords' pipe goes first of the inherited ones: the worker names
    // its own number for it in RASTERWELL_PASSWORD_FD.
    if (request.secretDescriptor >= 0)
        out.descriptors.push_back(request.secretDescriptor);
    if (request.inheritDescriptor >= 0)
        out.descriptors.push_back(request.inheritDescriptor);
    // The probe's command line: pdftk.exe DOCUMENT data_dump output RESULT dont_ask.
    const Fd document(request.probe && request.arguments.size() == 6 && !request.arguments[1].isEmpty()
                          ? openDocument(request.arguments[1])
                          : -1);
    handDocument(out, document.get());
    if (!wire::sendRequest(sock.get(), out))
        return nullptr;

    std::unique_ptr<ServiceJob> job(new ServiceJob);
    ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) | O_NONBLOCK);
    job->socket_ = sock.release();
    job->error_ = error.release();
    job->probe_ = request.probe;
    // Wakes the event loop for each notice (read in exitStatus()).
    job->notifier_ = std::make_unique<QSocketNotifier>(job->socket_, QSocketNotifier::Read);
    job->silence_.start();
    return job;
}

ServiceJob::~ServiceJob()
{
    notifier_.reset();
    // Hanging up stops a worker that still runs: the service kills it.
    if (socket_ >= 0)
        ::close(socket_);
    if (worker_ >= 0)
        ::close(worker_);
    if (error_ >= 0)
        ::close(error_);
}

// A line on the job's standard error, as the launcher would write it.
void ServiceJob::say(const QByteArray &line) const
{
    const QByteArray text = QByteArray(probe_ ? "pdftk.exe: " : "rwrender: ") + line + '\n';
    const int fd = error_ >= 0 ? error_ : STDERR_FILENO;
    [[maybe_unused]] const ssize_t written = ::write(fd, text.constData(), size_t(text.size()));
}

// Reads the notices that are there (waiting up to `waitMs` for the first);
// true once the job has ended.
bool ServiceJob::readNotices(int waitMs)
{
    if (status_)
        return true;
    int wait = waitMs;
    while (pollOne(socket_, POLLIN, wait) & (POLLIN | POLLHUP | POLLERR)) {
        wait = 0;
        silence_.restart();
        const std::optional<wire::ReceivedNotice> notice = wire::receiveNotice(socket_);
        if (!notice) {
            gone_ = true;
            break;
        }
        if (notice->notice == wire::Notice::Worker) {
            if (worker_ >= 0)
                ::close(worker_);
            worker_ = notice->descriptor;
        } else if (notice->descriptor >= 0) {
            ::close(notice->descriptor);
        }
        if (notice->notice == wire::Notice::Reply) {
            const std::optional<wire::Reply> reply = wire::receiveReply(socket_);
            if (!reply) {
                gone_ = true;
                break;
            }
            if (reply->how == wire::Reply::How::Killed) {
                killedBy_ = reply->value;
                status_ = 128 + reply->value;
                if (!stopping_)
                    say(QByteArray("the rendering process was killed by signal ") + QByteArray::number(reply->value)
                        + " (" + ::strsignal(reply->value) + ")");
            } else {
                status_ = reply->value;
            }
            notifier_.reset();
            return true;
        }
    }
    if (!gone_ && silence_.elapsed() >= SilenceLimitMs)
        gone_ = true;
    if (gone_) {
        // The service went (or fell silent) before it told how the job
        // went: the worker, if one had the job, must be gone before anything
        // else touches its folder.
        notifier_.reset();
        if (worker_ >= 0) {
            killPidfd(worker_);
            pollOne(worker_, POLLIN, 5000);
        }
        lost_ = true;
        status_ = 1;
        if (!stopping_)
            say("the render service ended before it told how the job went");
        return true;
    }
    return false;
}

std::optional<int> ServiceJob::exitStatus()
{
    readNotices(0);
    return status_;
}

void ServiceJob::end(int waitMs)
{
    if (status_)
        return;
    stopping_ = true;
    ::shutdown(socket_, SHUT_WR);
    QElapsedTimer clock;
    clock.start();
    while (!status_ && !gone_ && clock.elapsed() < waitMs)
        readNotices(int(std::max<qint64>(1, waitMs - clock.elapsed())));
    if (!status_) {
        if (worker_ >= 0) {
            killPidfd(worker_);
            pollOne(worker_, POLLIN, waitMs);
        }
        notifier_.reset();
        lost_ = true;
        status_ = 1;
    }
}

bool waitForListener(const QString &socketPath, int limitMs, const std::function<bool()> &stillStarting)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int sock = connectTo(socketPath);
        if (sock >= 0) {
            // The service takes this connection up and lets it go when no
            // request follows.
            ::close(sock);
            return true;
        }
        if (clock.elapsed() >= limitMs || (stillStarting && !stillStarting()))
            return false;
        ::usleep(500);
    }
}

} // namespace Platform
