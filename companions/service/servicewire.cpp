#include "service/servicewire.h"

#include "common/fdio.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace rw::service {

namespace {

constexpr std::uint32_t kMagic = 0x52575332; // "RWS2"

void putNumber(std::string &out, std::uint32_t value)
{
    out.append(reinterpret_cast<const char *>(&value), sizeof value);
}

void putLimits(std::string &out, const std::vector<rlimit> &limits)
{
    putNumber(out, std::uint32_t(limits.size()));
    for (const rlimit &l : limits)
        out.append(reinterpret_cast<const char *>(&l), sizeof l);
}

void putStrings(std::string &out, const std::vector<std::string> &strings)
{
    putNumber(out, std::uint32_t(strings.size()));
    for (const std::string &s : strings) {
        putNumber(out, std::uint32_t(s.size()));
        out += s;
    }
}

class Reader {
public:
    explicit Reader(const std::string &data) : data_(data) {}
    bool number(std::uint32_t &value)
    {
        if (data_.size() - at_ < sizeof value)
            return false;
        std::memcpy(&value, data_.data() + at_, sizeof value);
        at_ += sizeof value;
        return true;
    }
    bool strings(std::vector<std::string> &out)
    {
        std::uint32_t count = 0;
        if (!number(count) || count > data_.size())
            return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint32_t size = 0;
            if (!number(size) || data_.size() - at_ < size)
                return false;
            out.emplace_back(data_, at_, size);
            // A string with a NUL in it cannot be an argument.
            if (out.back().find('\0') != std::string::npos)
                return false;
            at_ += size;
        }
        return true;
    }
    bool limits(std::vector<rlimit> &out)
    {
        std::uint32_t count = 0;
        if (!number(count) || count > RLIM_NLIMITS || data_.size() - at_ < count * sizeof(rlimit))
            return false;
        out.resize(count);
        std::memcpy(out.data(), data_.data() + at_, count * sizeof(rlimit));
        at_ += count * sizeof(rlimit);
        return true;
    }
    bool atEnd() const { return at_ == data_.size(); }

private:
    const std::string &data_;
    std::size_t at_ = 0;
};

bool writeAll(int fd, const char *data, std::size_t size)
{
    return fdio::sendAll(fd, data, size);
}

bool readAll(int fd, char *data, std::size_t size)
{
    return fdio::receiveAll(fd, data, size);
}

} // namespace

bool socketAddress(const std::string &name, sockaddr_un &address, socklen_t &length)
{
    address = {};
    address.sun_family = AF_UNIX;
    const bool abstract = !name.empty() && name[0] == '@';
    if (name.size() < 2 || name.size() >= sizeof address.sun_path || name.find('\0') != std::string::npos)
        return false;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (abstract)
        address.sun_path[0] = '\0';
    length = socklen_t(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
    return true;
}

bool sendRequest(int socket, const Request &request)
{
    if (request.descriptors.empty() || request.descriptors.size() > kMaxDescriptors)
        return false;
    std::string body;
    putNumber(body, std::uint32_t(request.job));
    putStrings(body, request.arguments);
    putStrings(body, request.environment);
    putNumber(body, request.umask);
    putLimits(body, request.limits);
    putNumber(body, request.withDocument ? 1 : 0);
    std::string head;
    putNumber(head, kMagic);
    putNumber(head, std::uint32_t(body.size()));

    // The descriptors travel with the first bytes.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)] = {};
    iovec iov{head.data(), head.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * request.descriptors.size());
    cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int) * request.descriptors.size());
    std::memcpy(CMSG_DATA(cmsg), request.descriptors.data(),
                sizeof(int) * request.descriptors.size());
    ssize_t sent = -1;
    do
        sent = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent <= 0)
        return false;
    return writeAll(socket, head.data() + sent, head.size() - std::size_t(sent))
           && writeAll(socket, body.data(), body.size());
}

RequestReader::~RequestReader()
{
    for (int fd : request_.descriptors)
        ::close(fd);
}

RequestReader::RequestReader(RequestReader &&other) noexcept
    : headGot_(other.headGot_), body_(std::move(other.body_)), bodyGot_(other.bodyGot_),
      request_(std::move(other.request_)), bad_(other.bad_)
{
    std::memcpy(head_, other.head_, sizeof head_);
    other.request_.descriptors.clear();
}

RequestReader &RequestReader::operator=(RequestReader &&other) noexcept
{
    if (this != &other) {
        for (int fd : request_.descriptors)
            ::close(fd);
        std::memcpy(head_, other.head_, sizeof head_);
        headGot_ = other.headGot_;
        body_ = std::move(other.body_);
        bodyGot_ = other.bodyGot_;
        request_ = std::move(other.request_);
        bad_ = other.bad_;
        other.request_.descriptors.clear();
    }
    return *this;
}

RequestReader::State RequestReader::readFrom(int socket)
{
    while (!bad_) {
        const bool inHead = headGot_ < sizeof head_;
        char *into = inHead ? reinterpret_cast<char *>(head_) + headGot_ : body_.data() + bodyGot_;
        const std::size_t want = inHead ? sizeof head_ - headGot_ : body_.size() - bodyGot_;
        if (!inHead && want == 0)
            return parse();
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)] = {};
        iovec iov{into, want};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); got >= 0 && c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            const std::size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            const std::size_t start = request_.descriptors.size();
            request_.descriptors.resize(start + n);
            std::memcpy(request_.descriptors.data() + start, CMSG_DATA(c), n * sizeof(int));
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return State::More;
        // An end before the whole request, or more descriptors than a
        // request may carry.
        if (got <= 0 || (msg.msg_flags & MSG_CTRUNC)
            || request_.descriptors.size() > kMaxDescriptors) {
            bad_ = true;
            break;
        }
        if (inHead) {
            headGot_ += std::size_t(got);
            if (headGot_ == sizeof head_) {
                if (head_[0] != kMagic || head_[1] > kMaxPayload || request_.descriptors.size() < 4) {
                    bad_ = true;
                    break;
                }
                body_.assign(head_[1], '\0');
            }
        } else {
            bodyGot_ += std::size_t(got);
        }
    }
    return State::Bad;
}

RequestReader::State RequestReader::parse()
{
    Reader reader(body_);
    std::uint32_t job = 0;
    std::uint32_t withDocument = 0;
    if (!reader.number(job) || (job != unsigned(Job::Render) && job != unsigned(Job::Probe))
        || !reader.strings(request_.arguments) || !reader.strings(request_.environment)
        || !reader.number(request_.umask) || !reader.limits(request_.limits)
        || !reader.number(withDocument) || withDocument > 1
        || (withDocument && (job != unsigned(Job::Probe) || request_.descriptors.size() < 5))
        || !reader.atEnd() || request_.arguments.empty()) {
        bad_ = true;
        return State::Bad;
    }
    request_.job = Job(job);
    request_.withDocument = withDocument == 1;
    return State::Done;
}

Request RequestReader::take()
{
    Request out = std::move(request_);
    request_ = {};
    return out;
}

std::optional<Request> receiveRequest(int socket)
{
    RequestReader reader;
    for (;;) {
        switch (reader.readFrom(socket)) {
        case RequestReader::State::Done:
            return reader.take();
        case RequestReader::State::Bad:
            return std::nullopt;
        case RequestReader::State::More: {
            pollfd p{socket, POLLIN, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR)
                return std::nullopt;
            break;
        }
        }
    }
}

bool sendNotice(int socket, Notice notice, int descriptor)
{
    char byte = char(notice);
    iovec iov{&byte, 1};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (descriptor >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(cmsg), &descriptor, sizeof(int));
    }
    ssize_t sent = -1;
    do
        sent = ::sendmsg(socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
    return sent == 1;
}

std::optional<ReceivedNotice> receiveNotice(int socket)
{
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got = -1;
    do
        got = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    ReceivedNotice notice;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); got > 0 && c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        std::vector<int> fds(n);
        std::memcpy(fds.data(), CMSG_DATA(c), n * sizeof(int));
        for (int fd : fds) {
            if (notice.descriptor < 0)
                notice.descriptor = fd;
            else
                ::close(fd);
        }
    }
    const bool known = byte == char(Notice::Accepted) || byte == char(Notice::Alive)
                       || byte == char(Notice::Worker) || byte == char(Notice::Reply);
    if (got != 1 || !known) {
        if (notice.descriptor >= 0)
            ::close(notice.descriptor);
        return std::nullopt;
    }
    notice.notice = Notice(byte);
    if (notice.notice != Notice::Worker && notice.descriptor >= 0) {
        ::close(notice.descriptor);
        notice.descriptor = -1;
    }
    return notice;
}

bool sendClientReply(int socket, const Reply &reply)
{
    char data[1 + 2 * sizeof(std::int32_t)];
    data[0] = char(Notice::Reply);
    const std::int32_t values[2] = {std::int32_t(reply.how), std::int32_t(reply.value)};
    std::memcpy(data + 1, values, sizeof values);
    ssize_t sent = -1;
    do
        sent = ::send(socket, data, sizeof data, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(sizeof data);
}

bool sendReply(int socket, const Reply &reply)
{
    const std::int32_t data[2] = {std::int32_t(reply.how), std::int32_t(reply.value)};
    return writeAll(socket, reinterpret_cast<const char *>(data), sizeof data);
}

std::optional<Reply> receiveReply(int socket)
{
    std::int32_t data[2] = {};
    if (!readAll(socket, reinterpret_cast<char *>(data), sizeof data))
        return std::nullopt;
    if (data[0] != int(Reply::How::Exited) && data[0] != int(Reply::How::Killed))
        return std::nullopt;
    return Reply{Reply::How(data[0]), data[1]};
}

} // namespace rw::service
