#include "platform/gui/singleinstance.h"

#include "common/filelock.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

const QString LockName = QStringLiteral("rasterwell.lock");

// A request: magic, payload size, payload (the count of paths, then each
// path as QDataStream writes a QString). The window answers with one byte.
constexpr quint32 Magic = 0x52574831; // "RWH1"
constexpr quint32 MaxPayloadBytes = 64u << 20;
constexpr char Ack = 'A';

constexpr int LockWaitMs = 10000;   // another start looks or starts listening
constexpr int ConnectWaitMs = 2000;
constexpr int AnswerWaitMs = 30000; // the open window may still be starting up
constexpr int RequestWaitMs = 30000;
constexpr int Attempts = 3;         // the open window may end while we talk to it

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A folder of this user that no other user can enter or write.
bool isPrivateFolder(const QString &folder, QString *why)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0) {
        *why = QStringLiteral("%1: %2").arg(folder, systemError(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode))
        *why = QStringLiteral("%1 is not a folder").arg(folder);
    else if (st.st_uid != ::geteuid())
        *why = QStringLiteral("%1 belongs to another user").arg(folder);
    else if (st.st_mode & (S_IRWXG | S_IRWXO))
        *why = QStringLiteral("%1 is open to other users").arg(folder);
    else
        return true;
    return false;
}

// An exclusive lock on a file, held until it goes or is unlocked. Taking
// it gives up after a while: a start never hangs on another one.
rw::FileLock takeLock(const QString &path, int waitMs)
{
    rw::FileLock lock(QFile::encodeName(path).toStdString(), 0600);
    lock.lockWithin(std::chrono::milliseconds(waitMs));
    return lock;
}

QByteArray requestFor(const QStringList &paths)
{
    QByteArray payload;
    {
        QDataStream out(&payload, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_6_0);
        out << quint32(paths.size());
        for (const QString &p : paths)
            out << p;
    }
    QByteArray request;
    QDataStream out(&request, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << Magic << quint32(payload.size());
    request += payload;
    return request;
}

// The paths of a payload; nothing when it is malformed.
std::optional<QStringList> pathsOf(const QByteArray &payload)
{
    QDataStream in(payload);
    in.setVersion(QDataStream::Qt_6_0);
    quint32 count = 0;
    in >> count;
    if (in.status() != QDataStream::Ok || count > quint32(payload.size()) / 4)
        return std::nullopt; // every path takes at least its 4-byte length
    QStringList paths;
    paths.reserve(count);
    for (quint32 i = 0; i < count; ++i) {
        QString p;
        in >> p;
        paths << p;
    }
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return std::nullopt;
    return paths;
}

enum class HandOver { Taken, WindowGone, NoAnswer };

HandOver handOver(QLocalSocket &socket, const QStringList &paths)
{
    const QByteArray request = requestFor(paths);
    if (socket.write(request) != request.size())
        return HandOver::WindowGone;
    const QDeadlineTimer deadline(AnswerWaitMs);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
            return socket.state() == QLocalSocket::ConnectedState ? HandOver::NoAnswer : HandOver::WindowGone;
    }
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime())))
            return socket.state() == QLocalSocket::ConnectedState ? HandOver::NoAnswer : HandOver::WindowGone;
    }
    char answer = 0;
    return socket.read(&answer, 1) == 1 && answer == Ack ? HandOver::Taken : HandOver::WindowGone;
}

QString x11Key(const QString &display)
{
    // [host]:number[.screen]; the host may itself hold colons (IPv6).
    const qsizetype colon = display.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return QStringLiteral("x11:") + display; // not a form we know: taken as it is
    QString host = display.left(colon).toLower();
    if (host == QLatin1String("unix"))
        host.clear();
    QString number = display.mid(colon + 1);
    const qsizetype dot = number.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        number.truncate(dot);
    bool numeric = false;
    const uint n = number.toUInt(&numeric);
    return QStringLiteral("x11:%1:%2").arg(host, numeric ? QString::number(n) : number);
}

QString waylandKey(const QString &display, const QString &runtimeFolder)
{
    QString socket = display.isEmpty() ? QStringLiteral("wayland-0") : display;
    if (!QDir::isAbsolutePath(socket) && !runtimeFolder.isEmpty())
        socket = runtimeFolder + QLatin1Char('/') + socket;
    return QStringLiteral("wayland:") + (QDir::isAbsolutePath(socket) ? QDir::cleanPath(socket) : socket);
}

// The platform plugin name without its arguments: "xcb" of "xcb:x=1;wayland".
QString pluginName(const QString &platform)
{
    return platform.section(QLatin1Char(';'), 0, 0).section(QLatin1Char(':'), 0, 0).trimmed();
}

} // namespace

QString displayKey(const QString &platform, const QString &waylandDisplay, const QString &x11Display,
                   const QString &runtimeFolder)
{
    const QString plugin = pluginName(platform);
    if (plugin == QLatin1String("xcb"))
        return x11Key(x11Display);
    if (plugin.startsWith(QLatin1String("wayland")))
        return waylandKey(waylandDisplay, runtimeFolder);
    if (!plugin.isEmpty())
        return QStringLiteral("qpa:") + plugin;
    if (!waylandDisplay.isEmpty())
        return waylandKey(waylandDisplay, runtimeFolder);
    if (!x11Display.isEmpty())
        return x11Key(x11Display);
    return {};
}

QString currentDisplayKey()
{
    const QString platform = qobject_cast<QGuiApplication *>(QCoreApplication::instance())
                                 ? QGuiApplication::platformName()
                                 : qEnvironmentVariable("QT_QPA_PLATFORM");
    return displayKey(platform, qEnvironmentVariable("WAYLAND_DISPLAY"), qEnvironmentVariable("DISPLAY"),
                      qEnvironmentVariable("XDG_RUNTIME_DIR"));
}

QString socketNameFor(const QString &key)
{
    if (key.isEmpty())
        return QStringLiteral("rasterwell.socket");
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("rasterwell-%1.socket").arg(QString::fromLatin1(hash.left(16)));
}

std::optional<QString> privateRuntimeFolder(QString *why)
{
    QString reason;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && isPrivateFolder(runtime, &reason))
        return runtime;

    // A name others can guess: made with mode 0700, and used only when it
    // turns out to be ours and closed to others, whoever made it.
    const QString own = QDir::tempPath() + QStringLiteral("/rasterwell-%1").arg(::geteuid());
    if (::mkdir(QFile::encodeName(own).constData(), 0700) != 0 && errno != EEXIST) {
        reason = QStringLiteral("%1: %2").arg(own, systemError(errno));
    } else if (isPrivateFolder(own, &reason)) {
        return own;
    }
    if (why)
        *why = reason;
    return std::nullopt;
}

LocalInstanceChannel::LocalInstanceChannel(std::optional<QString> folder, std::optional<QString> display)
    : folder_(std::move(folder)), display_(std::move(display))
{
}

LocalInstanceChannel::~LocalInstanceChannel()
{
    stop();
}

InstanceChannel::Outcome LocalInstanceChannel::start(const QStringList &paths, bool handOverPaths,
                                                     Receiver receive)
{
    problem_.clear();
    if (!folder_) {
        folder_ = privateRuntimeFolder(&problem_);
        if (!folder_) {
            problem_ = QStringLiteral("no private folder for talking to other Rasterwell windows (%1)")
                           .arg(problem_);
            return Outcome::Alone;
        }
    }
    if (!display_)
        display_ = currentDisplayKey();
    const QString socketPath = *folder_ + QLatin1Char('/') + socketNameFor(*display_);

    for (int attempt = 0; attempt < Attempts; ++attempt) {
        // Looking for a window and starting to listen are one step, taken
        // by one start at a time.
        rw::FileLock lock = takeLock(*folder_ + QLatin1Char('/') + LockName, LockWaitMs);
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(ConnectWaitMs)) {
            lock.unlock();
            if (!handOverPaths)
                return Outcome::Alone; // a window listens already; this one opens beside it
            switch (handOver(socket, paths)) {
            case HandOver::Taken: return Outcome::HandedOver;
            case HandOver::WindowGone: continue; // it ended meanwhile: look again
            case HandOver::NoAnswer:
                problem_ = QStringLiteral("the open Rasterwell window does not answer; opening another one");
                return Outcome::Alone;
            }
        }
        // Nobody accepts: a socket left by a window that ended is replaced.
        QLocalServer::removeServer(socketPath);
        auto server = std::make_unique<QLocalServer>();
        if (!server->listen(socketPath)) {
            problem_ = QStringLiteral("cannot listen on %1: %2").arg(socketPath, server->errorString());
            return Outcome::Alone;
        }
        server_ = std::move(server);
        receive_ = std::move(receive);
        QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(),
                         [this] { acceptConnections(); });
        return Outcome::Listening;
    }
    problem_ = QStringLiteral("the open Rasterwell window went away; opening another one");
    return Outcome::Alone;
}

void LocalInstanceChannel::stop()
{
    if (!server_)
        return;
    // Under the lock, so a start that has just found the socket unanswered
    // and made its own is not robbed of it.
    const rw::FileLock lock = takeLock(*folder_ + QLatin1Char('/') + LockName, 1000);
    server_->close(); // removes the socket
    server_.reset();
}

void LocalInstanceChannel::acceptConnections()
{
    while (QLocalSocket *connection = server_->nextPendingConnection()) {
        QObject::connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
        QObject::connect(connection, &QLocalSocket::readyRead, connection,
                         [this, connection] { readRequest(connection); });
        // A start that says nothing is not waited for forever.
        QTimer::singleShot(RequestWaitMs, connection, [connection] { connection->abort(); });
        if (connection->bytesAvailable() > 0)
            readRequest(connection);
    }
}

void LocalInstanceChannel::readRequest(QLocalSocket *connection)
{
    constexpr qint64 HeaderBytes = 8;
    if (connection->bytesAvailable() < HeaderBytes)
        return;
    QDataStream header(connection->peek(HeaderBytes));
    header.setVersion(QDataStream::Qt_6_0);
    quint32 magic = 0, size = 0;
    header >> magic >> size;
    if (magic != Magic || size > MaxPayloadBytes) {
        connection->abort();
        return;
    }
    if (connection->bytesAvailable() < HeaderBytes + qint64(size))
        return; // the rest is on its way
    connection->skip(HeaderBytes);
    const std::optional<QStringList> paths = pathsOf(connection->read(size));
    if (!paths) {
        connection->abort();
        return;
    }
    // Answer first, so the other start can end while the paths are added.
    connection->write(&Ack, 1);
    connection->flush();
    connection->disconnectFromServer();
    if (receive_)
        QTimer::singleShot(0, server_.get(), [receive = receive_, paths = *paths] { receive(paths); });
}

} // namespace Platform
