#include "platform/servicejob.h"

#include "platform/pathcodec.h"
#include "platform/process.h"
#include "service/servicewire.h"

#include "common/child.h"
#include "common/fd.h"
#include "common/fdio.h"

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

using rw::Fd;

int pollOne(int fd, short events, int waitMs)
{
    pollfd p{fd, events, 0};
    int r = -1;
    do
        r = ::poll(&p, 1, waitMs);
    while (r < 0 && errno == EINTR);
    return r == 1 ? p.revents : 0;
}

Fd connectTo(const QString &socketPath)
{
    sockaddr_un address{};
    socklen_t length = 0;
    if (!wire::socketAddress(encodePath(socketPath).toStdString(), address, length))
        return Fd();
    Fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0 || ::connect(sock.get(), reinterpret_cast<sockaddr *>(&address), length) != 0)
        return Fd();
    return sock;
}

bool killPidfd(int pidfd)
{
    return ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
}

// A probe's document, opened as the probe opens it (read-only, following
// links, a regular file only); -1 when it cannot be.
Fd openDocument(const QString &path)
{
    Fd fd(::open(encodePath(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (fd.isOpen() && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fd.reset();
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

struct ServiceJob::Descriptors {
    Fd socket;
    Fd worker;
    Fd error;
    Fd service; // the service's pidfd, to end it when it falls silent
};

ServiceJob::ServiceJob() : fds_(std::make_unique<Descriptors>()) {}

std::unique_ptr<ServiceJob> ServiceJob::start(const QString &socketPath, const Request &request, int acceptMs)
{
    Fd sock = connectTo(socketPath);
    if (sock.get() < 0)
        return nullptr;
    // Our descriptors go only to a service of our own user.
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    if (::getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 || peer.uid != ::getuid())
        return nullptr;
    Fd service(peer.pid > 0 ? rw::openPidfd(peer.pid) : -1);
    // The service speaks first; nothing is sent before it has taken up the
    // connection.
    if (!(pollOne(sock.get(), POLLIN, acceptMs) & POLLIN))
        return nullptr;
    const std::optional<wire::ReceivedNotice> accepted = wire::receiveNotice(sock.get());
    if (!accepted || accepted->notice != wire::Notice::Accepted) {
        if (accepted)
            const Fd unwanted(accepted->descriptor);
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
    // The inherited ones, in the order a started child gets them: the
    // passwords' pipe first, for which the worker names its own number in
    // RASTERWELL_PASSWORD_FD.
    for (const int fd : inheritedDescriptors(request.secretDescriptor, request.inheritDescriptor))
        out.descriptors.push_back(fd);
    // The probe's command line: pdftk.exe DOCUMENT data_dump output RESULT dont_ask.
    const Fd document = request.probe && request.arguments.size() == 6 && !request.arguments[1].isEmpty()
                            ? openDocument(request.arguments[1])
                            : Fd();
    handDocument(out, document.get());
    if (!wire::sendRequest(sock.get(), out))
        return nullptr;

    std::unique_ptr<ServiceJob> job(new ServiceJob);
    ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) | O_NONBLOCK);
    job->fds_->socket = std::move(sock);
    job->fds_->error = std::move(error);
    job->fds_->service = std::move(service);
    job->probe_ = request.probe;
    // Wakes the event loop for each notice (read in exitStatus()).
    job->notifier_ = std::make_unique<QSocketNotifier>(job->fds_->socket.get(), QSocketNotifier::Read);
    job->silence_.start();
    return job;
}

ServiceJob::~ServiceJob()
{
    notifier_.reset();
    // Hanging up (the socket closes with fds_) stops a worker that still
    // runs: the service kills it.
}

// A line on the job's standard error, as the launcher would write it.
void ServiceJob::say(const QByteArray &line) const
{
    const QByteArray text = QByteArray(probe_ ? "pdftk.exe: " : "rwrender: ") + line + '\n';
    const int fd = fds_->error.isOpen() ? fds_->error.get() : STDERR_FILENO;
    rw::fdio::writeAll(fd, text.constData(), size_t(text.size()));
}

// Reads the notices that are there (waiting up to `waitMs` for the first);
// true once the job has ended.
bool ServiceJob::readNotices(int waitMs)
{
    if (status_)
        return true;
    int wait = waitMs;
    while (pollOne(fds_->socket.get(), POLLIN, wait) & (POLLIN | POLLHUP | POLLERR)) {
        wait = 0;
        silence_.restart();
        const std::optional<wire::ReceivedNotice> notice = wire::receiveNotice(fds_->socket.get());
        if (!notice) {
            gone_ = true;
            break;
        }
        Fd descriptor(notice->descriptor);
        if (notice->notice == wire::Notice::Worker)
            fds_->worker = std::move(descriptor);
        if (notice->notice == wire::Notice::Reply) {
            const std::optional<wire::Reply> reply = wire::receiveReply(fds_->socket.get());
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
    if (!gone_ && silence_.elapsed() >= SilenceLimitMs) {
        gone_ = true;
        // A stopped or stalled service holds what it was sent (the staging
        // lock among it) and would hold up every later job: it is ended, as
        // the launcher ends a silent service.
        if (fds_->service.isOpen())
            killPidfd(fds_->service.get());
    }
    if (gone_) {
        // The service went (or fell silent) before it told how the job
        // went: the worker, if one had the job, must be gone before anything
        // else touches its folder.
        notifier_.reset();
        if (fds_->worker.isOpen()) {
            killPidfd(fds_->worker.get());
            pollOne(fds_->worker.get(), POLLIN, 5000);
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
    ::shutdown(fds_->socket.get(), SHUT_WR);
    QElapsedTimer clock;
    clock.start();
    while (!status_ && !gone_ && clock.elapsed() < waitMs)
        readNotices(int(std::max<qint64>(1, waitMs - clock.elapsed())));
    if (!status_) {
        if (fds_->worker.isOpen()) {
            killPidfd(fds_->worker.get());
            pollOne(fds_->worker.get(), POLLIN, waitMs);
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
        // The service takes this connection up and lets it go when no
        // request follows.
        if (connectTo(socketPath).isOpen())
            return true;
        if (clock.elapsed() >= limitMs || (stillStarting && !stillStarting()))
            return false;
        ::usleep(500);
    }
}

} // namespace Platform
