#include "app/form1.h"
#include "app/picturebutton.h"
#include "doclist/addcommands.h"
#include "doclist/listview1.h"
#include "platform/eventpump.h"
#include "platform/pointer.h"
#include "tests/support/fakes.h"
#include "tests/support/watchingpump.h"

#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

// Dialogs that note the command's button state at the moment they open.
class RecordingDialogs final : public Platform::Dialogs {
public:
    QString openFiles(QWidget *owner, const QString &title, const QString &filter) override
    {
        owners << owner;
        buttonCheckedAtOpen << (watched && watched->isChecked());
        return scripted.openFiles(owner, title, filter);
    }
    QString chooseFolder(QWidget *owner, const QString &prompt) override
    {
        owners << owner;
        buttonCheckedAtOpen << (watched && watched->isChecked());
        return scripted.chooseFolder(owner, prompt);
    }
    Fakes::ScriptedDialogs scripted;
    QAbstractButton *watched = nullptr;
    QList<QWidget *> owners;
    QList<bool> buttonCheckedAtOpen;
};

QStringList texts(const ListView1 &list)
{
    QStringList out;
    for (int p = 1; p <= list.count(); ++p)
        out << *list.textAt(p);
    return out;
}

} // namespace

// "Add PDF File(s)" and "Add All PDF File(s) In Folder" on the main window.
class TestAddCommands : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString tree; // T: a.pdf ~a.pdf x.txt  sub/b.PDF
    QString wide; // W: a.pdf _u.pdf ~skip.pdf  sub/b.PDF  sub/deeper/c.pdf  Z/z.pdf
    RecordingDialogs dialogs;
    Fakes::WatchingPump pump;
    Fakes::MessageRecorder messages;

    AppServices services()
    {
        AppServices s;
        s.appFolder = qEnvironmentVariable("RW_APP_DIR");
        s.dialogs = &dialogs;
        s.pump = &pump;
        s.messages = &messages;
        s.endProgram = [] {};
        return s;
    }

private slots:
    void initTestCase()
    {
        tree = dir.path() + QStringLiteral("/T");
        QVERIFY(QDir().mkpath(tree + QStringLiteral("/sub")));
        for (const char *f : {"a.pdf", "~a.pdf", "x.txt", "sub/b.PDF"}) {
            QFile file(tree + QLatin1Char('/') + QLatin1String(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        wide = dir.path() + QStringLiteral("/W");
        for (const char *d : {"sub/deeper", "Z"})
            QVERIFY(QDir(wide).mkpath(QLatin1String(d)));
        for (const char *f : {"a.pdf", "_u.pdf", "~skip.pdf", "sub/b.PDF", "sub/deeper/c.pdf", "Z/z.pdf"}) {
            QFile file(wide + QLatin1Char('/') + QLatin1String(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }
    void init()
    {
        messages.messages.clear();
        dialogs.scripted = Fakes::ScriptedDialogs();
        dialogs.owners.clear();
        dialogs.buttonCheckedAtOpen.clear();
        dialogs.watched = nullptr;
        pump.calls = 0;
        pump.onEvents = nullptr;
    }

    void fileDialogResult_data()
    {
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("paths");
        const QChar nul(0);
        QTest::newRow("cancelled") << QString() << QStringList{};
        QTest::newRow("one file, as it stands") << QStringLiteral("/d//x/one.pdf")
                                                << QStringList{"/d//x/one.pdf"};
        QTest::newRow("several, in the dialog's order")
            << QStringLiteral("/d/e") + nul + "z.pdf" + nul + "a.pdf" + nul + "m.txt"
            << QStringList{"/d/e/z.pdf", "/d/e/a.pdf", "/d/e/m.txt"};
        QTest::newRow("root folder") << QStringLiteral("/") + nul + "a.pdf" + nul + "b.pdf"
                                     << QStringList{"/a.pdf", "/b.pdf"};
        QTest::newRow("names with spaces")
            << QStringLiteral("/my docs") + nul + "one.pdf" + nul + "two words.pdf"
            << QStringList{"/my docs/one.pdf", "/my docs/two words.pdf"};
        QTest::newRow("doubled separators collapse without overlap")
            << QStringLiteral("/d//e/") + nul + "a.pdf" + nul + "~b.pdf"
            << QStringList{"/d/e/a.pdf", "/d/e/~b.pdf"};
        QTest::newRow("empty names skipped") << QStringLiteral("/d") + nul + "a.pdf" + nul
                                             << QStringList{"/d/a.pdf"};
    }
    void fileDialogResult()
    {
        QFETCH(QString, result);
        QFETCH(QStringList, paths);
        QCOMPARE(AddCommands::PathsFromFileDialog(result), paths);
    }

    // The real dialog's picks, through the result form and back.
    void dialogPicksArriveExactly_data()
    {
        QTest::addColumn<QStringList>("picks");
        QTest::addColumn<bool>("folderForm"); // the result starts with the shared folder
        QTest::newRow("two folders") << QStringList{"/a/x.pdf", "/b/y.pdf"} << false;
        QTest::newRow("a folder and its sub-folder") << QStringList{"/a/x.pdf", "/a/b/y.pdf"} << false;
        QTest::newRow("root and a folder") << QStringList{"/x.pdf", "/d/y.pdf"} << false;
        QTest::newRow("one folder") << QStringList{"/d/e/z.pdf", "/d/e/a.pdf"} << true;
        QTest::newRow("root folder") << QStringList{"/a.pdf", "/b.pdf"} << true;
        QTest::newRow("doubled separator kept") << QStringList{"/a//x.pdf", "/a//y.pdf"} << false;
        QTest::newRow("one file") << QStringList{"/my docs/x.pdf"} << false;
    }
    void dialogPicksArriveExactly()
    {
        QFETCH(QStringList, picks);
        QFETCH(bool, folderForm);
        const QString result = Platform::fileDialogResult(picks);
        QCOMPARE(AddCommands::PathsFromFileDialog(result), picks);
        QCOMPARE(result.size() > 1 && result.front() != QChar(0) && result.contains(QChar(0)), folderForm);

        Form1 form(services());
        dialogs.scripted.fileResult = result;
        form.check1()->click();
        QCOMPARE(texts(*form.listView1()), picks);
    }

    void addFilesButton()
    {
        Form1 form(services());
        dialogs.watched = form.check1();
        form.listView1()->append(QStringLiteral("/d/a.pdf"));
        dialogs.scripted.fileResult = QStringLiteral("/d") + QChar(0) + "a.pdf" + QChar(0) + "b.pdf";
        QTest::mouseClick(form.check1(), Qt::LeftButton);
        QVERIFY(!form.check1()->isChecked());
        QCOMPARE(dialogs.buttonCheckedAtOpen, QList<bool>{false}); // sprang back first, ran once
        QCOMPARE(dialogs.owners, QList<QWidget *>{&form});
        QCOMPARE(dialogs.scripted.fileTitles,
                 QStringList{"Add File(s) - Use Ctrl & Shift to select multiple files"});
        QCOMPARE(dialogs.scripted.fileFilters, QStringList{"PDF Files (*.pdf)"});
        QCOMPARE(texts(*form.listView1()), (QStringList{"/d/a.pdf", "/d/a.pdf", "/d/b.pdf"}));
        QCOMPARE(form.pointer(), int(Platform::PointerDefault));

        dialogs.scripted.fileResult.clear(); // cancelled
        form.check1()->click();
        QCOMPARE(form.listView1()->count(), 3);
        QVERIFY(!form.check1()->isChecked());
    }

    void addFolderButton()
    {
        Form1 form(services());
        dialogs.watched = form.check4();
        dialogs.scripted.folderResult = tree;
        QList<int> pointers;
        pump.onEvents = [&] { pointers << form.pointer(); };
        QTest::mouseClick(form.check4(), Qt::LeftButton);

        QVERIFY(!form.check4()->isChecked());
        QCOMPARE(dialogs.buttonCheckedAtOpen, QList<bool>{false});
        QCOMPARE(dialogs.scripted.folderPrompts, QStringList{"Please select folder to add:"});
        const QStringList once{tree + "/a.pdf", tree + "/sub/b.PDF"};
        QCOMPARE(texts(*form.listView1()), once);
        // The hourglass throughout the walk, the default after it.
        QVERIFY(!pointers.isEmpty());
        QCOMPARE(pointers.count(int(Platform::PointerHourglass)), pointers.size());
        QCOMPARE(form.pointer(), int(Platform::PointerDefault));
        QVERIFY(messages.messages.empty());

        // Again on the same folder: every document twice.
        form.check4()->click();
        QCOMPARE(texts(*form.listView1()), once + once);
    }

    void addFolderNamesFoldersItCouldNotEnter()
    {
        QTemporaryDir tmp;
        const QString v = tmp.path();
        for (const char *d : {"A", "B"})
            QVERIFY(QDir(v).mkpath(QLatin1String(d)));
        for (const char *f : {"a.pdf", "A/x.pdf", "B/b.pdf"}) {
            QFile file(v + QLatin1Char('/') + QLatin1String(f));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        Form1 form(services());
        dialogs.scripted.folderResult = v;
        // A disappears once the first level is collected.
        pump.onEvents = [&] {
            if (pump.calls == 3)
                QVERIFY(QDir(v + QStringLiteral("/A")).removeRecursively());
        };
        form.check4()->click();
        QCOMPARE(texts(*form.listView1()), (QStringList{v + "/a.pdf", v + "/B/b.pdf"}));
        QCOMPARE(messages.messages,
                 (std::vector<Fakes::Message>{
                     {"These folders could not be opened; PDF files in them were not added:\n" + v
                          + "/A: no such file or directory",
                      "Rasterwell", Platform::MessageIcon::Exclamation}}));
        QCOMPARE(form.pointer(), int(Platform::PointerDefault));
    }

    // Drops on the window's list: files as given, folders walked in place.
    void dropsOnTheWindow_data()
    {
        QTest::addColumn<QStringList>("dropped"); // %W, %T: the trees
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QString>("message"); // "" when none
        const QStringList walkW{"%W/a.pdf", "%W/_u.pdf", "%W/sub/b.PDF", "%W/Z/z.pdf",
                                "%W/sub/deeper/c.pdf"};
        QTest::newRow("a folder, in walk order") << QStringList{"%W"} << walkW << QString();
        QTest::newRow("a folder with a trailing separator") << QStringList{"%W/"} << walkW << QString();
        QTest::newRow("a mixed drop keeps its order")
            << QStringList{"%T/x.txt", "%W/sub", "%T/~a.pdf", "%T"}
            << QStringList{"%T/x.txt", "%W/sub/b.PDF", "%W/sub/deeper/c.pdf", "%T/~a.pdf",
                           "%T/a.pdf", "%T/sub/b.PDF"}
            << QString();
        QTest::newRow("missing paths left out and named once")
            << QStringList{"%T/gone.pdf", "%T/a.pdf", "%T/gone"} << QStringList{"%T/a.pdf"}
            << "Not found, so not added:\n%T/gone.pdf\n%T/gone";
    }
    void dropsOnTheWindow()
    {
        QFETCH(QStringList, dropped);
        QFETCH(QStringList, added);
        QFETCH(QString, message);
        auto fill = [&](QString text) { return text.replace("%W", wide).replace("%T", tree); };
        QList<QUrl> urls;
        for (const QString &p : std::as_const(dropped))
            urls << QUrl::fromLocalFile(fill(p));
        QStringList expected;
        for (const QString &p : std::as_const(added))
            expected << fill(p);

        Form1 form(services());
        form.listView1()->append(QStringLiteral("/before.pdf"));
        QMimeData data;
        data.setUrls(urls);
        QWidget *vp = form.listView1()->viewport();
        const QPoint at(20, 20);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp, &enter);
        QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp, &move);
        QVERIFY(move.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp, &drop);
        QVERIFY(drop.isAccepted());
        QTRY_COMPARE(texts(*form.listView1()), QStringList{"/before.pdf"} + expected);
        QCOMPARE(messages.messages.size(), message.isEmpty() ? size_t(0) : size_t(1));
        if (!message.isEmpty())
            QCOMPARE(messages.messages.front(),
                     (Fakes::Message{fill(message), "Rasterwell", Platform::MessageIcon::Exclamation}));
        QCOMPARE(form.pointer(), int(Platform::PointerDefault));
    }

    void addFolderCancelledChangesNothing()
    {
        Form1 form(services());
        form.setPointer(Platform::PointerCustom);
        form.check4()->click();
        QCOMPARE(dialogs.scripted.folderPrompts.size(), 1);
        QCOMPARE(form.listView1()->count(), 0);
        QCOMPARE(form.pointer(), int(Platform::PointerCustom));
        QCOMPARE(pump.calls, 0);
    }

    void secondPressDuringWalkIsIgnored()
    {
        Form1 form(services());
        dialogs.scripted.folderResult = tree;
        QList<int> pointers;
        pump.onEvents = [&] {
            pointers << form.pointer();
            if (pump.calls == 1) {
                form.check4()->click(); // pressed again while the walk runs
                QVERIFY(!form.check4()->isChecked());
                form.listView1()->append(QStringLiteral("/appended.pdf")); // straight into the list
                form.addPaths({tree + "/x.txt"}); // "Open with" meanwhile lands at once
            }
        };
        form.check4()->click();
        QCOMPARE(dialogs.scripted.folderPrompts.size(), 1);
        QCOMPARE(texts(*form.listView1()), (QStringList{"/appended.pdf", tree + "/x.txt", tree + "/a.pdf",
                                                        tree + "/sub/b.PDF"}));
        QCOMPARE(pointers.count(int(Platform::PointerHourglass)), pointers.size());
        QCOMPARE(form.pointer(), int(Platform::PointerDefault));
        QVERIFY(!form.listView1()->folderWalkRunning());

        form.check4()->click(); // once finished, the command works again
        QCOMPARE(dialogs.scripted.folderPrompts.size(), 2);
        QCOMPARE(form.listView1()->count(), 6);
    }

    // A drop while the walk processes events is appended at once, in its
    // order, a folder in it walked in place; the walk's rows follow.
    void dropDuringWalkLandsAtOnce()
    {
        Form1 form(services());
        form.listView1()->append(QStringLiteral("/before.pdf"));
        dialogs.scripted.folderResult = tree;
        QStringList listedDuringWalk;
        QList<bool> walkFlags;
        QList<int> pointers;
        pump.onEvents = [&] {
            walkFlags << form.listView1()->folderWalkRunning();
            pointers << form.pointer();
            if (pump.calls != 1)
                return;
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(tree + "/x.txt"), QUrl::fromLocalFile(wide + "/sub"),
                          QUrl::fromLocalFile(tree + "/~a.pdf")});
            QWidget *vp = form.listView1()->viewport();
            QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(vp, &enter);
            QDragMoveEvent move(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(vp, &move);
            QDropEvent drop(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(vp, &drop);
            QVERIFY(drop.isAccepted());
            QCoreApplication::processEvents(); // as the window's event pump does
            listedDuringWalk = texts(*form.listView1());
        };
        form.check4()->click();
        const QStringList dropped{"/before.pdf", tree + "/x.txt", wide + "/sub/b.PDF",
                                  wide + "/sub/deeper/c.pdf", tree + "/~a.pdf"};
        QCOMPARE(listedDuringWalk, dropped);
        QCOMPARE(texts(*form.listView1()), dropped + (QStringList{tree + "/a.pdf", tree + "/sub/b.PDF"}));
        // The drop's own walk ending does not end the outer one's marks.
        QVERIFY(walkFlags.size() > 3);
        QCOMPARE(walkFlags.count(true), walkFlags.size());
        QCOMPARE(pointers.count(int(Platform::PointerHourglass)), pointers.size());
        QCOMPARE(form.pointer(), int(Platform::PointerDefault));
        QVERIFY(!form.listView1()->folderWalkRunning());
        QVERIFY(messages.messages.empty());
    }

    // Whichever way rows arrive, the last of them is in sight.
    void appendedRowsComeIntoSight_data()
    {
        QTest::addColumn<QString>("route");
        QTest::newRow("Add PDF File(s)") << "dialog";
        QTest::newRow("a drop") << "drop";
        QTest::newRow("Open with") << "handover";
    }
    void appendedRowsComeIntoSight()
    {
        QFETCH(QString, route);
        Form1 form(services());
        form.load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        ListView1 &list = *form.listView1();
        for (int i = 0; i < 30; ++i)
            list.append(QStringLiteral("/old/%1.pdf").arg(i));
        const QStringList added{tree + "/a.pdf", tree + "/x.txt"};
        if (route == "dialog") {
            dialogs.scripted.fileResult = tree + QChar(0) + "a.pdf" + QChar(0) + "x.txt";
            form.check1()->click();
        } else if (route == "drop") {
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(added[0]), QUrl::fromLocalFile(added[1])});
            QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(list.viewport(), &enter);
            QDragMoveEvent move(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(list.viewport(), &move);
            QDropEvent drop(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(list.viewport(), &drop);
        } else {
            form.takeHandedOverPaths(added);
        }
        QTRY_COMPARE(list.count(), 32);
        QCOMPARE(texts(list).mid(30), added);
        QVERIFY(list.viewport()->rect().contains(list.visualItemRect(list.topLevelItem(31))));
    }

    void walkInsideAnotherBusyCommandKeepsItsHourglass()
    {
        Form1 form(services());
        dialogs.scripted.folderResult = tree;
        form.setPointer(Platform::PointerHourglass); // e.g. a conversion waiting on a page
        form.check4()->click();
        QCOMPARE(form.listView1()->count(), 2);
        QCOMPARE(form.pointer(), int(Platform::PointerHourglass));
    }
};

QTEST_MAIN(TestAddCommands)
#include "tst_addcommands.moc"
