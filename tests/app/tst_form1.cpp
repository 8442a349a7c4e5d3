#include "app/form1.h"
#include "app/picturebutton.h"
#include "app/progressbar1.h"
#include "app/startup.h"
#include "doclist/listview1.h"
#include "platform/gui/cursors.h"
#include "platform/pointer.h"
#include "tests/support/fakes.h"
#include "tests/support/pdffixtures.h"

#include <QHeaderView>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

// The main window's layout, start-up sequence and pointer feedback.
class TestForm1 : public QObject {
    Q_OBJECT

    Fakes::MessageRecorder messages;
    Fakes::FixedClock clock;
    Fakes::FixedRandom random;
    Fakes::RecordingOpener opener;
    Fakes::ScriptedDialogs dialogs;
    int endCalls = 0;

    AppServices services(const QString &appFolder)
    {
        AppServices s;
        s.appFolder = appFolder;
        s.messages = &messages;
        s.clock = &clock;
        s.random = &random;
        s.homePage = &opener;
        s.dialogs = &dialogs;
        s.endProgram = [this] { ++endCalls; };
        return s;
    }

    // The application folder of the build, with the generated pictures.
    static QString builtAppFolder() { return qEnvironmentVariable("RW_APP_DIR"); }

    static QWidget *control(Form1 &form, const QString &name)
    {
        return form.findChild<QWidget *>(name);
    }

    static void moveOver(QWidget *w, QPoint at = {5, 5})
    {
        QMouseEvent move(QEvent::MouseMove, at, w->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(w, &move);
    }

private slots:
    void init()
    {
        opener.opened.clear();
        random.value = 0.5;
        endCalls = 0;
    }

    void controlGeometry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("pixels");
        QTest::newRow("ProgressBar1") << "ProgressBar1" << QRect(8, 200, 449, 25);
        QTest::newRow("Check4") << "Check4" << QRect(160, 120, 145, 73);
        QTest::newRow("ListView1") << "ListView1" << QRect(8, 8, 449, 105);
        QTest::newRow("Command1") << "Command1" << QRect(-48, 176, 41, 33);
        QTest::newRow("Check2") << "Check2" << QRect(312, 120, 145, 73);
        QTest::newRow("Check1") << "Check1" << QRect(8, 120, 145, 73);
    }
    void controlGeometry()
    {
        QFETCH(QString, name);
        QFETCH(QRect, pixels);
        Form1 form(services(builtAppFolder()));
        QWidget *w = control(form, name);
        QVERIFY(w);
        QCOMPARE(w->geometry(), pixels);
    }

    void windowIsFixedWhiteWithoutMaximise()
    {
        Form1 form(services(builtAppFolder()));
        QCOMPARE(form.size(), QSize(466, 233));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
        QCOMPARE(form.palette().color(QPalette::Window), QColor(Qt::white));
    }

    void buttonsCaptionsFontsPictures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::newRow("Check1") << "Check1" << "Add PDF File(s)";
        QTest::newRow("Check2") << "Check2" << "Convert!";
        QTest::newRow("Check4") << "Check4" << "Add All PDF File(s) In Folder";
    }
    void buttonsCaptionsFontsPictures()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        Form1 form(services(builtAppFolder()));
        auto *b = qobject_cast<PictureButton *>(control(form, name));
        QVERIFY(b);
        QCOMPARE(b->text(), caption);
        QVERIFY(b->isCheckable());
        QCOMPARE(b->font().pointSizeF(), 11.25);
        QCOMPARE(b->font().weight(), QFont::Bold);
        QCOMPARE(b->font().family(), QStringLiteral("Arial"));
        QVERIFY(!b->icon().isNull());
        QCOMPARE(b->icon().availableSizes().value(0), QSize(32, 32));
        QCOMPARE(b->palette().color(QPalette::Button), QColor(Qt::white));
    }

    void windowShowsTheApplicationIcon()
    {
        Form1 form(services(builtAppFolder()));
        const QImage icon = form.windowIcon().pixmap(32, 32).toImage();
        QVERIFY(!icon.isNull());
        int opaque = 0;
        for (int y = 0; y < icon.height(); ++y)
            for (int x = 0; x < icon.width(); ++x)
                opaque += qAlpha(icon.pixel(x, y)) > 0;
        QVERIFY2(opaque > 32 * 32 / 4, qPrintable(QString::number(opaque)));
    }

    void emptyListShowsKeyboardFocus()
    {
        Form1 form(services(builtAppFolder()));
        form.load();
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        ListView1 *list = form.listView1();
        const QImage unfocused = list->viewport()->grab().toImage();
        for (int i = 0; i < 3 && QApplication::focusWidget() != list; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), list);
        const QImage focused = list->viewport()->grab().toImage();
        QVERIFY(focused != unfocused);
        QTest::keyClick(list, Qt::Key_Tab); // on to the next control
        QVERIFY(QApplication::focusWidget() != list);
        QCOMPARE(list->viewport()->grab().toImage(), unfocused);
    }

    void listFontAndTooltip()
    {
        Form1 form(services(builtAppFolder()));
        QCOMPARE(form.listView1()->font().pointSizeF(), 9.0);
        QCOMPARE(form.listView1()->font().weight(), QFont::Bold);
        const QString help = QStringLiteral("Drag and drop files here. Double-click item to remove "
                                            "it. Move bar to right and out of window to reveal full "
                                            "names.");
        QCOMPARE(form.listView1()->toolTip(), help);
        // A row's tooltip shows its whole path, and the help stays in reach
        // below it.
        const QString path = QStringLiteral("/home/ann/archive/2026/north/invoice-4711.pdf");
        form.listView1()->append(path);
        const QTreeWidgetItem *row = form.listView1()->topLevelItem(0);
        QCOMPARE(row->data(0, Qt::ToolTipRole).toString(), path + "\n\n" + help);
        QCOMPARE(row->data(0, Qt::DisplayRole).toString(), path);
    }

    void focusStartsOnHiddenButtonAndTabOrder()
    {
        Form1 form(services(builtAppFolder()));
        form.load();
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QCOMPARE(QApplication::focusWidget(), form.command1());

        // Space and Enter at start do nothing visible: no button is pressed.
        QTest::keyClick(&form, Qt::Key_Space);
        QTest::keyClick(&form, Qt::Key_Return);
        for (PictureButton *b : {form.check1(), form.check2(), form.check4()})
            QVERIFY(!b->isChecked());

        const QList<QWidget *> order{form.check1(), form.check2(), form.listView1(), form.check4()};
        for (QWidget *expected : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), expected);
        }
    }

    void startupSetsCaptionColumnAndWhiteBar()
    {
        Form1 form(services(builtAppFolder()));
        QCOMPARE(form.windowTitle(), QStringLiteral("Form1"));
        form.load();
        QCOMPARE(form.windowTitle(), QStringLiteral("Rasterwell"));
        QCOMPARE(form.listView1()->columnCount(), 1);
        QCOMPARE(form.listView1()->headerItem()->text(0), QStringLiteral("PDF File(s)"));
        QCOMPARE(form.listView1()->columnWidth(0), 367); // 5500 twips
        QCOMPARE(form.listView1()->count(), 0);
        QCOMPARE(form.progressBar1()->palette().color(QPalette::Base), QColor(Qt::white));
        QCOMPARE(form.progressBar1()->percent(), 0.0);
        QVERIFY(messages.messages.empty());
    }

    void centredPosition_data()
    {
        QTest::addColumn<QRectF>("screen"); // the primary screen on the desktop, in twips
        QTest::addColumn<QSizeF>("window");
        QTest::addColumn<QPointF>("expected");
        const QSizeF window(7050, 3555);
        QTest::newRow("fits") << QRectF(0, 0, 19200, 14400) << window << QPointF(6075, 5422.5);
        QTest::newRow("exact fit") << QRectF(0, 0, 7050, 3555) << window << QPointF(0, 0);
        QTest::newRow("wider than screen") << QRectF(0, 0, 6000, 9000) << window
                                           << QPointF(-525, 2722.5);
        QTest::newRow("larger than screen") << QRectF(0, 0, 3000, 2000) << window
                                            << QPointF(-2025, -777.5);
        QTest::newRow("right of another screen") << QRectF(28800, 0, 19200, 14400) << window
                                                 << QPointF(34875, 5422.5);
        QTest::newRow("below another screen") << QRectF(0, 16200, 19200, 14400) << window
                                              << QPointF(6075, 21622.5);
        QTest::newRow("left of and above another screen")
            << QRectF(-19200, -14400, 19200, 14400) << window << QPointF(-13125, -8977.5);
        QTest::newRow("off origin, larger than screen") << QRectF(15000, 300, 3000, 2000) << window
                                                        << QPointF(12975, -477.5);
    }
    void centredPosition()
    {
        QFETCH(QRectF, screen);
        QFETCH(QSizeF, window);
        QFETCH(QPointF, expected);
        QCOMPARE(Startup::centredPosition(screen, window), expected);
    }

    void centersFrameOnScreen()
    {
        Form1 form(services(builtAppFolder()));
        form.load();
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const QRect frame = form.frameGeometry();
        QVERIFY(qAbs(frame.center().x() - screen.center().x()) <= 1);
        QVERIFY(qAbs(frame.center().y() - screen.center().y()) <= 1);
    }

    void handPointerLoadedOnlyWhenPresent_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file at all
        QTest::addColumn<bool>("loaded");
        QTest::newRow("absent") << QByteArray() << false;
        QTest::newRow("unreadable") << QByteArray("not a cursor file at all") << false;
        QTest::newRow("real cursor") << QByteArray("copy") << true;
    }
    void handPointerLoadedOnlyWhenPresent()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, loaded);
        QTemporaryDir appFolder;
        if (content == "copy")
            QVERIFY(QFile::copy(builtAppFolder() + "/HAND-M.CUR", appFolder.filePath("HAND-M.CUR")));
        else if (!content.isEmpty())
            QVERIFY(PdfFixtures::writeBytes(appFolder.filePath("HAND-M.CUR"), content));

        Form1 form(services(appFolder.path()));
        form.load(); // never fails, whatever the file holds
        QCOMPARE(form.windowTitle(), QStringLiteral("Rasterwell"));
        QCOMPARE(form.customPointer().has_value(), loaded);
        QCOMPARE(form.pointer(), int(Platform::PointerDefault));
        if (loaded) {
            QCOMPARE(form.customPointer()->shape(), Qt::BitmapCursor);
            QCOMPARE(form.customPointer()->hotSpot(), QPoint(10, 1)); // the fingertip
        }
    }

    void pointerFeedback_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<QString>("over");
        QTest::addColumn<int>("after");
        const int def = Platform::PointerDefault, hand = Platform::PointerCustom,
                  busy = Platform::PointerHourglass;
        for (const char *b : {"Check1", "Check2", "Check4"}) {
            QTest::addRow("%s shows the hand", b) << def << b << hand;
            QTest::addRow("%s keeps the hourglass", b) << busy << b << busy;
        }
        QTest::newRow("bare window restores default") << hand << "Form1" << def;
        QTest::newRow("bare window keeps the hourglass") << busy << "Form1" << busy;
        QTest::newRow("progress bar keeps the hand") << hand << "ProgressBar1" << hand;
    }
    void pointerFeedback()
    {
        QFETCH(int, before);
        QFETCH(QString, over);
        QFETCH(int, after);
        Form1 form(services(builtAppFolder()));
        form.load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.setPointer(before);
        QWidget *target = over == "Form1" ? static_cast<QWidget *>(&form) : control(form, over);
        moveOver(target, over == "Form1" ? QPoint(462, 116) : QPoint(5, 5));
        QCOMPARE(form.pointer(), after);
        const Qt::CursorShape shape = form.cursor().shape();
        if (after == Platform::PointerCustom)
            QCOMPARE(shape, Qt::BitmapCursor);
        else if (after == Platform::PointerHourglass)
            QCOMPARE(shape, Qt::WaitCursor);
        else
            QCOMPARE(shape, Qt::ArrowCursor);
    }

    void homePageOpensForExactlyOneDraw()
    {
        QList<int> opening;
        for (int n = 1; n <= 100; ++n) {
            random.value = (n - 1 + 0.5) / 100.0; // draws n
            opener.opened.clear();
            Startup::RandomHomePageVisit(clock, random, opener);
            QCOMPARE(Startup::drawVisitNumber(clock, random), n);
            if (!opener.opened.isEmpty())
                opening << n;
        }
        QCOMPARE(opening, QList<int>{7});
        QCOMPARE(random.seeds.back(), clock.seconds); // seeded from the clock
    }

    void failingHomePageDoesNotStopStartup()
    {
        random.value = 0.065; // draws 7
        opener.succeed = false;
        Form1 form(services(builtAppFolder()));
        form.load();
        opener.succeed = true;
        QCOMPARE(opener.opened, QStringList{QString::fromLatin1(Startup::HomePageUrl)});
        QCOMPARE(form.windowTitle(), QStringLiteral("Rasterwell"));
    }

    void closingEndsTheProgram()
    {
        Form1 form(services(builtAppFolder()));
        form.load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.close();
        QCOMPARE(endCalls, 1);
    }

    void versionOption()
    {
        QProcess p;
        p.start(builtAppFolder() + "/rasterwell", {"--version"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        const QList<QByteArray> lines = p.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(lines.value(0), QByteArray("Rasterwell 1.00"));
        // The protections of the programs that read documents.
        QVERIFY2(lines.value(1).startsWith("Sandbox: ") && lines.value(1).contains("seccomp"),
                 lines.value(1).constData());
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
