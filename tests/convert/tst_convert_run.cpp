#include "convert/conversionrun.h"
#include "convert/runvariables.h"
#include "platform/fileops.h"
#include "platform/folderlock.h"
#include "platform/process.h"
#include "tests/convert/convertfixture.h"
#include "tests/support/fakes.h"

#include <QtTest>

#include <sys/stat.h>

using ConvertFixture::AppFolder;
using Fakes::Message;
using Platform::MessageIcon;

// "Convert!": the run over the list, its messages, bar and pointer.
class TestConversionRun : public QObject {
    Q_OBJECT

    struct Run {
        explicit Run(const AppFolder &app, int slotCount = 1, PDF::Limits limits = {})
            : run(ConversionServices{.appFolder = app.path(),
                                     .documents = documents,
                                     .view = view,
                                     .windowPointer = pointer,
                                     .messages = messages,
                                     .pump = pump,
                                     .processes = processes,
                                     .programName = "rasterwell",
                                     .slotCount = slotCount,
                                     .limits = limits})
        {
            messages.onMessage = [this](const Message &) { barAtMessage.push_back(view.lastProgress()); };
        }
        RunSummary operator()() { return run.run(); }

        ConvertFixture::ListSource documents;
        ConvertFixture::RecordingView view;
        Fakes::PointerRecorder pointer;
        Fakes::MessageRecorder messages;
        Fakes::CountingPump pump;
        Platform::PosixProcessApi processes;
        ConversionRun run;
        std::vector<double> barAtMessage;
    };

    static bool sameBars(const std::vector<double> &actual, const std::vector<double> &expected)
    {
        return std::equal(actual.begin(), actual.end(), expected.begin(), expected.end(),
                          [](double a, double b) { return std::abs(a - b) < 1e-9; });
    }

    static void verifyAtRest(const Run &run)
    {
        QCOMPARE(run.view.progress.back(), 0.0);
        QCOMPARE(run.pointer.codes.back(), int(Platform::PointerDefault));
        QVERIFY(run.view.appPointer.empty() || run.view.appPointer.back() == Platform::PointerDefault);
        QVERIFY(!run.run.isRunning());
    }

private slots:
    // a converts, b needs a password, c yields no image.
    void workedExample()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        const QString a = app.writeDocument("a.pdf", ConvertFixture::document("a", 2));
        const QString b = app.writeDocument("b.pdf", ConvertFixture::document("b", 2, "PROTECTED"));
        const QString c = app.writeDocument("c.pdf", ConvertFixture::document("c", 2, "NOIMAGE"));
        Run run(app);
        run.documents.items = {a, b, c};

        const RunSummary summary = run();
        QCOMPARE(run.messages.messages,
                 (std::vector<Message>{
                     {b + " is password protected.", "Rasterwell", MessageIcon::None},
                     {"Could not create JPG on " + c, "Could not create JPG", MessageIcon::Exclamation},
                     {"Done.", "Rasterwell", MessageIcon::None}}));
        QVERIFY(sameBars(run.view.progress, {100.0 / 3, 200.0 / 3, 100, 0}));
        QVERIFY(sameBars(run.barAtMessage, {200.0 / 3, 100, 100}));
        QCOMPARE(run.pointer.codes.front(), int(Platform::PointerHourglass));
        QCOMPARE(std::count(run.pointer.codes.begin(), run.pointer.codes.end(),
                            int(Platform::PointerDefault)), 1);
        verifyAtRest(run);

        QCOMPARE(app.probed(), (QStringList{a, b, c}));
        QCOMPARE(app.scriptRuns().size(), 2); // b is never rasterised
        QCOMPARE(QDir(app.docs()).entryList({"*.jpg"}, QDir::Files, QDir::Name),
                 (QStringList{"a-001.jpg", "a-002.jpg"}));
        QCOMPARE(app.stagingLeftovers(), QStringList());
        QVERIFY(!QFile::exists(app.path() + "/2348239bbb.txt"));
        QCOMPARE(run.documents.items, (QStringList{a, b, c}));
        QCOMPARE(summary.outcome, RunSummary::Outcome::Completed);
        QCOMPARE(summary.converted, 1);
        QCOMPARE(summary.passwordProtected, 1);
        QCOMPARE(summary.failed, 1);
        QCOMPARE(summary.exitStatus(), 1);

        // A second press converts them all again.
        run.messages.messages.clear();
        QCOMPARE(run().converted, 1);
        QCOMPARE(run.messages.messages.size(), size_t(3));
    }

    void emptyList()
    {
        AppFolder app; // no companions: an empty list does not need them
        Run run(app);
        const RunSummary summary = run();
        QCOMPARE(run.messages.messages,
                 (std::vector<Message>{{"No files added.", "Rasterwell", MessageIcon::None}}));
        QCOMPARE(run.view.progress, std::vector<double>{0});
        QVERIFY(std::find(run.pointer.codes.begin(), run.pointer.codes.end(),
                          int(Platform::PointerHourglass)) == run.pointer.codes.end());
        verifyAtRest(run);
        QCOMPARE(summary.outcome, RunSummary::Outcome::EmptyList);
        QCOMPARE(summary.exitStatus(), 1);
    }

    void allConvertedExitsWithZero()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        Run run(app);
        for (const char *name : {"1.pdf", "2.pdf", "3.pdf", "4.pdf"})
            run.documents.items << app.writeDocument(name, ConvertFixture::document(name, 1));
        const RunSummary summary = run();
        QCOMPARE(run.view.progress, (std::vector<double>{25, 50, 75, 100, 0}));
        QCOMPARE(summary.converted, 4);
        QCOMPARE(summary.exitStatus(), 0);
    }

    // The list changes while the run waits for the first document's probe:
    // the run converts the list as it stood when it began, every document of
    // it, and nothing added later.
    void listEditedDuringTheRun_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::newRow("later items removed") << "remove 2 3";
        QTest::newRow("current item removed") << "remove 1";
        QTest::newRow("list cleared") << "clear";
        QTest::newRow("items moved") << "move";
        QTest::newRow("item added") << "append";
    }
    void listEditedDuringTheRun()
    {
        QFETCH(QString, edit);
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        Run run(app);
        for (const char *name : {"a", "b", "c", "d"})
            app.writeDocument(QString(name) + ".pdf", ConvertFixture::document(name, 1));
        run.documents.items = {app.docs() + "/a.pdf", app.docs() + "/b.pdf", app.docs() + "/c.pdf"};
        bool edited = false;
        run.pump.onPause = [&] {
            if (std::exchange(edited, true))
                return;
            QStringList &items = run.documents.items;
            if (edit == "remove 2 3")
                items = items.mid(0, 1);
            else if (edit == "remove 1")
                items.removeFirst();
            else if (edit == "clear")
                items.clear();
            else if (edit == "move")
                items = {items[2], items[0], items[1]};
            else
                items << app.docs() + "/d.pdf";
        };

        const RunSummary summary = run();
        QVERIFY(edited);
        QStringList outputs;
        for (const QString &jpg : QDir(app.docs()).entryList({"*-001.jpg"}, QDir::Files, QDir::Name))
            outputs << jpg.left(1);
        QCOMPARE(outputs, (QStringList{"a", "b", "c"}));
        QCOMPARE(app.probed(), (QStringList{app.docs() + "/a.pdf", app.docs() + "/b.pdf", app.docs() + "/c.pdf"}));
        QVERIFY(sameBars(run.view.progress, {100.0 / 3, 200.0 / 3, 100, 0}));
        QCOMPARE(summary.converted, 3);
        QCOMPARE(run.messages.messages.back().text, QString("Done."));
        QCOMPARE(run.messages.messages.size(), size_t(1));
        verifyAtRest(run);
    }

    // Documents side by side finish out of list order ("a" waits until "c"
    // is done); the user still sees every message in list order, one at a
    // time, "Done." last, and a row removed meanwhile is still converted.
    void slotsReportInListOrder_data()
    {
        QTest::addColumn<int>("slotCount");
        QTest::addColumn<bool>("removeLast");
        QTest::newRow("two slots") << 2 << false;
        QTest::newRow("three slots") << 3 << false;
        QTest::newRow("two slots, last item removed") << 2 << true;
    }
    void slotsReportInListOrder()
    {
        QFETCH(int, slotCount);
        QFETCH(bool, removeLast);
        AppFolder app;
        QVERIFY(app.writeToolkit());
        // "AFTER x": wait until document x is done; every document notes
        // when it is done.
        QVERIFY(app.writeScript("name=$(head -n 1 current.pdf)\n"
                                "other=$(sed -n 's/^AFTER //p' current.pdf)\n"
                                "if [ -n \"$other\" ]; then\n"
                                "  while [ ! -e \"../$other.done\" ]; do sleep 0.01; done\n"
                                "fi\n"
                                + ConvertFixture::PagingScript
                                + "echo \"$name\" >> ../done.log; touch \"../$name.done\"\n"));
        const QString a = app.writeDocument("a.pdf", ConvertFixture::document("a", 1, "AFTER c\nNOIMAGE"));
        const QString b = app.writeDocument("b.pdf", ConvertFixture::document("b", 1, "PROTECTED"));
        const QString c = app.writeDocument("c.pdf", ConvertFixture::document("c", 1));
        const QString d = app.writeDocument("d.pdf", ConvertFixture::document("d", 1, "NOIMAGE"));
        const QString e = app.writeDocument("e.pdf", ConvertFixture::document("e", 1));
        Run run(app, slotCount);
        run.documents.items = {a, b, c, d, e};
        if (removeLast)
            run.pump.onPause = [&] {
                if (QFile::exists(app.path() + "/c.done") && run.documents.items.size() == 5)
                    run.documents.items.removeLast();
            };

        const RunSummary summary = run();
        QCOMPARE(run.messages.messages,
                 (std::vector<Message>{
                     {"Could not create JPG on " + a, "Could not create JPG", MessageIcon::Exclamation},
                     {b + " is password protected.", "Rasterwell", MessageIcon::None},
                     {"Could not create JPG on " + d, "Could not create JPG", MessageIcon::Exclamation},
                     {"Done.", "Rasterwell", MessageIcon::None}}));
        const QStringList done = app.lines(app.path() + "/done.log");
        QVERIFY(done.indexOf("c") < done.indexOf("a"));
        QCOMPARE(summary.converted, 2);
        QVERIFY(QFile::exists(app.docs() + "/e-001.jpg"));
        QCOMPARE(app.stagingLeftovers(), QStringList());
        verifyAtRest(run);
    }

    // Every ps and ps-N folder of the working folder is a staging folder,
    // whatever number of slots the run uses: a document in one is refused
    // and never deleted, and a slot holding a current.pdf this program did
    // not stage is not used.
    void stagingFoldersBelongToTheProgram_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("slotCount");
        QTest::addColumn<bool>("listed");
        for (const char *folder : {"ps", "ps-2", "ps-9"})
            for (const int jobs : {1, 2}) {
                QTest::addRow("%s, -j %d, listed", folder, jobs) << folder << jobs << true;
                QTest::addRow("%s, -j %d, not listed", folder, jobs) << folder << jobs << false;
            }
    }
    void stagingFoldersBelongToTheProgram()
    {
        QFETCH(QString, folder);
        QFETCH(int, slotCount);
        QFETCH(bool, listed);
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        const QString staging = app.path() + "/" + folder;
        QVERIFY(QDir().mkpath(staging));
        const QByteArray mine = ConvertFixture::document("mine", 2);
        QVERIFY(AppFolder::writeFile(staging + "/current.pdf", mine));
        QVERIFY(AppFolder::writeFile(staging + "/x.pdf", mine));
        const QString a = app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        Run run(app, slotCount);
        if (listed)
            run.documents.items = {staging + "/current.pdf", staging + "/x.pdf"};
        run.documents.items << a;

        const RunSummary summary = run();
        QCOMPARE(AppFolder::read(staging + "/current.pdf"), mine);
        QCOMPARE(AppFolder::read(staging + "/x.pdf"), mine);
        QCOMPARE(QDir(staging).entryList({"*.jpg"}, QDir::Files), QStringList());
        const bool slotLost = folder == "ps" || (folder == "ps-2" && slotCount == 2);
        const bool aFails = folder == "ps" && slotCount == 1;
        QCOMPARE(summary.failed, (listed ? 2 : 0) + (aFails ? 1 : 0));
        QCOMPARE(QFile::exists(app.docs() + "/a-001.jpg"), !aFails);
        const QString all = summary.details.join('\n');
        if (listed)
            QVERIFY2(all.count("inside the staging folder") == 2, qPrintable(all));
        if (aFails)
            QVERIFY2(all.contains("no staging folder can be used"), qPrintable(all));
        // A slot that is not used is said once, never for each document.
        QCOMPARE(run.messages.details.filter("was not staged by this program").size(),
                 qsizetype(slotLost ? 1 : 0));
        QCOMPARE(run.messages.messages.back().text, QString("Done."));
    }

    // One slot works exactly as one document after the other: probe,
    // convert, message, then the next document.
    void oneSlotIsSequential()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit("echo \"probe $(head -n 1 \"$1\")\" >> \"$(dirname \"$0\")/steps.log\"\n"
                                 + ConvertFixture::ReadingToolkit));
        QVERIFY(app.writeScript("echo \"convert $(head -n 1 current.pdf)\" >> ../steps.log\n"
                                + ConvertFixture::PagingScript));
        Run run(app, 1);
        run.documents.items = {app.writeDocument("a.pdf", ConvertFixture::document("a", 1)),
                               app.writeDocument("b.pdf", ConvertFixture::document("b", 1, "PROTECTED")),
                               app.writeDocument("c.pdf", ConvertFixture::document("c", 1, "NOIMAGE"))};
        run.messages.onMessage = [&](const Message &m) {
            QFile log(app.path() + "/steps.log");
            QVERIFY(log.open(QIODevice::Append));
            log.write("message " + m.text.section('/', -1).toUtf8() + "\n");
        };

        run();
        QCOMPARE(app.lines(app.path() + "/steps.log"),
                 (QStringList{"probe a", "convert a", "probe b", "message b.pdf is password protected.",
                              "probe c", "convert c", "message c.pdf", "message Done."}));
        QVERIFY(sameBars(run.view.progress, {100.0 / 3, 200.0 / 3, 100, 0}));
    }

    // With one slot, a document that fails at once (missing, a FIFO,
    // refused) gets its message before the next document starts, with its
    // own bar value.
    void immediateFailureIsReportedBeforeTheNext_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("in a staging folder") << "staging";
    }
    void immediateFailureIsReportedBeforeTheNext()
    {
        QFETCH(QString, kind);
        AppFolder app;
        QVERIFY(app.writeToolkit("echo \"probe $(head -n 1 \"$1\")\" >> \"$(dirname \"$0\")/steps.log\"\n"
                                 + ConvertFixture::ReadingToolkit));
        QVERIFY(app.writeScript());
        QString odd = app.docs() + "/odd.pdf";
        if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(odd).constData(), 0644), 0);
        } else if (kind == "staging") {
            QVERIFY(QDir().mkpath(app.path() + "/ps-3"));
            odd = app.path() + "/ps-3/odd.pdf";
            QVERIFY(AppFolder::writeFile(odd, ConvertFixture::document("odd", 1)));
        }
        Run run(app, 1);
        run.documents.items = {odd, app.writeDocument("good.pdf", ConvertFixture::document("good", 1))};
        run.messages.onMessage = [&](const Message &m) {
            run.barAtMessage.push_back(run.view.lastProgress());
            QFile log(app.path() + "/steps.log");
            QVERIFY(log.open(QIODevice::Append));
            log.write("message " + m.text.section('/', -1).toUtf8() + "\n");
        };

        run();
        QCOMPARE(app.lines(app.path() + "/steps.log"),
                 (QStringList{"message odd.pdf", "probe good", "message Done."}));
        QVERIFY(sameBars(run.barAtMessage, {50, 100}));
    }

    // A converter that hangs, or is stopped, is ended after the idle limit;
    // its document fails with the reason and the other slot goes on.
    void hangingConverterIsBounded_data()
    {
        QTest::addColumn<QByteArray>("hang");
        QTest::newRow("sleeps") << QByteArray("exec sleep 60");
        QTest::newRow("stopped") << QByteArray("kill -STOP $$");
    }
    void hangingConverterIsBounded()
    {
        QFETCH(QByteArray, hang);
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript("grep -q HANG current.pdf && " + hang + "\n" + ConvertFixture::PagingScript));
        const QString a = app.writeDocument("a.pdf", ConvertFixture::document("a", 1, "HANG"));
        const QString b = app.writeDocument("b.pdf", ConvertFixture::document("b", 1));
        PDF::Limits limits;
        limits.converterIdleMs = 300;
        Run run(app, 2, limits);
        run.documents.items = {a, b};

        const RunSummary summary = run();
        QCOMPARE(run.messages.messages.size(), size_t(2));
        QCOMPARE(run.messages.messages.front().text, "Could not create JPG on " + a);
        QCOMPARE(summary.converted, 1);
        QVERIFY2(summary.details.join('\n').contains("made no progress"), qPrintable(summary.details.join('\n')));
        QVERIFY(QFile::exists(app.docs() + "/b-001.jpg"));
        QCOMPARE(app.stagingLeftovers(), QStringList());
    }

    // The no-progress limit follows the converter script's page time limit.
    void idleLimitFollowsThePageTimeLimit_data()
    {
        QTest::addColumn<QByteArray>("setting");
        QTest::addColumn<int>("idleMs");
        QTest::newRow("the script's default") << QByteArray("PAGE_TIME_LIMIT=60   # seconds\n") << 190'000;
        QTest::newRow("edited") << QByteArray("PAGE_TIME_LIMIT=60\nPAGE_TIME_LIMIT=2.5\n") << 17'500;
        QTest::newRow("no page limit") << QByteArray("PAGE_TIME_LIMIT=0\n") << 30 * 60'000;
        QTest::newRow("not set") << QByteArray("true\n") << 190'000;
        QTest::newRow("a comment line after it") << QByteArray("PAGE_TIME_LIMIT=4\n# PAGE_TIME_LIMIT=9\n") << 22'000;
        QTest::newRow("windows line ends") << QByteArray("PAGE_TIME_LIMIT=4\r\nX=1\r\n") << 22'000;
        QTest::newRow("last line without its end") << QByteArray("PAGE_TIME_LIMIT=8\nPAGE_TIME_LIMIT=4") << 22'000;
        QTest::newRow("more than a number: not a setting")
            << QByteArray("PAGE_TIME_LIMIT=4\nPAGE_TIME_LIMIT=9 x\nPAGE_TIME_LIMIT=9s\nPAGE_TIME_LIMIT=1.2.3\n") << 22'000;
        QTest::newRow("not at the line's start, or another name")
            << QByteArray("PAGE_TIME_LIMIT=4\n PAGE_TIME_LIMIT=9\nMY_PAGE_TIME_LIMIT=9\nPAGE_TIME_LIMIT2=9\n") << 22'000;
        QTest::newRow("no digits") << QByteArray("PAGE_TIME_LIMIT=4\nPAGE_TIME_LIMIT=\nPAGE_TIME_LIMIT=.5\n") << 22'000;
        QTest::newRow("a fraction without digits") << QByteArray("PAGE_TIME_LIMIT=4.\t# s\n") << 22'000;
    }
    void idleLimitFollowsThePageTimeLimit()
    {
        QFETCH(QByteArray, setting);
        QFETCH(int, idleMs);
        AppFolder app;
        QVERIFY(app.writeScript(setting));
        QCOMPARE(RunVariables::idleLimitMsFor(RunVariables::pageTimeLimitOf(app.staging() + "/pdf2tiff.bat")), idleMs);
    }

    // A second "Convert!" while a run waits does nothing.
    void secondRunDuringARunDoesNothing()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        Run run(app);
        run.documents.items = {app.writeDocument("a.pdf", ConvertFixture::document("a", 1)),
                               app.writeDocument("b.pdf", ConvertFixture::document("b", 1))};
        std::vector<RunSummary::Outcome> nested;
        run.pump.onPause = [&] { nested.push_back(run().outcome); };

        const RunSummary summary = run();
        QVERIFY(!nested.empty());
        for (RunSummary::Outcome o : nested)
            QCOMPARE(o, RunSummary::Outcome::AlreadyRunning);
        QCOMPARE(summary.converted, 2);
        QCOMPARE(app.probed().size(), 2);
        QCOMPARE(app.scriptRuns().size(), 2);
        QCOMPARE(run.messages.messages.size(), size_t(1));
        verifyAtRest(run);
    }

    // An unusable application folder or companion is reported once, before
    // any document is touched, and the run ends at rest.
    void setupProblemsAreReportedOnce_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("named");
        QTest::newRow("toolkit missing") << "no toolkit" << "pdftk.exe";
        QTest::newRow("toolkit not executable") << "toolkit mode" << "pdftk.exe";
        QTest::newRow("script missing") << "no script" << "ps/pdf2tiff.bat";
        QTest::newRow("script not executable") << "script mode" << "ps/pdf2tiff.bat";
        QTest::newRow("staging folder missing") << "no ps" << "ps";
        QTest::newRow("quote in folder name") << "quote" << "";
        QTest::newRow("lock file unusable") << "lock" << "rasterwell.lock";
    }
    void setupProblemsAreReportedOnce()
    {
        QFETCH(QString, fault);
        QFETCH(QString, named);
        AppFolder app(fault == "quote" ? "my \"app\"" : "app");
        QVERIFY(app.writeToolkit(ConvertFixture::ReadingToolkit, fault != "toolkit mode"));
        QVERIFY(app.writeScript(ConvertFixture::PagingScript, fault != "script mode"));
        if (fault == "no toolkit")
            QVERIFY(QFile::remove(app.path() + "/pdftk.exe"));
        if (fault == "no script")
            QVERIFY(QFile::remove(app.staging() + "/pdf2tiff.bat"));
        if (fault == "no ps")
            QVERIFY(QDir(app.staging()).removeRecursively());
        if (fault == "lock")
            QVERIFY(QDir(app.path()).mkdir("rasterwell.lock"));
        const QString a = app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        const QString b = app.writeDocument("b.pdf", ConvertFixture::document("b", 1));
        Run run(app);
        run.documents.items = {a, b};

        const RunSummary summary = run();
        QCOMPARE(run.messages.messages.size(), size_t(1));
        const Message &m = run.messages.messages.front();
        QCOMPARE(m.title, QString("Rasterwell"));
        QCOMPARE(m.icon, MessageIcon::Exclamation);
        QVERIFY2(m.text.contains(app.path() + (named.isEmpty() ? "" : "/" + named)), qPrintable(m.text));
        QCOMPARE(summary.outcome, RunSummary::Outcome::SetupProblem);
        QCOMPARE(summary.setupProblem, m.text);
        QCOMPARE(summary.exitStatus(), 2);
        QVERIFY(app.probed().isEmpty());
        QVERIFY(QDir(app.docs()).entryList({"*.jpg"}).isEmpty());
        verifyAtRest(run);
    }

    // A toolkit that is there but cannot be started gives no verdict: the
    // run says so once and ends, instead of calling documents protected.
    void toolkitThatCannotStartEndsTheRun()
    {
        AppFolder app;
        QVERIFY(AppFolder::writeFile(app.path() + "/pdftk.exe", "#!/nonexistent/sh\n", true));
        QVERIFY(app.writeScript());
        Run run(app);
        run.documents.items = {app.writeDocument("a.pdf", "x"), app.writeDocument("b.pdf", "y")};

        const RunSummary summary = run();
        QCOMPARE(run.messages.messages.size(), size_t(1));
        const Message &m = run.messages.messages.front();
        QVERIFY2(m.text.contains(app.path() + "/pdftk.exe") && m.text.contains("File not found"),
                 qPrintable(m.text));
        QCOMPARE(m.icon, MessageIcon::Exclamation);
        QCOMPARE(summary.exitStatus(), 2);
        QCOMPARE(summary.passwordProtected, 0);
        QVERIFY(app.scriptRuns().isEmpty());
        verifyAtRest(run);
    }

    // Another instance converting with the same application folder holds the
    // lock: this run waits, keeping events flowing, then converts.
    void waitsForAnotherInstance()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        Platform::FolderLock other(app.path() + "/rasterwell.lock");
        QCOMPARE(other.tryLock(), Platform::FolderLock::State::Locked);
        Run run(app);
        run.documents.items = {app.writeDocument("a.pdf", ConvertFixture::document("a", 1))};
        int pausesBeforeRelease = 0;
        run.pump.onPause = [&] {
            if (other.isLocked() && ++pausesBeforeRelease == 3) {
                QVERIFY(app.probed().isEmpty());
                other.unlock();
            }
        };

        const RunSummary summary = run();
        QCOMPARE(pausesBeforeRelease, 3);
        QCOMPARE(summary.converted, 1);
        QVERIFY(run.pump.processed >= 3);
        QVERIFY(QFile::exists(app.docs() + "/a-001.jpg"));
    }

    // A lock that is never released: the wait says what it waits for and
    // whose lock it is, and ends at its limit with a problem, converting
    // nothing.
    void lockWaitHasALimit()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        const QString lockPath = app.path() + "/rasterwell.lock";
        Platform::FolderLock other(lockPath);
        QCOMPARE(other.tryLock(), Platform::FolderLock::State::Locked);
        PDF::Limits limits;
        limits.lockWaitMs = 300;
        Run run(app, 1, limits);
        run.documents.items = {app.writeDocument("a.pdf", ConvertFixture::document("a", 1))};
        const QString holder = QStringLiteral("process %1").arg(QCoreApplication::applicationPid());

        const RunSummary summary = run();
        QCOMPARE(summary.outcome, RunSummary::Outcome::SetupProblem);
        QVERIFY2(summary.setupProblem.contains(lockPath) && summary.setupProblem.contains(holder)
                     && summary.setupProblem.contains("0.3 s"),
                 qPrintable(summary.setupProblem));
        QCOMPARE(run.messages.details.size(), qsizetype(1));
        QVERIFY2(run.messages.details.first().startsWith("Waiting for the lock file " + lockPath + ", held by " + holder),
                 qPrintable(run.messages.details.first()));
        QVERIFY(app.probed().isEmpty());
        QVERIFY(!QFile::exists(app.docs() + "/a-001.jpg"));
        QVERIFY(other.isLocked());
    }
};

QTEST_GUILESS_MAIN(TestConversionRun)
#include "tst_convert_run.moc"
