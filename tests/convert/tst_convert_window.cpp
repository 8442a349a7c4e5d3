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
