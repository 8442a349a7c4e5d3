#include "convert/launcher/shell32.h"
#include "platform/process.h"
#include "tests/support/fakes.h"
#include "tests/support/shellscript.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>

using namespace Shell32;

// Starting programs and waiting for them: the failure table, the hidden
// rule for programs, the window-style fallback and the wait.
class TestLauncher : public QObject {
    Q_OBJECT


private slots:
    void failureTable_data()
    {
        QTest::addColumn<int>("shellResult");
        QTest::addColumn<qint32>("number");
        QTest::addColumn<QString>("description");
        const QString generic =
            "An error occurred occurred whilst trying to open or print the selected file.";
        QTest::newRow("0") << 0 << 7 << "Out of memory";
        QTest::newRow("1") << 1 << -2147220455 << generic;
        QTest::newRow("2") << 2 << 53 << "File not found";
        QTest::newRow("3") << 3 << 76 << "Path not found";
        QTest::newRow("5") << 5 << 75 << "Path/file access error";
        QTest::newRow("8") << 8 << 7 << "Out of memory";
        QTest::newRow("11") << 11 << -2147220445 << "The executable file is invalid or corrupt";
        QTest::newRow("15") << 15 << -2147220441 << generic;
        QTest::newRow("25") << 25 << -2147220431 << generic;
        QTest::newRow("26") << 26 << 75 << "A sharing violation occurred.";
        QTest::newRow("27") << 27 << -2147220429
                            << "This file type does not have a valid file association.";
        QTest::newRow("28") << 28 << 286
                            << "The file could not be opened due to time out. Please try again in "
                               "a moment.";
        QTest::newRow("29") << 29 << 285
                            << "The file could not be opened because the DDE transaction failed. "
                               "Please try again in a moment.";
        QTest::newRow("30") << 30 << 285
                            << "The file could not be opened because the target application is "
                               "busy. Please try again in a moment.";
        QTest::newRow("31") << 31 << -2147220425
                            << "No application is associated with this file type.";
        QTest::newRow("32") << 32 << 48 << "The specified dynamic-link library was not found.";
    }
    void failureTable()
    {
        QFETCH(int, shellResult);
        QFETCH(qint32, number);
        QFETCH(QString, description);
        Fakes::ScriptedProcesses processes;
        Fakes::CountingPump pump;
        processes.shellCode = shellResult;
        Launcher launcher(processes, pump, QStringLiteral("rasterwell"));

        const LaunchResult launched =
            launcher.ShellLaunch("/opt/x/run.sh", 1, {}, "/opt/x", "open", 0);
        QCOMPARE(launched.shellResult, shellResult);
        QVERIFY(launched.error);
        QCOMPARE(*launched.error, (LaunchError{number, description, "rasterwell.GShell"}));

        // The waiting launch returns the number plus the offset and waits for
        // nothing. Sums below the 32-bit range stay at its lowest value.
        const WaitResult waited = launcher.ShellLaunchAndWait("/opt/x/run.sh", 0, "/opt/x");
        const qint64 sum = qint64(FailureOffset) + number;
        QCOMPARE(waited.value, qint32(std::max<qint64>(sum, std::numeric_limits<qint32>::min())));
        QVERIFY(!waited.started());
        QCOMPARE(processes.exitQueries, 0);
        QVERIFY(pump.pauses.empty());
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
        QTest::newRow("missing program") << "missing.sh" << 53;
        QTest::newRow("missing folder") << "nowhere/missing.sh" << 76;
        QTest::newRow("not executable") << "plain.sh" << 75;
    }
    void startFailuresReturnOffsetPlusNumber()
    {
        QFETCH(QString, program);
        QFETCH(qint32, number);
        QTemporaryDir dir;
        TestFiles::writeScript(dir, "plain.sh", "exit 0", false);
        Platform::PosixProcessApi processes;
        Fakes::CountingPump pump;
        Launcher launcher(processes, pump, "rasterwell");

        const WaitResult ran = launcher.RunAndWait('"' + dir.filePath(program) + "\" x", 0);
        QVERIFY(!ran.started());
        QCOMPARE(ran.error->number, number);
        QCOMPARE(ran.value, FailureOffset + number);
        QVERIFY(pump.pauses.empty());
        if (program != "plain.sh") { // a plain file would be opened by the desktop
            const WaitResult opened =
                launcher.ShellLaunchAndWait('"' + dir.filePath(program) + '"', 0, dir.path());
            QCOMPARE(opened.value, FailureOffset + number);
        }
    }
};

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
