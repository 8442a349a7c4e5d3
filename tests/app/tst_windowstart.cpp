#include "app/form1.h"
#include "app/windowstart.h"
#include "doclist/listview1.h"
#include "platform/gui/singleinstance.h"
#include "tests/support/fakes.h"
#include "tests/support/shellscript.h"
#include "tests/support/watchingpump.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Outcome = Platform::InstanceChannel::Outcome;

// A channel that answers as told and keeps the receiver it was given.
class ScriptedChannel final : public Platform::InstanceChannel {
public:
    Outcome start(const QStringList &paths, bool handOver, Receiver receive) override
    {
        offered = paths;
        handOverAsked = handOver;
        receiver = std::move(receive);
        return outcome == Outcome::HandedOver && !handOver ? Outcome::Alone : outcome;
    }
    void stop() override {}
    QString problem() const override { return {}; }

    Outcome outcome = Outcome::Listening;
    QStringList offered;
    bool handOverAsked = false;
    Receiver receiver;
};

QStringList texts(const ListView1 &list)
{
    QStringList out;
    for (int p = 1; p <= list.count(); ++p)
        out << *list.textAt(p);
    return out;
}

// What a window killed outright leaves behind: a socket file nobody accepts on.
bool leaveStaleSocket(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (native.size() >= qsizetype(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return bound && QFile::exists(path);
}

} // namespace

// `rasterwell [PATH...]`: the paths fill the window; a later start hands its
// paths to the window already open.
class TestWindowStart : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString docs;     // D: a.pdf  T/x.pdf T/~skip.pdf T/sub/y.PDF  notes.txt
    QString fakeBin;  // a do-nothing xdg-open, so a started window never opens a browser
    Fakes::MessageRecorder messages;
    Fakes::WatchingPump pump;

    AppServices services()
    {
        AppServices s;
        s.appFolder = qEnvironmentVariable("RW_APP_DIR");
        s.messages = &messages;
        s.pump = &pump;
        s.endProgram = [] {};
        return s;
    }

    QString fill(QString text) const { return text.replace(QLatin1String("%D"), docs); }
    QStringList fill(const QStringList &list) const
    {
        QStringList out;
        for (const QString &s : list)
            out << fill(s);
        return out;
    }

    // The built program, started in `workingFolder` with its channel in
    // `runtime`.
    void startProgram(QProcess &p, const QStringList &args, const QString &workingFolder,
                      const QString &runtime) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.insert(QStringLiteral("PATH"), fakeBin + QLatin1Char(':') + env.value(QStringLiteral("PATH")));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(workingFolder);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(qEnvironmentVariable("RW_APP_DIR") + QStringLiteral("/rasterwell"), args);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        docs = dir.path() + QStringLiteral("/D");
        QVERIFY(QDir().mkpath(docs + QStringLiteral("/T/sub")));
        for (const char *f : {"a.pdf", "notes.txt", "T/x.pdf", "T/~skip.pdf", "T/sub/y.PDF"}) {
            QFile file(docs + QLatin1Char('/') + QLatin1String(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        fakeBin = dir.path() + QStringLiteral("/bin");
        QVERIFY(QDir().mkpath(fakeBin));
        QVERIFY(!TestFiles::writeScript(dir, QStringLiteral("bin/xdg-open"), "exit 0").isEmpty());
    }
    void init()
    {
        messages.messages.clear();
    }

    void firstStartFillsTheWindow_data()
    {
        QTest::addColumn<QStringList>("args");      // %D: the documents folder
        QTest::addColumn<QString>("workingFolder"); // relative paths are taken from here
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("message");       // "" when none
        QTest::newRow("no paths") << QStringList{} << "%D" << QStringList{} << QString();
        QTest::newRow("files as given, relative ones from the working folder")
            << QStringList{"notes.txt", "%D/T/~skip.pdf", "T/../a.pdf"} << "%D"
            << QStringList{"%D/notes.txt", "%D/T/~skip.pdf", "%D/T/../a.pdf"} << QString();
        QTest::newRow("a folder is searched in its place")
            << QStringList{"a.pdf", "T/", "a.pdf"} << "%D"
            << QStringList{"%D/a.pdf", "%D/T/x.pdf", "%D/T/sub/y.PDF", "%D/a.pdf"} << QString();
        QTest::newRow("a missing path is left out and named")
            << QStringList{"gone.pdf", "../a.pdf", "%D/gone"} << "%D/T"
            << QStringList{"%D/T/../a.pdf"} << "Not found, so not added:\n%D/T/gone.pdf\n%D/gone";
        QTest::newRow("a missing name with control characters is named escaped")
            << QStringList{"gone\x1b]0;x\x07\n.pdf"} << "%D" << QStringList{}
            << "Not found, so not added:\n%D/gone\\x1b]0;x\\x07\\x0a.pdf";
    }
    void firstStartFillsTheWindow()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, workingFolder);
        QFETCH(QStringList, listed);
        QFETCH(QString, message);
        Form1 form(services());
        ScriptedChannel channel;
        const QStringList paths = WindowStart::absolutePaths(fill(args), fill(workingFolder));
        QCOMPARE(WindowStart::start(form, channel, paths), WindowStart::Result::Opened);
        QVERIFY(form.isVisible());
        QCOMPARE(channel.handOverAsked, !args.isEmpty());
        QTRY_COMPARE(texts(*form.listView1()), fill(listed));
        QTest::qWait(20); // nothing more arrives
        QCOMPARE(texts(*form.listView1()), fill(listed));
        if (message.isEmpty()) {
            QVERIFY(messages.messages.empty());
        } else {
            QCOMPARE(messages.messages.size(), size_t(1));
            QCOMPARE(messages.messages.front(), (Fakes::Message{fill(message), "Rasterwell",
                                                                Platform::MessageIcon::Exclamation}));
        }
    }

    void pathsTakenByTheOpenWindowOpenNothing()
    {
        Form1 form(services());
        ScriptedChannel channel;
        channel.outcome = Outcome::HandedOver;
        const QStringList paths{docs + "/a.pdf"};
        QCOMPARE(WindowStart::start(form, channel, paths), WindowStart::Result::HandedOver);
        QCOMPARE(channel.offered, paths);
        QVERIFY(!form.isVisible());
        QCOMPARE(form.listView1()->count(), 0);
    }

    // Where the channel's socket may live: only in a folder of this user
    // that nobody else can enter, whoever made it.
    void runtimeFolder_data()
    {
        QTest::addColumn<QString>("runtime"); // XDG_RUNTIME_DIR: "" unset, "private", "open"
        QTest::addColumn<QString>("planted"); // what stands at TMPDIR/rasterwell-<uid> beforehand
        QTest::addColumn<QString>("expected"); // "runtime", "own" (made 0700), "" (none)
        QTest::newRow("the user's runtime folder") << "private" << "" << "runtime";
        QTest::newRow("no runtime folder: one of our own") << "" << "" << "own";
        QTest::newRow("runtime folder open to others") << "open" << "" << "own";
        QTest::newRow("our own folder from before") << "" << "ours" << "own";
        QTest::newRow("a folder open to others") << "" << "open" << "";
        QTest::newRow("a link in its place") << "" << "link" << "";
        QTest::newRow("a folder of another user") << "" << "foreign" << "";
    }
    void runtimeFolder()
    {
        QFETCH(QString, runtime);
        QFETCH(QString, planted);
        QFETCH(QString, expected);
        QTemporaryDir tmp;
        const QString runtimeDir = tmp.filePath("run");
        const QString own = tmp.filePath(QStringLiteral("rasterwell-%1").arg(::geteuid()));
        QVERIFY(QDir().mkdir(runtimeDir));
        QVERIFY(QFile::setPermissions(runtimeDir, runtime == "open" ? QFile::Permissions(0x7755)
                                                                    : QFile::Permissions(0x7700)));
        if (planted == "link") {
            QVERIFY(QFile::link(runtimeDir, own));
        } else if (!planted.isEmpty()) {
            QVERIFY(QDir().mkdir(own));
            QVERIFY(QFile::setPermissions(own, planted == "open" ? QFile::Permissions(0x7777)
                                                                 : QFile::Permissions(0x7700)));
            if (planted == "foreign") {
                if (::geteuid() != 0)
                    QSKIP("only root can give a folder to another user");
                QVERIFY(::chown(QFile::encodeName(own).constData(), 65534, 65534) == 0);
            }
        }
        const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR"), oldTmp = qgetenv("TMPDIR");
        if (runtime.isEmpty())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir));
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        QString why;
        const std::optional<QString> folder = Platform::privateRuntimeFolder(&why);
        qputenv("TMPDIR", oldTmp);
        if (oldRuntime.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", oldRuntime);

        if (expected.isEmpty()) {
            QVERIFY2(!folder, qPrintable(folder.value_or(QString())));
            QVERIFY(why.contains(own));
            return;
        }
        QVERIFY2(folder, qPrintable(why));
        QCOMPARE(*folder, expected == "runtime" ? runtimeDir : own);
        QCOMPARE(QFileInfo(*folder).permissions() & 0x0077, QFile::Permissions());
    }

    // This test is the open window; the built program is the later start.
    void laterStartAppendsToTheOpenWindow_data()
    {
        QTest::addColumn<bool>("stale");
        QTest::newRow("the window listens") << false;
        QTest::newRow("a killed window left its socket") << true;
    }
    void laterStartAppendsToTheOpenWindow()
    {
        QFETCH(bool, stale);
        QTemporaryDir runtime; // private to this user, as a runtime folder is
        if (stale)
            QVERIFY(leaveStaleSocket(runtime.filePath(Platform::socketNameFor(Platform::currentDisplayKey()))));
        Platform::LocalInstanceChannel channel(runtime.path());
        Form1 form(services());
        QCOMPARE(WindowStart::start(form, channel, {}), WindowStart::Result::Opened);
        QCOMPARE(channel.problem(), QString());
        form.listView1()->append(QStringLiteral("/first.pdf"));
        form.showMinimized();
        QTRY_VERIFY(form.isMinimized());

        QProcess later;
        startProgram(later, fill(QStringList{"T", "missing.pdf", "--", "%D/a.pdf"}), docs, runtime.path());
        QTRY_VERIFY_WITH_TIMEOUT(later.state() == QProcess::NotRunning, 30000);
        QCOMPARE(later.exitStatus(), QProcess::NormalExit);
        QCOMPARE(later.exitCode(), 0);

        QTRY_COMPARE(texts(*form.listView1()), (QStringList{"/first.pdf", docs + "/T/x.pdf",
                                                            docs + "/T/sub/y.PDF", docs + "/a.pdf"}));
        QCOMPARE(messages.messages,
                 (std::vector<Fakes::Message>{{"Not found, so not added:\n" + docs + "/missing.pdf",
                                               "Rasterwell", Platform::MessageIcon::Exclamation}}));
        QVERIFY(!form.isMinimized());
        QTRY_VERIFY(form.isActiveWindow());
    }

    void startsAtTheSameMomentOpenOneWindow()
    {
        QTemporaryDir runtime;
        QProcess first, second;
        startProgram(first, {docs + "/a.pdf"}, docs, runtime.path());
        startProgram(second, {docs + "/notes.txt"}, docs, runtime.path());
        // One hands its path to the other, which stays open.
        QTRY_VERIFY_WITH_TIMEOUT(first.state() == QProcess::NotRunning
                                     || second.state() == QProcess::NotRunning,
                                 30000);
        QProcess &ended = first.state() == QProcess::NotRunning ? first : second;
        QProcess &window = &ended == &first ? second : first;
        QCOMPARE(ended.exitStatus(), QProcess::NormalExit);
        QCOMPARE(ended.exitCode(), 0);
        QVERIFY(window.state() != QProcess::NotRunning);

        // The open one takes a third start's paths too.
        Platform::LocalInstanceChannel third(runtime.path());
        QCOMPARE(third.start({docs + "/a.pdf"}, true, {}), Outcome::HandedOver);
        window.kill();
        QVERIFY(window.waitForFinished(10000));
    }
};

QTEST_MAIN(TestWindowStart)
#include "tst_windowstart.moc"
