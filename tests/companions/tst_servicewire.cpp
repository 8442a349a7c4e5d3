// What the render service takes from a connection: a request read piece by
// piece, refused whole when it is truncated, oversized, malformed or comes
// with too few or too many descriptors (whatever descriptors came are
// closed); and the service itself: it greets only its own user, and a
// slow client holds up no other.

#include "service/servicewire.h"

#include "tests/companions/companiontest.h"
#include "tests/companions/servicetest.h"
#include "tests/support/pdffixtures.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace rw::service;

namespace {

void put(QByteArray &out, quint32 value)
{
    out.append(reinterpret_cast<const char *>(&value), sizeof value);
}

void putStrings(QByteArray &out, const QList<QByteArray> &strings)
{
    put(out, quint32(strings.size()));
    for (const QByteArray &s : strings) {
        put(out, quint32(s.size()));
        out += s;
    }
}

// The bytes of a request after its head, as a client writes them.
QByteArray body(quint32 job, const QList<QByteArray> &arguments, quint32 limitCount = RLIM_NLIMITS,
               quint32 withDocument = 0)
{
    QByteArray out;
    put(out, job);
    putStrings(out, arguments);
    putStrings(out, {"HOME=/tmp"});
    put(out, 022);
    put(out, limitCount);
    for (quint32 i = 0; i < limitCount; ++i) {
        const rlimit l{RLIM_INFINITY, RLIM_INFINITY};
        out.append(reinterpret_cast<const char *>(&l), sizeof l);
    }
    put(out, withDocument);
    return out;
}

QByteArray head(quint32 size, quint32 magic = 0x52575332)
{
    QByteArray out;
    put(out, magic);
    put(out, size);
    return out;
}

// Sends `bytes` with `descriptors` copies of /dev/null attached.
bool sendWith(int socket, const QByteArray &bytes, int descriptors)
{
    std::vector<int> fds;
    for (int i = 0; i < descriptors; ++i)
        fds.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    iovec iov{const_cast<char *>(bytes.constData()), std::size_t(bytes.size())};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    std::vector<char> control(CMSG_SPACE(sizeof(int) * std::max(descriptors, 1)));
    if (descriptors > 0) {
        msg.msg_control = control.data();
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * descriptors);
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * descriptors);
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * descriptors);
    }
    const bool sent = ::sendmsg(socket, &msg, MSG_NOSIGNAL) == ssize_t(bytes.size());
    for (int fd : fds)
        ::close(fd);
    return sent;
}

int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// Connects to `name` ("@abstract" or a path) and waits (at most ten
// seconds) for the service's first word: true when it is Accepted.
bool greeted(const std::string &name)
{
    sockaddr_un address{};
    socklen_t length = 0;
    if (!socketAddress(name, address, length))
        return false;
    const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool accepted = false;
    if (::connect(sock, reinterpret_cast<sockaddr *>(&address), length) == 0) {
        pollfd p{sock, POLLIN, 0};
        if (::poll(&p, 1, 10000) == 1) {
            const std::optional<ReceivedNotice> notice = receiveNotice(sock);
            accepted = notice && notice->notice == Notice::Accepted;
        }
    }
    ::close(sock);
    return accepted;
}

} // namespace

class TestServiceWire : public QObject {
    Q_OBJECT

private slots:
    void malformedRequestsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("descriptors");
        QTest::addColumn<bool>("closeAfter"); // the client ends after sending
        QTest::addColumn<bool>("accepted");
        const QByteArray good = body(1, {"rwrender", "in.pdf", "out"});
        QTest::newRow("well formed") << head(good.size()) + good << 4 << false << true;
        QTest::newRow("well formed, most descriptors") << head(good.size()) + good << int(kMaxDescriptors)
                                                       << false << true;
        QTest::newRow("truncated head") << head(good.size()).left(5) << 4 << true << false;
        QTest::newRow("truncated body") << head(good.size()) + good.left(good.size() - 3) << 4
                                        << true << false;
        QTest::newRow("nothing but descriptors' byte") << QByteArray(1, 'x') << 4 << true << false;
        QTest::newRow("oversized") << head(kMaxPayload + 1) << 4 << false << false;
        QTest::newRow("wrong magic") << head(good.size(), 0x12345678) + good << 4 << false << false;
        QTest::newRow("trailing bytes") << head(good.size() + 2) + good + "xx" << 4 << false << false;
        const QByteArray nul = body(1, {"rwrender", QByteArray("in\0.pdf", 7), "out"});
        QTest::newRow("NUL in an argument") << head(nul.size()) + nul << 4 << false << false;
        const QByteArray none = body(1, {});
        QTest::newRow("no arguments") << head(none.size()) + none << 4 << false << false;
        const QByteArray job = body(9, {"rwrender"});
        QTest::newRow("unknown job") << head(job.size()) + job << 4 << false << false;
        const QByteArray limits = body(1, {"rwrender"}, RLIM_NLIMITS + 1);
        QTest::newRow("too many limits") << head(limits.size()) + limits << 4 << false << false;
        QByteArray huge;
        put(huge, 1);
        put(huge, 0xFFFFFFFF); // a count far past the bytes there are
        QTest::newRow("count past the end") << head(huge.size()) + huge << 4 << false << false;
        // A probe's document comes as a descriptor of its own, after the
        // four every job has.
        const QByteArray probe = body(2, {"rwrender", "in.pdf", "out"}, RLIM_NLIMITS, 1);
        QTest::newRow("probe with its document") << head(probe.size()) + probe << 5 << false << true;
        QTest::newRow("probe's document missing") << head(probe.size()) + probe << 4 << false << false;
        const QByteArray renderDocument = body(1, {"rwrender", "in.pdf", "out"}, RLIM_NLIMITS, 1);
        QTest::newRow("document with a render job")
            << head(renderDocument.size()) + renderDocument << 5 << false << false;
        const QByteArray flag = body(2, {"rwrender", "in.pdf", "out"}, RLIM_NLIMITS, 2);
        QTest::newRow("document flag neither 0 nor 1") << head(flag.size()) + flag << 5 << false << false;
        QTest::newRow("too few descriptors") << head(good.size()) + good << 3 << false << false;
        QTest::newRow("no descriptors") << head(good.size()) + good << 0 << false << false;
        QTest::newRow("too many descriptors") << head(good.size()) + good << int(kMaxDescriptors) + 1
                                              << false << false;
    }
    void malformedRequestsAreRefused()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, descriptors);
        QFETCH(bool, closeAfter);
        QFETCH(bool, accepted);
        int pair[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        const int before = openDescriptors();
        QVERIFY(sendWith(pair[0], bytes, descriptors));
        if (closeAfter) {
            ::close(pair[0]);
            pair[0] = -1;
        }
        {
            RequestReader reader;
            RequestReader::State state = RequestReader::State::More;
            // Whatever came is judged now; a request still short waits for
            // more, and is refused once the client has gone.
            state = reader.readFrom(pair[1]);
            if (state == RequestReader::State::More && pair[0] >= 0) {
                ::close(pair[0]);
                pair[0] = -1;
                state = reader.readFrom(pair[1]);
            }
            QCOMPARE(state, accepted ? RequestReader::State::Done : RequestReader::State::Bad);
            if (accepted) {
                Request request = reader.take();
                // The one accepted probe row carries its document; the rest render.
                const bool probe = QByteArray(QTest::currentDataTag()).startsWith("probe");
                QCOMPARE(request.job, probe ? Job::Probe : Job::Render);
                QCOMPARE(request.withDocument, probe);
                QCOMPARE(request.arguments, (std::vector<std::string>{"rwrender", "in.pdf", "out"}));
                QCOMPARE(request.environment, (std::vector<std::string>{"HOME=/tmp"}));
                QCOMPARE(request.umask, 022u);
                QCOMPARE(request.descriptors.size(), std::size_t(descriptors));
                for (int fd : request.descriptors)
                    ::close(fd);
            }
        }
        // Refused or taken, no descriptor stays behind.
        if (pair[0] >= 0)
            ::close(pair[0]);
        QCOMPARE(openDescriptors(), before - 1);
        ::close(pair[1]);
    }

    // A request that comes in pieces is read as it comes, never waited for.
    void requestInPiecesIsReadWithoutWaiting()
    {
        int pair[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        const QByteArray good = body(2, {"pdftk.exe", "in.pdf"});
        const QByteArray bytes = head(good.size()) + good;
        RequestReader reader;
        QCOMPARE(reader.readFrom(pair[1]), RequestReader::State::More);
        QVERIFY(sendWith(pair[0], bytes.left(3), 4));
        QCOMPARE(reader.readFrom(pair[1]), RequestReader::State::More);
        QVERIFY(sendWith(pair[0], bytes.mid(3, 10), 0));
        QCOMPARE(reader.readFrom(pair[1]), RequestReader::State::More);
        QVERIFY(sendWith(pair[0], bytes.mid(13), 0));
        QCOMPARE(reader.readFrom(pair[1]), RequestReader::State::Done);
        const Request request = reader.take();
        QCOMPARE(request.job, Job::Probe);
        QCOMPARE(request.descriptors.size(), std::size_t(4));
        for (int fd : request.descriptors)
            ::close(fd);
        ::close(pair[0]);
        ::close(pair[1]);
    }

    // The service greets a client of its own user, and says nothing to one
    // of another user (run as nobody).
    void onlyItsOwnUserIsGreeted()
    {
        if (::geteuid() != 0)
            QSKIP("needs root, as in CI, to connect as another user");
        const std::string name = "@rw-test-wire-" + std::to_string(::getpid());
        QProcess service;
        service.start(CompanionTest::renderer(), {"--serve", QString::fromStdString(name)});
        QVERIFY(service.waitForStarted());
        const auto stop = qScopeGuard([&] {
            service.terminate();
            service.waitForFinished(10000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(greeted(name), 10000);

        const pid_t child = ::fork();
        if (child == 0) {
            // nobody:nogroup
            if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0
                || ::setresuid(65534, 65534, 65534) != 0)
                ::_exit(3);
            ::_exit(greeted(name) ? 1 : 0);
        }
        QVERIFY(child > 0);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY(service.state() == QProcess::Running);
    }

    // A client that sends its request a byte at a time, for as long as it
    // likes, holds up no other: the probe of another client is answered
    // meanwhile, through a worker.
    void tricklingClientHoldsUpNoOne()
    {
        QTemporaryDir dir;
        const QString socket = dir.filePath("render.sock");
        QProcess service;
        // Workers may write beneath the service's folder only, as in a run.
        service.setWorkingDirectory(dir.path());
        service.start(CompanionTest::renderer(), {"--serve", socket, "--workers", "1"});
        QVERIFY(service.waitForStarted());
        const auto stop = qScopeGuard([&] {
            service.terminate();
            service.waitForFinished(10000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(greeted(socket.toStdString()), 10000);

        sockaddr_un address{};
        socklen_t length = 0;
        QVERIFY(socketAddress(socket.toStdString(), address, length));
        const int slow = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QCOMPARE(::connect(slow, reinterpret_cast<sockaddr *>(&address), length), 0);
        QVERIFY(sendWith(slow, head(1000), 4));
        std::atomic<bool> done{false};
        std::thread trickle([&] {
            while (!done && ::send(slow, "x", 1, MSG_NOSIGNAL) == 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
        });
        const auto endTrickle = qScopeGuard([&] {
            done = true;
            trickle.join();
            ::close(slow);
        });

        QVERIFY(PdfFixtures::writePdf(dir.filePath("doc.pdf"), 3));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("RASTERWELL_RENDER_SERVICE", socket);
        QCOMPARE(CompanionTest::ServiceProcess::childrenOf(service.processId()).size(), 0);
        const CompanionTest::Result r =
            CompanionTest::run(CompanionTest::probe(),
                               {dir.filePath("doc.pdf"), "data_dump", "output", dir.filePath("result.txt"), "dont_ask"},
                               dir.path(), 60000, env);
        QVERIFY(r.finished);
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QFile result(dir.filePath("result.txt"));
        QVERIFY(result.open(QIODevice::ReadOnly));
        QVERIFY(result.readAll().contains("NumberOfPages: 3"));
        // It went through the service: its worker is there, idle.
        QCOMPARE(CompanionTest::ServiceProcess::childrenOf(service.processId()).size(), 1);
    }

    // Jobs that come together beyond the service's workers wait for one:
    // all are served, by no more workers than it may have.
    void workersAreCapped()
    {
        QTemporaryDir dir;
        const QString socket = dir.filePath("render.sock");
        QProcess service;
        // Workers may write beneath the service's folder only, as in a run.
        service.setWorkingDirectory(dir.path());
        service.start(CompanionTest::renderer(), {"--serve", socket, "--workers", "2"});
        QVERIFY(service.waitForStarted());
        const auto stop = qScopeGuard([&] {
            service.terminate();
            service.waitForFinished(10000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(greeted(socket.toStdString()), 10000);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("RASTERWELL_RENDER_SERVICE", socket);
        constexpr int Clients = 5;
        std::vector<std::unique_ptr<QProcess>> clients;
        for (int i = 0; i < Clients; ++i) {
            const QString doc = dir.filePath(QStringLiteral("doc%1.pdf").arg(i));
            QVERIFY(PdfFixtures::writePdf(doc, 10 + i));
            auto client = std::make_unique<QProcess>();
            client->setProcessEnvironment(env);
            client->start(CompanionTest::renderer(), {"-r", "100", doc, dir.filePath(QStringLiteral("out%1").arg(i))});
            QVERIFY(client->waitForStarted());
            clients.push_back(std::move(client));
        }
        for (int i = 0; i < Clients; ++i) {
            QVERIFY(clients[i]->waitForFinished(60000));
            QCOMPARE(clients[i]->exitCode(), 0);
            QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("out%1-*.jpg").arg(i)}, QDir::Files).size(),
                     10 + i);
        }
        // Every job ended well, so each worker that ran one waits for the
        // next: as many as were ever there.
        const qsizetype workers = CompanionTest::ServiceProcess::childrenOf(service.processId()).size();
        QVERIFY2(workers >= 1 && workers <= 2, qPrintable(QString::number(workers)));
    }

    // A service that stops answering (SIGSTOP) before it takes up the job,
    // or after its worker has finished the job and deleted the document
    // (--remove-input): the client ends the service, and renders the
    // document itself, or tells by the images in place how it went, as the
    // renderer would have; it never renders a document that is gone.
    void silentServiceIsEnded_data()
    {
        QTest::addColumn<bool>("afterTheWorker");
        QTest::addColumn<QString>("format");
        QTest::newRow("before the job is taken up") << false << "jpg";
        QTest::newRow("after the worker finished") << true << "jpg";
        QTest::newRow("after the worker finished, PNG images") << true << "png";
    }
    void silentServiceIsEnded()
    {
        QFETCH(bool, afterTheWorker);
        QFETCH(QString, format);
        const QString images = "current-*." + format;
        QTemporaryDir dir;
        const QString socket = dir.filePath("render.sock");
        QProcess service;
        // Workers may write beneath the service's folder only, as in a run.
        service.setWorkingDirectory(dir.path());
        service.start(CompanionTest::renderer(), {"--serve", socket});
        QVERIFY(service.waitForStarted());
        const pid_t servicePid = pid_t(service.processId());
        const auto stop = qScopeGuard([&] {
            ::kill(servicePid, SIGCONT);
            service.kill();
            service.waitForFinished(10000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(greeted(socket.toStdString()), 10000);
        QVERIFY(PdfFixtures::writePdf(dir.filePath("current.pdf"), 40));
        if (!afterTheWorker)
            QCOMPARE(::kill(servicePid, SIGSTOP), 0);

        QProcess client;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("RASTERWELL_RENDER_SERVICE", socket);
        client.setProcessEnvironment(env);
        client.setWorkingDirectory(dir.path());
        client.start(CompanionTest::renderer(),
                     {"-r", "100", "--format", format, "--remove-input", "--", "./current.pdf", "./current"});
        QVERIFY(client.waitForStarted());
        if (afterTheWorker) {
            // Stopped once the worker is at work; the worker goes on.
            while (client.state() == QProcess::Running
                   && QDir(dir.path()).entryList({images}, QDir::Files).isEmpty())
                client.waitForFinished(2);
            QCOMPARE(::kill(servicePid, SIGSTOP), 0);
        }
        QVERIFY(client.waitForFinished(-1));
        const QByteArray errors = client.readAllStandardError();
        QVERIFY2(client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0, errors.constData());
        QVERIFY2(errors.contains(afterTheWorker ? "40 page image(s) are in place" : "did not take up the job"),
                 errors.constData());
        QCOMPARE(QDir(dir.path()).entryList({images}, QDir::Files).size(), 40);
        QVERIFY(!QFile::exists(dir.filePath("current.pdf")));
        // The service was ended, and its worker with it.
        QVERIFY(service.waitForFinished(10000));
        QCOMPARE(service.exitStatus(), QProcess::CrashExit);
    }
};

QTEST_GUILESS_MAIN(TestServiceWire)
#include "tst_servicewire.moc"
