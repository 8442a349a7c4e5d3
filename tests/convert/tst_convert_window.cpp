#include "app/form1.h"
#include "app/picturebutton.h"
#include "app/progressbar1.h"
#include "doclist/listview1.h"
#include "platform/gui/cursors.h"
#include "platform/process.h"
#include "tests/convert/convertfixture.h"
#include "tests/support/fakes.h"

#include <QtTest>

using ConvertFixture::AppFolder;
using Fakes::Message;
using Platform::MessageIcon;

// The fake converter with two more marks: "HALF" writes pages 1 and 3, says
// why page 2 is missing and fails; "SLOW" waits until a file "release"
// stands in the application folder.
const QByteArray MarkedScript =
    "if grep -q SLOW current.pdf; then\n"
    "  while [ ! -e ../release ]; do sleep 0.05; done\n"
    "fi\n"
    "if grep -q HALF current.pdf; then\n"
    "  echo page > current-001.jpg; echo page > current-003.jpg\n"
    "  echo 'rwrender: page 2: its content is lost' >&2\n"
    "  rm -f current.pdf; exit 1\n"
    "fi\n"
    + ConvertFixture::PagingScript;

// "Convert!" in the main window: the button, the bar, both pointers and
// the message boxes around a real run over fake companions.
class TestConvertWindow : public QObject {
    Q_OBJECT

    Fakes::MessageRecorder messages;
    Fakes::CountingPump pump;
    Platform::PosixProcessApi processes;

    AppServices services(const QString &appFolder)
    {
        AppServices s;
        s.appFolder = appFolder;
        s.messages = &messages;
        s.processes = &processes;
        s.pump = &pump;
        s.endProgram = [] {};
        return s;
    }

private slots:
    void init()
    {
        messages = {};
        pump = {};
        qputenv("RASTERWELL_JOBS", "2");
    }
    void cleanup() { qunsetenv("RASTERWELL_JOBS"); }

    // Every box keeps its text, title and icon; its details say why, in the
    // command line's words, and those of "Done." sum the run up.
    void boxesCarryTheReasonAndDoneSumsUp()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript(MarkedScript));
        Fakes::FixedClock clock;
        clock.steady = 100;
        AppServices s = services(app.path());
        s.clock = &clock;
        Form1 form(s);
        const QString p = app.writeDocument("p.pdf", ConvertFixture::document("p", 1, "PROTECTED"));
        const QString h = app.writeDocument("h.pdf", ConvertFixture::document("h", 3, "HALF"));
        const QString n = app.writeDocument("n.pdf", ConvertFixture::document("n", 1, "NOIMAGE"));
        const QString a = app.writeDocument("a.pdf", ConvertFixture::document("a", 2));
        const QString staged = app.staging() + "/s.pdf";
        QVERIFY(AppFolder::writeFile(staged, ConvertFixture::document("s", 1)));
        for (const QString &d : {p, h, n, a, staged})
            form.listView1()->append(d);
        pump.onPause = [&] { clock.steady = 112.5; };

        form.check2()->click();
        const QString cannot = "Could not create JPG on ";
        QCOMPARE(messages.messages,
                 (std::vector<Message>{{p + " is password protected.", "Rasterwell", MessageIcon::None},
                                       {cannot + h, "Could not create JPG", MessageIcon::Exclamation},
                                       {cannot + n, "Could not create JPG", MessageIcon::Exclamation},
                                       {cannot + staged, "Could not create JPG", MessageIcon::Exclamation},
                                       {"Done.", "Rasterwell", MessageIcon::None}}));
        QCOMPARE(messages.detailsOf.size(), 5);
        QVERIFY2(messages.detailsOf[0].contains("qpdf --password=PASSWORD --decrypt"),
                 qPrintable(messages.detailsOf[0]));
        QCOMPARE(messages.detailsOf[1],
                 h + ": the converter reported a failure (exit status 1); missing: page 2\n"
                     "  rwrender: page 2: its content is lost");
        QCOMPARE(messages.detailsOf[2], n + ": the converter left no page image");
        QCOMPARE(messages.detailsOf[3],
                 staged + ": it is inside the staging folder " + app.staging());
        QCOMPARE(messages.detailsOf[4],
                 "1 document converted, 4 images written.\n"
                 "4 documents not converted:\n"
                 "  " + p + ": password protected\n"
                 "  " + h + ": partly converted (2 images written); missing: page 2\n"
                 "  " + n + ": failed: the converter left no page image\n"
                 "  " + staged + ": refused: it is inside the staging folder " + app.staging() + "\n"
                 "Time taken: 12.5 seconds.");
        // The command line's lines, as before.
        QVERIFY(messages.details.contains(n + ": the converter left no page image"));
    }

    // A box left open holds up no document: the rest of the list converts
    // behind it, and the boxes come one at a time, in list order, as each
    // is answered.
    void theRunGoesOnWhileABoxWaits()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        Form1 form(services(app.path()));
        form.listView1()->append(app.writeDocument("p.pdf", ConvertFixture::document("p", 1, "PROTECTED")));
        for (const char *name : {"a", "b", "c"})
            form.listView1()->append(app.writeDocument(QString(name) + ".pdf", ConvertFixture::document(name, 1)));
        const QString n = app.writeDocument("n.pdf", ConvertFixture::document("n", 1, "NOIMAGE"));
        form.listView1()->append(n);
        messages.leaveOpen = true;
        size_t mostOpen = 0;
        messages.onMessage = [&](const Message &) { mostOpen = std::max(mostOpen, messages.unanswered.size()); };
        auto allConverted = [&] {
            for (const char *name : {"a", "b", "c"})
                if (!QFile::exists(app.docs() + "/" + name + "-001.jpg"))
                    return false;
            return true;
        };
        bool convertedBehindFirstBox = false;
        size_t boxesWhenFirstAnswered = 0;
        int waits = 0;
        pump.onPause = [&] {
            if (messages.messages.size() == 1 && !messages.unanswered.empty()) {
                // The first box waits; give up after a generous while.
                if (!allConverted() && ++waits < 5000)
                    return;
                convertedBehindFirstBox = allConverted();
                boxesWhenFirstAnswered = messages.messages.size();
            }
            messages.answer();
        };

        form.check2()->click();
        QVERIFY(convertedBehindFirstBox);
        QCOMPARE(boxesWhenFirstAnswered, size_t(1)); // n's box waited behind it
        QCOMPARE(mostOpen, size_t(1));
        QCOMPARE(messages.messages.size(), size_t(3));
        QVERIFY(messages.messages[0].text.endsWith("/p.pdf is password protected."));
        QCOMPARE(messages.messages[1].text, "Could not create JPG on " + n);
        QCOMPARE(messages.messages[2].text, QString("Done."));
        QVERIFY(messages.unanswered.empty());
        QCOMPARE(form.progressBar1()->percent(), 0.0);
    }

    // Two slots, a slow first document: the three after it convert in the
    // second slot, and the bar stays at the first one's share until it ends.
    void theBarWaitsForTheFirstUnfinishedDocument()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript(MarkedScript));
        Form1 form(services(app.path()));
        form.listView1()->append(app.writeDocument("slow.pdf", ConvertFixture::document("slow", 1, "SLOW")));
        for (const char *name : {"a", "b", "c"})
            form.listView1()->append(app.writeDocument(QString(name) + ".pdf", ConvertFixture::document(name, 1)));
        double mostBeforeRelease = 0, barWithOthersDone = -1;
        bool released = false;
        pump.onPause = [&] {
            if (released)
                return;
            mostBeforeRelease = std::max(mostBeforeRelease, form.progressBar1()->percent());
            bool othersDone = true;
            for (const char *name : {"a", "b", "c"})
                othersDone = othersDone && QFile::exists(app.docs() + "/" + name + "-001.jpg");
            if (othersDone) {
                barWithOthersDone = form.progressBar1()->percent();
                released = AppFolder::writeFile(app.path() + "/release", "");
            }
        };
        std::vector<double> barAtMessage;
        messages.onMessage = [&](const Message &) { barAtMessage.push_back(form.progressBar1()->percent()); };

        form.check2()->click();
        QVERIFY(released);
        QCOMPARE(barWithOthersDone, 25.0);
        QCOMPARE(mostBeforeRelease, 25.0);
        QCOMPARE(messages.messages, (std::vector<Message>{{"Done.", "Rasterwell", MessageIcon::None}}));
        QCOMPARE(barAtMessage, std::vector<double>{100.0});
        QVERIFY(QFile::exists(app.docs() + "/slow-001.jpg"));
    }

    void convertPressRunsTheListAndComesBackToRest()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        Form1 form(services(app.path()));
        const QString a = app.writeDocument("a.pdf", ConvertFixture::document("a", 1));
        const QString b = app.writeDocument("b.pdf", ConvertFixture::document("b", 1, "PROTECTED"));
        form.listView1()->append(a);
        form.listView1()->append(b);

        struct Seen {
            bool checked;
            double bar;
            int windowPointer;
        };
        std::vector<Seen> atMessage;
        std::vector<int> appPointerWhileWaiting;
        messages.onMessage = [&](const Message &) {
            atMessage.push_back({form.check2()->isChecked(), form.progressBar1()->percent(),
                                 form.pointer()});
        };
        int presses = 0;
        pump.onPause = [&] {
            appPointerWhileWaiting.push_back(Platform::applicationPointerCode());
            if (presses++ == 0)
                form.check2()->click(); // a second press during the run
        };

        form.check2()->click();
        QCOMPARE(messages.messages,
                 (std::vector<Message>{{b + " is password protected.", "Rasterwell",
                                        Platform::MessageIcon::None},
                                       {"Done.", "Rasterwell", Platform::MessageIcon::None}}));
        QCOMPARE(atMessage.size(), size_t(2));
        QVERIFY(!atMessage[0].checked);
        QCOMPARE(atMessage[0].bar, 100.0);
        QCOMPARE(atMessage[0].windowPointer, int(Platform::PointerHourglass));
        QVERIFY(std::count(appPointerWhileWaiting.begin(), appPointerWhileWaiting.end(),
                           int(Platform::PointerHourglass)) > 0);
        QVERIFY(presses > 1);
        // Side by side, the probes may run in either order; each runs once.
        QStringList probed = app.probed();
        probed.sort();
        QCOMPARE(probed, (QStringList{a, b}));
        QVERIFY(QFile::exists(app.docs() + "/a-001.jpg"));

        QVERIFY(!form.check2()->isChecked());
        QCOMPARE(form.progressBar1()->percent(), 0.0);
        QCOMPARE(form.pointer(), int(Platform::PointerDefault));
        QCOMPARE(Platform::applicationPointerCode(), int(Platform::PointerDefault));
        QCOMPARE(form.listView1()->count(), 2);
    }

    // Rows removed (double-click), moved or added while the run works: the
    // run converts the five documents listed when "Convert!" was pressed,
    // each of them, and nothing else.
    void listEditsDuringARunChangeNothingForIt_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::newRow("first removed") << "remove";
        QTest::newRow("moved") << "move";
        QTest::newRow("added") << "add";
        QTest::newRow("all removed") << "clear";
    }
    void listEditsDuringARunChangeNothingForIt()
    {
        QFETCH(QString, edit);
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        Form1 form(services(app.path()));
        QStringList listed;
        for (const char *name : {"a", "b", "c", "d", "e"}) {
            listed << app.writeDocument(QString(name) + ".pdf", ConvertFixture::document(name, 1));
            form.listView1()->append(listed.back());
        }
        const QString added = app.writeDocument("f.pdf", ConvertFixture::document("f", 1));
        ListView1 &list = *form.listView1();
        bool edited = false;
        pump.onPause = [&] {
            if (std::exchange(edited, true))
                return;
            if (edit == "remove") {
                list.selectPosition(1);
                list.doubleClick();
            } else if (edit == "move") {
                const QString first = *list.textAt(1);
                list.setTextAt(1, *list.textAt(4));
                list.setTextAt(4, first);
            } else if (edit == "add") {
                list.append(added);
            } else {
                while (list.count() > 0)
                    list.removeAt(1);
            }
        };

        form.check2()->click();
        QVERIFY(edited);
        QCOMPARE(messages.messages, (std::vector<Message>{{"Done.", "Rasterwell",
                                                           Platform::MessageIcon::None}}));
        QStringList probed = app.probed();
        probed.sort();
        QCOMPARE(probed, listed);
        for (const char *name : {"a", "b", "c", "d", "e"})
            QVERIFY2(QFile::exists(app.docs() + "/" + name + "-001.jpg"), name);
        QVERIFY(!QFile::exists(app.docs() + "/f-001.jpg"));
        QCOMPARE(form.progressBar1()->percent(), 0.0);
    }

    void emptyListSaysSo()
    {
        AppFolder app;
        Form1 form(services(app.path()));
        form.check2()->click();
        QCOMPARE(messages.messages, (std::vector<Message>{{"No files added.", "Rasterwell",
                                                           Platform::MessageIcon::None}}));
        QVERIFY(!form.check2()->isChecked());
        QCOMPARE(form.progressBar1()->percent(), 0.0);
        QCOMPARE(form.pointer(), int(Platform::PointerDefault));
    }

    // A name with control characters enters a box escaped (ESC as \x1b, a
    // C1 control as its two bytes); a box never holds one raw.
    void boxesShowNamesEscaped()
    {
        AppFolder app;
        QVERIFY(app.writeToolkit());
        QVERIFY(app.writeScript());
        Form1 form(services(app.path()));
        const QString locked = app.writeDocument("lock\x1b]0;owned\x07.pdf", ConvertFixture::document("l", 1, "PROTECTED"));
        const QString blank = app.writeDocument(QString::fromUtf8("blank\xc2\x9b" "2J.pdf"),
                                                ConvertFixture::document("b", 1, "NOIMAGE"));
        QVERIFY(!locked.isEmpty() && !blank.isEmpty());
        form.listView1()->append(locked);
        form.listView1()->append(blank);
        form.check2()->click();
        QCOMPARE(messages.messages.size(), size_t(3));
        QVERIFY2(messages.messages[0].text.startsWith(app.docs() + "/lock\\x1b]0;owned\\x07.pdf is password protected."),
                 qPrintable(messages.messages[0].text));
        QVERIFY2(messages.messages[1].text.startsWith("Could not create JPG on " + app.docs() + "/blank\\xc2\\x9b2J.pdf"),
                 qPrintable(messages.messages[1].text));
        for (const Message &m : messages.messages)
            for (const QChar c : m.text)
                QVERIFY2(c == '\n' || (c >= ' ' && c != QChar(0x7f) && (c < QChar(0x80) || c > QChar(0x9f))),
                         qPrintable(m.text));
    }
};

QTEST_MAIN(TestConvertWindow)
#include "tst_convert_window.moc"
