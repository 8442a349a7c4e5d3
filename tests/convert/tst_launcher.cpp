#include "convert/launcher/commandquoting.h"
#include "convert/launcher/shell32.h"
#include "platform/process.h"
#include "tests/support/fakes.h"
#include "tests/support/shellscript.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <limits>

using namespace Shell32;

// What a caller gets back for a failure to start: the offset plus the error
// number, held at the lowest 32-bit value rather than wrapping.
static qint32 failureValue(qint32 number)
{
    return qint32(std::max<qint64>(qint64(FailureOffset) + number, std::numeric_limits<qint32>::min()));
}

// Starting programs and waiting for them: the failure table, the hidden
// rule for programs, the window-style fallback, the wait, and splitting
// and quoting command lines.
class TestLauncher : public QObject {
    Q_OBJECT


private slots:
    void splitsCommandLines_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("quoted program and arguments")
            << "\"/a b/pdftk.exe\" \"/d/my report.pdf\" data_dump output \"/a b/r.txt\" dont_ask"
            << QStringList{"/a b/pdftk.exe", "/d/my report.pdf", "data_dump", "output", "/a b/r.txt", "dont_ask"};
        QTest::newRow("unquoted") << "prog one two" << QStringList{"prog", "one", "two"};
        QTest::newRow("escaped quote") << "p \"say \\\"hi\\\"\"" << QStringList{"p", "say \"hi\""};
        QTest::newRow("backslashes before a quote") << "p \"a\\\\\" b" << QStringList{"p", "a\\", "b"};
        QTest::newRow("backslashes elsewhere are literal") << "p a\\\\b\\c" << QStringList{"p", "a\\\\b\\c"};
        QTest::newRow("doubled quote inside quotes") << "p \"a\"\"b\"" << QStringList{"p", "a\"b"};
        QTest::newRow("empty argument") << "p \"\" x" << QStringList{"p", "", "x"};
        QTest::newRow("newline kept inside quotes") << "p \"a\nb\"" << QStringList{"p", "a\nb"};
        QTest::newRow("program quote has no escapes") << "\"C:\\dir\\\" x" << QStringList{"C:\\dir\\", "x"};
        QTest::newRow("blank line") << "   " << QStringList{};
    }
    void splitsCommandLines()
    {
        QFETCH(QString, line);
        QFETCH(QStringList, args);
        QCOMPARE(splitCommandLine(line), args);
    }

    // Any argument quoted and split again comes back as it was, so the
    // probe's and the script's command lines carry every path intact.
    void quotedArgumentsSplitBack_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::newRow("plain") << "report.pdf";
        QTest::newRow("blanks") << "/my docs/a b.pdf";
        QTest::newRow("quotes") << "say \"hi\"";
        QTest::newRow("trailing backslashes") << "C:\\dir\\\\";
        QTest::newRow("backslashes before a quote") << "a\\\"b";
        QTest::newRow("newline and tab") << "a\nb\tc";
        QTest::newRow("empty") << "";
    }
    void quotedArgumentsSplitBack()
    {
        QFETCH(QString, argument);
        QCOMPARE(splitArguments(quoteArgument(argument) + " " + quoteArgument(argument)),
                 (QStringList{argument, argument}));
        QCOMPARE(splitCommandLine("\"/bin/p\" " + quoteArgument(argument)),
                 (QStringList{"/bin/p", argument}));
    }

    // What a caller sees for every failure code of the shell (0 to 32): the
    // launch fails with an error from the GShell source that has a message
    // to show; the waiting launch starts nothing, waits for nothing and
    // returns that error's number plus the offset, a value below any exit
    // status. Codes that mean the same read the same; each code without a
    // meaning of its own reads as the generic failure, under a number of
    // its own.
    void everyFailureCodeFailsTheLaunch()
    {
        QMap<int, LaunchError> errors;
        for (int code = 0; code <= 32; ++code) {
            Fakes::ScriptedProcesses processes;
            Fakes::CountingPump pump;
            processes.shellCode = code;
            Launcher launcher(processes, pump, QStringLiteral("rasterwell"));
            const LaunchResult launched = launcher.ShellLaunch("/opt/x/run.sh", 1, {}, "/opt/x", "open", 0);
            QCOMPARE(launched.shellResult, code);
            QVERIFY2(launched.error, qPrintable(QString::number(code)));
            QCOMPARE(launched.error->source, QString("rasterwell.GShell"));
            QVERIFY(!launched.error->description.isEmpty());
            errors.insert(code, *launched.error);

            const WaitResult waited = launcher.ShellLaunchAndWait("/opt/x/run.sh", 0, "/opt/x");
            QVERIFY(!waited.started());
            QCOMPARE(waited.value, failureValue(launched.error->number));
            QVERIFY(waited.value < 0);
            QCOMPARE(processes.exitQueries, 0);
            QVERIFY(pump.pauses.empty());
        }
        // Out of memory, however the shell says it.
        QCOMPARE(errors[0], errors[8]);
        // A missing file and a missing folder are told apart.
        QVERIFY(errors[2].description != errors[3].description);
        // The generic failure: one message, a number for each code.
        const QString generic = errors[1].description;
        QSet<qint32> numbers;
        for (int code : {1, 4, 6, 7, 9, 10, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25}) {
            QCOMPARE(errors[code].description, generic);
            numbers.insert(errors[code].number);
        }
        QCOMPARE(numbers.size(), 20);
        // A code with a meaning of its own never reads as the generic one.
        for (int code : {0, 2, 3, 5, 8, 11, 26, 27, 28, 29, 30, 31, 32})
            QVERIFY2(errors[code].description != generic, qPrintable(QString::number(code)));
    }

    void successCodes_data()
    {
        QTest::addColumn<int>("shellResult");
        QTest::newRow("33") << 33;
        QTest::newRow("42") << 42;
    }
    void successCodes()
    {
        QFETCH(int, shellResult);
        Fakes::ScriptedProcesses processes;
        Fakes::CountingPump pump;
        processes.shellCode = shellResult;
        Launcher launcher(processes, pump, "rasterwell");
        const LaunchResult launched = launcher.ShellLaunch("/x/run.sh", 1, {}, "/x", "open", 0);
        QCOMPARE(launched.shellResult, shellResult);
        QVERIFY(!launched.error);
    }

    void programsStartHidden_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("hidden");
        QTest::newRow("upper case at the end") << "\"/opt/TOOL.EXE\"" << true;
        QTest::newRow("lower case") << "/opt/pdftk.exe" << true;
        QTest::newRow("mixed case") << "/opt/Run.ExE" << true;
        QTest::newRow("only in a folder name") << "/opt/setup.exe.d/run.sh" << true;
        QTest::newRow("inside a word") << "/opt/a.exec" << true;
        QTest::newRow("no exe") << "/opt/pdf2tiff.bat" << false;
        QTest::newRow("exe without dot") << "/opt/exe/run.sh" << false;
    }
    void programsStartHidden()
    {
        QFETCH(QString, target);
        QFETCH(bool, hidden);
        Fakes::ScriptedProcesses processes;
        Fakes::CountingPump pump;
        Launcher launcher(processes, pump, "rasterwell");
        launcher.ShellLaunch(target, 1, {}, "/opt", "open", 0);
        launcher.ShellLaunchAndWait(target, 1, "/opt");
        QCOMPARE(processes.opens.size(), size_t(2));
        QCOMPARE(processes.opens[0].hidden, hidden);
        QCOMPARE(processes.opens[1].hidden, hidden);
        QCOMPARE(processes.opens[0].argv.first(), target);
    }

    void windowStyleFallsBackToSix_data()
    {
        QTest::addColumn<std::optional<int>>("style");
        QTest::addColumn<int>("effective");
        QTest::newRow("absent") << std::optional<int>() << 6;
        QTest::newRow("-1") << std::optional<int>(-1) << 6;
        QTest::newRow("7") << std::optional<int>(7) << 6;
        QTest::newRow("lowest") << std::optional<int>(std::numeric_limits<int>::min()) << 6;
        QTest::newRow("0") << std::optional<int>(0) << 0;
        QTest::newRow("1") << std::optional<int>(1) << 1;
        QTest::newRow("6") << std::optional<int>(6) << 6;
    }
    void windowStyleFallsBackToSix()
    {
        QFETCH(std::optional<int>, style);
        QFETCH(int, effective);
        QCOMPARE(clampWindowStyle(style), effective);

        // Only hidden (0) and shown are told apart when starting.
        Fakes::ScriptedProcesses processes;
        Fakes::CountingPump pump;
        Launcher launcher(processes, pump, "rasterwell");
        launcher.RunAndWait("\"/opt/run.sh\" a", style);
        QCOMPARE(processes.starts.size(), size_t(1));
        QCOMPARE(processes.starts[0].hidden, effective == 0);
        QCOMPARE(processes.starts[0].argv, (QStringList{"/opt/run.sh", "a"}));
        if (style) {
            launcher.ShellLaunchAndWait("/opt/run.sh", *style, "/opt");
            QCOMPARE(processes.opens.at(0).hidden, effective == 0);
        }
    }

    // The wait reads the exit code, lets events through, and pauses 100 ms
    // before each new reading while the process runs.
    void waitPollsWhileRunning()
    {
        Fakes::ScriptedProcesses processes;
        Fakes::CountingPump pump;
        processes.runningPolls = 2;
        processes.exitStatus = 3;
        Launcher launcher(processes, pump, "rasterwell");
        const WaitResult waited = launcher.RunAndWait("\"/opt/run.sh\"", 0);
        QVERIFY(waited.started());
        QCOMPARE(waited.value, 3);
        QCOMPARE(processes.exitQueries, 3);
        QCOMPARE(pump.pauses, (std::vector<int>{100, 100}));
        QCOMPARE(pump.processed, 3);
    }

    void realProcessExitCodeIsReturned()
    {
        QTemporaryDir dir;
        const QString script = TestFiles::writeScript(dir, "one.sh", "exit 1");
        Platform::PosixProcessApi processes;
        Fakes::CountingPump pump;
        Launcher launcher(processes, pump, "rasterwell");
        QCOMPARE(launcher.RunAndWait('"' + script + '"', 0).value, 1);
        QCOMPARE(launcher.ShellLaunchAndWait('"' + script + '"', 0, dir.path()).value, 1);
        QVERIFY(pump.processed >= 2);
    }

    void startFailuresReturnOffsetPlusNumber_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<qint32>("number");
        QTest::addColumn<QString>("description"); // what the user is shown
        QTest::newRow("missing program") << "missing.sh" << 53 << "File not found";
        QTest::newRow("missing folder") << "nowhere/missing.sh" << 76 << "Path not found";
        QTest::newRow("not executable") << "plain.sh" << 75 << "Path/file access error";
        QTest::newRow("not a program") << "garbage.sh" << -2147220445
                                       << "The executable file is invalid or corrupt";
    }
    void startFailuresReturnOffsetPlusNumber()
    {
        QFETCH(QString, program);
        QFETCH(qint32, number);
        QFETCH(QString, description);
        QTemporaryDir dir;
        TestFiles::writeScript(dir, "plain.sh", "exit 0", false);
        // Run bits, but neither a "#!" line nor a program's header.
        QFile garbage(dir.filePath("garbage.sh"));
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray("\x7f""ELF\x01\x01 not really", 18));
        garbage.close();
        QVERIFY(garbage.setPermissions(garbage.permissions() | QFile::ExeOwner));
        Platform::PosixProcessApi processes;
        Fakes::CountingPump pump;
        Launcher launcher(processes, pump, "rasterwell");

        const WaitResult ran = launcher.RunAndWait('"' + dir.filePath(program) + "\" x", 0);
        QVERIFY(!ran.started());
        QCOMPARE(ran.error->description, description);
        QCOMPARE(ran.error->number, number);
        QCOMPARE(ran.value, failureValue(number));
        QVERIFY(pump.pauses.empty());
        if (program != "plain.sh") { // a plain file would be opened by the desktop
            const WaitResult opened =
                launcher.ShellLaunchAndWait('"' + dir.filePath(program) + '"', 0, dir.path());
            QCOMPARE(opened.value, failureValue(number));
        }
    }
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
