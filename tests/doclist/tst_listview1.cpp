#include "doclist/listview1.h"
#include "platform/gui/cursors.h"
#include "platform/pointer.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

#include <memory>

namespace {

class WindowPointer final : public Platform::PointerSetting {
public:
    int pointer() const override { return code; }
    void setPointer(int c) override
    {
        code = c;
        ++writes;
    }
    int code = Platform::PointerDefault;
    int writes = 0;
};

QStringList texts(const ListView1 &list)
{
    QStringList out;
    for (int p = 1; p <= list.count(); ++p)
        out << *list.textAt(p);
    return out;
}

std::unique_ptr<QMimeData> fileDrag(const QStringList &paths, const QStringList &others = {})
{
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString &p : paths)
        urls << QUrl::fromLocalFile(p);
    for (const QString &u : others)
        urls << QUrl(u);
    data->setUrls(urls);
    return data;
}

} // namespace

// The document list: reorder gesture, scrolling, drops, double-click removal.
class TestListView1 : public QObject {
    Q_OBJECT

    QTemporaryDir appFolder;
    WindowPointer window;
    int screenY = 330; // between the scroll thresholds
    std::unique_ptr<ListView1> list;

    void fill(const QStringList &items)
    {
        list->clear();
        for (const QString &t : items)
            list->append(t);
    }
    QWidget *vp() const { return list->viewport(); }
    QPoint rowPoint(int position) const
    {
        return list->visualItemRect(list->topLevelItem(position - 1)).center();
    }
    QPoint emptyPoint() const { return {20, vp()->height() - 3}; }

    void send(QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held)
    {
        QMouseEvent e(type, at, vp()->mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(vp(), &e);
    }
    void press(QPoint at, Qt::MouseButton b = Qt::LeftButton) { send(QEvent::MouseButtonPress, at, b, b); }
    void moveHeld(QPoint at, Qt::MouseButton b = Qt::LeftButton) { send(QEvent::MouseMove, at, Qt::NoButton, b); }
    void moveFree(QPoint at) { send(QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton); }
    void release(QPoint at, Qt::MouseButton b = Qt::LeftButton) { send(QEvent::MouseButtonRelease, at, b, Qt::NoButton); }
    void click(QPoint at, Qt::MouseButton b = Qt::LeftButton)
    {
        press(at, b);
        release(at, b);
    }
    void doubleClick(QPoint at)
    {
        // As a window system delivers it: the second press comes before the
        // double-click event.
        press(at);
        release(at);
        press(at);
        send(QEvent::MouseButtonDblClick, at, Qt::LeftButton, Qt::LeftButton);
        release(at);
    }

    // Sends enter, move and drop; returns whether the move was accepted.
    bool drop(const QMimeData *data, Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction,
              Qt::DropAction *action = nullptr)
    {
        const QPoint at = emptyPoint();
        QDragEnterEvent enter(at, offered, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp(), &enter);
        QDragMoveEvent move(at, offered, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp(), &move);
        if (!enter.isAccepted() || !move.isAccepted())
            return false;
        QDropEvent dropped(at, offered, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp(), &dropped);
        if (action)
            *action = dropped.dropAction();
        return dropped.isAccepted();
    }

    void copyDragIcon()
    {
        QFile::remove(appFolder.filePath("drag.ico"));
        QVERIFY(QFile::copy(qEnvironmentVariable("RW_APP_DIR") + "/drag.ico", appFolder.filePath("drag.ico")));
    }

private slots:
    void init()
    {
        window = WindowPointer();
        screenY = 330;
        list = std::make_unique<ListView1>();
        list->setColumnCount(1);
        list->setColumnWidth(0, 367);
        list->resize(449, 105);
        list->setWindowPointer(&window);
        list->setAppFolder(appFolder.path());
        list->setPointerScreenY([this] { return screenY; });
        list->show();
        QVERIFY(QTest::qWaitForWindowExposed(list.get()));
        copyDragIcon();
    }
    void cleanup() { list.reset(); }

    void reorder_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<int>("clicked");       // item clicked first (and released)
        QTest::addColumn<QList<int>>("moves");  // rows crossed with the button held
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<int>("selected");
        const QStringList abcd{"A", "B", "C", "D"};
        QTest::newRow("B down one row") << abcd << 2 << QList<int>{3}
                                        << QStringList{"A", "C", "B", "D"} << 3;
        QTest::newRow("B down row by row") << abcd << 2 << QList<int>{3, 4}
                                           << QStringList{"A", "C", "D", "B"} << 4;
        QTest::newRow("A jumps onto D") << abcd << 1 << QList<int>{4}
                                        << QStringList{"D", "B", "C", "A"} << 4;
        QTest::newRow("C up row by row") << abcd << 3 << QList<int>{2, 1}
                                         << QStringList{"C", "A", "B", "D"} << 1;
        QTest::newRow("over itself nothing") << abcd << 2 << QList<int>{2} << abcd << 2;
        QTest::newRow("equal texts do not exchange")
            << QStringList{"A", "B", "A", "D"} << 1 << QList<int>{3}
            << QStringList{"A", "B", "A", "D"} << 1;
        QTest::newRow("equal text passed over")
            << QStringList{"A", "B", "B", "D"} << 2 << QList<int>{3, 4}
            << QStringList{"A", "D", "B", "B"} << 4; // only dragged and hovered swap
        QTest::newRow("nothing clicked yet") << abcd << 0 << QList<int>{1, 3} << abcd << 0;
    }
    void reorder()
    {
        QFETCH(QStringList, items);
        QFETCH(int, clicked);
        QFETCH(QList<int>, moves);
        QFETCH(QStringList, expected);
        QFETCH(int, selected);
        fill(items);
        if (clicked) {
            click(rowPoint(clicked));
            QCOMPARE(list->draggedPosition(), clicked);
        }
        // A new press on empty space; the item recorded at the click travels.
        press(emptyPoint());
        QVERIFY(list->listButtonDown());
        for (int row : moves)
            moveHeld(rowPoint(row));
        QCOMPARE(texts(*list), expected);
        QCOMPARE(list->selectedPosition(), selected);
        release(emptyPoint());
        QVERIFY(!list->listButtonDown());

        // After the release nothing exchanges.
        for (int row = 1; row <= list->count(); ++row)
            moveFree(rowPoint(row));
        QCOMPARE(texts(*list), expected);
    }

    void realMouseDragCarriesPressedItem()
    {
        // Press on B itself and drag it down with any button.
        for (Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton}) {
            fill({"A", "B", "C", "D"});
            QTest::mousePress(vp(), button, {}, rowPoint(2));
            QCOMPARE(list->draggedPosition(), 2);
            QCOMPARE(Platform::widgetPointerCode(list.get()), int(Platform::PointerCustom));
            QTest::mouseMove(vp(), rowPoint(3));
            QCOMPARE(texts(*list), (QStringList{"A", "C", "B", "D"}));
            QTest::mouseMove(vp(), rowPoint(4));
            QTest::mouseRelease(vp(), button, {}, rowPoint(4));
            QCOMPARE(texts(*list), (QStringList{"A", "C", "D", "B"}));
            QCOMPARE(list->selectedPosition(), 4);
            QCOMPARE(Platform::widgetPointerCode(list.get()), int(Platform::PointerArrow));
            QCOMPARE(vp()->cursor().shape(), Qt::ArrowCursor);
        }
    }

    void dragPointerReadAtEveryClick()
    {
        fill({"A", "B"});
        click(rowPoint(1));
        QCOMPARE(Platform::widgetPointerCode(list.get()), int(Platform::PointerArrow)); // released
        press(rowPoint(1));
        QCOMPARE(Platform::widgetPointerCode(list.get()), int(Platform::PointerCustom));
        QCOMPARE(vp()->cursor().shape(), Qt::BitmapCursor);
        release(rowPoint(1));

        // Unreadable, then missing: the default pointer (no custom picture).
        QFile::remove(appFolder.filePath("drag.ico"));
        QFile bad(appFolder.filePath("drag.ico"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("not an icon");
        bad.close();
        press(rowPoint(2));
        QCOMPARE(Platform::widgetPointerCode(list.get()), int(Platform::PointerDefault));
        QCOMPARE(list->draggedPosition(), 2); // the gesture is armed all the same
        release(rowPoint(2));
        QFile::remove(appFolder.filePath("drag.ico"));
        press(rowPoint(1));
        QCOMPARE(Platform::widgetPointerCode(list.get()), int(Platform::PointerDefault));
        release(rowPoint(1));

        copyDragIcon();
        press(rowPoint(2));
        QCOMPARE(vp()->cursor().shape(), Qt::BitmapCursor);
        release(rowPoint(2));
    }

    void scrollThresholds_data()
    {
        QTest::addColumn<int>("y");
        QTest::addColumn<bool>("down");     // moving down onto the last visible row
        QTest::addColumn<bool>("scrolled"); // the next row beyond came wholly into view
        QTest::newRow("304 up") << 304 << false << true;
        QTest::newRow("305 up") << 305 << false << false;
        QTest::newRow("364 up") << 364 << false << false;
        QTest::newRow("364 down") << 364 << true << false;
        QTest::newRow("365 down") << 365 << true << true;
        QTest::newRow("304 down") << 304 << true << false; // the row above is the dragged one
        QTest::newRow("365 up") << 365 << false << false;  // the row below is the dragged one
    }
    void scrollThresholds()
    {
        QFETCH(int, y);
        QFETCH(bool, down);
        QFETCH(bool, scrolled);
        QStringList items;
        for (int i = 1; i <= 40; ++i)
            items << QStringLiteral("doc%1.pdf").arg(i);
        fill(items);
        list->scrollToItem(list->topLevelItem(19), QAbstractItemView::PositionAtTop); // row 20 on top
        QVERIFY(list->positionAt({20, 1}) == 20);
        int target = 20;
        auto visible = [&](int pos) {
            return vp()->rect().contains(list->visualItemRect(list->topLevelItem(pos - 1)));
        };
        if (down) {
            // The last wholly visible row.
            target = list->positionAt({20, vp()->height() - 1});
            if (!visible(target))
                --target;
        }
        const int from = down ? target - 1 : target + 1;
        const int beyond = down ? target + 1 : target - 1;
        QVERIFY(visible(target));
        QVERIFY(!visible(beyond));

        screenY = y;
        press(rowPoint(from));
        moveHeld(rowPoint(target));
        QCOMPARE(*list->textAt(target), items[from - 1]); // exchanged
        QCOMPARE(visible(beyond), scrolled);

        // Holding still (no further exchange) scrolls no more.
        const int value = list->verticalScrollBar()->value();
        for (int i = 0; i < 3; ++i)
            moveHeld(list->visualItemRect(list->topLevelItem(target - 1)).center());
        QCOMPARE(list->verticalScrollBar()->value(), value);
        release(rowPoint(target));
    }

    void scrollSparesTheEnds()
    {
        // 304 on the first item and 365 on the last item have no row beyond.
        fill({"A", "B"});
        screenY = 304;
        press(rowPoint(2));
        moveHeld(rowPoint(1));
        screenY = 365;
        moveHeld(rowPoint(2));
        release(rowPoint(2));
        QCOMPARE(texts(*list), (QStringList{"A", "B"}));
    }

    void windowPointerResetOnMove_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<bool>("held");
        QTest::addColumn<int>("after");
        QTest::newRow("hand, no button") << int(Platform::PointerCustom) << false << int(Platform::PointerDefault);
        QTest::newRow("hand, button held") << int(Platform::PointerCustom) << true << int(Platform::PointerDefault);
        QTest::newRow("hourglass stays") << int(Platform::PointerHourglass) << false << int(Platform::PointerHourglass);
        QTest::newRow("hourglass stays held") << int(Platform::PointerHourglass) << true << int(Platform::PointerHourglass);
    }
    void windowPointerResetOnMove()
    {
        QFETCH(int, before);
        QFETCH(bool, held);
        QFETCH(int, after);
        fill({"A", "B"});
        window.code = before;
        if (held)
            press(rowPoint(1));
        held ? moveHeld(rowPoint(2)) : moveFree(rowPoint(2));
        QCOMPARE(window.code, after);
        if (held)
            release(rowPoint(2));
    }

    // The list hands a drop's local paths on, in order, and adds nothing
    // itself: the window walks folders and leaves out missing paths.
    void drops_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("others"); // non-file URLs in the same drag
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("handed"); // the paths handed on
        QTest::newRow("three files in order, any kind, duplicates")
            << QStringList{"/d/z.pdf", "/d/old.pdf", "/d/notes.txt"} << QStringList{} << true
            << QStringList{"/d/z.pdf", "/d/old.pdf", "/d/notes.txt"};
        QTest::newRow("files and folders") << QStringList{"/d/folder", "/d/a.pdf"} << QStringList{}
                                           << true << QStringList{"/d/folder", "/d/a.pdf"};
        QTest::newRow("names with spaces and unicode")
            << QStringList{QString::fromUtf8("/d/my docs/ä ß.pdf")} << QStringList{} << true
            << QStringList{QString::fromUtf8("/d/my docs/ä ß.pdf")};
        QTest::newRow("only the local files of a mixed drag")
            << QStringList{"/d/a.pdf"} << QStringList{"https://example.org/x.pdf"} << true
            << QStringList{"/d/a.pdf"};
        QTest::newRow("web links only: refused") << QStringList{} << QStringList{"https://example.org/x.pdf"}
                                                 << false << QStringList{};
    }
    void drops()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, others);
        QFETCH(bool, accepted);
        QFETCH(QStringList, handed);
        fill({"/d/old.pdf"});
        QSignalSpy dropped(list.get(), &ListView1::pathsDropped);
        const auto data = fileDrag(files, others);
        Qt::DropAction action = Qt::IgnoreAction;
        QCOMPARE(drop(data.get(), Qt::CopyAction | Qt::MoveAction, &action), accepted);
        QCOMPARE(texts(*list), QStringList{"/d/old.pdf"});
        QCOMPARE(dropped.size(), accepted ? 1 : 0);
        if (accepted) {
            QCOMPARE(dropped.first().first().toStringList(), handed);
            QCOMPARE(action, Qt::CopyAction); // never a move: the source keeps its files
        }
    }

    void textDragRefused()
    {
        fill({"A"});
        QMimeData data;
        data.setText(QStringLiteral("/d/a.pdf"));
        const QPoint at = emptyPoint();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp(), &enter);
        QVERIFY(!enter.isAccepted());
        QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp(), &move);
        QVERIFY(!move.isAccepted());
        QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp(), &dropped);
        QCOMPARE(texts(*list), QStringList{"A"});
    }

    void staysDropTargetAfterItemClick()
    {
        fill({"A", "B"});
        click(rowPoint(1));
        QVERIFY(!list->dragEnabled());
        QVERIFY(vp()->acceptDrops());
        QSignalSpy dropped(list.get(), &ListView1::pathsDropped);
        const auto data = fileDrag({"/d/c.pdf"});
        QVERIFY(drop(data.get()));
        QCOMPARE(dropped.size(), 1);
    }

    // A deep path: the row is cut in the middle, its tooltip is the whole
    // path with the list's help below it, and the item keeps the path
    // exactly, also after a reorder.
    void rowsShowWholePath()
    {
        list->setToolTip(QStringLiteral("Drag and drop files here."));
        const QString deep = QStringLiteral("/home/ann/archive/2026/customers/north/invoices/scanned/"
                                            "originals/invoice-4711.pdf");
        fill({deep, QStringLiteral("/short.pdf")});
        const QRect row = list->visualItemRect(list->topLevelItem(0));
        QVERIFY(list->fontMetrics().horizontalAdvance(deep) > row.width()); // it has to be cut
        const QString shown = list->fontMetrics().elidedText(deep, list->textElideMode(), row.width());
        QVERIFY2(shown.endsWith(QStringLiteral("invoice-4711.pdf")), qPrintable(shown));
        QVERIFY(shown.startsWith(QStringLiteral("/home/")));

        for (int turn = 0; turn < 2; ++turn) {
            for (int p = 1; p <= 2; ++p) {
                const QString text = *list->textAt(p);
                QHelpEvent help(QEvent::ToolTip, rowPoint(p), vp()->mapToGlobal(rowPoint(p)));
                QApplication::sendEvent(vp(), &help);
                QTRY_COMPARE(QToolTip::text(), text + QStringLiteral("\n\nDrag and drop files here."));
                QToolTip::hideText();
            }
            // The travelling text takes its tooltip along.
            click(rowPoint(1));
            press(rowPoint(1));
            moveHeld(rowPoint(2));
            release(rowPoint(2));
        }
        QCOMPARE(texts(*list), (QStringList{deep, QStringLiteral("/short.pdf")}));
    }

    void appendedRowsComeIntoSight_data()
    {
        QTest::addColumn<int>("before"); // rows already there
        QTest::addColumn<int>("added");
        QTest::newRow("one row to a full list") << 30 << 1;
        QTest::newRow("many rows to a full list") << 30 << 12;
        QTest::newRow("to a list scrolled to its end") << 30 << 2;
    }
    void appendedRowsComeIntoSight()
    {
        QFETCH(int, before);
        QFETCH(int, added);
        QStringList first, more;
        for (int i = 0; i < before; ++i)
            first << QStringLiteral("/a/%1.pdf").arg(i);
        for (int i = 0; i < added; ++i)
            more << QStringLiteral("/b/%1.pdf").arg(i);
        fill(first);
        if (QByteArray(QTest::currentDataTag()).contains("its end"))
            list->makeVisible(before);
        else
            list->verticalScrollBar()->setValue(0);
        list->appendAll(more);
        const QRect last = list->visualItemRect(list->topLevelItem(list->count() - 1));
        QVERIFY(vp()->rect().contains(last));
        QCOMPARE(texts(*list), first + more);
    }

    void deleteKeysRemoveSelected_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("row"); // 0: nothing selected
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("Delete, first") << int(Qt::Key_Delete) << 1 << QStringList{"B", "C"};
        QTest::newRow("Delete, last") << int(Qt::Key_Delete) << 3 << QStringList{"A", "B"};
        QTest::newRow("Backspace, middle") << int(Qt::Key_Backspace) << 2 << QStringList{"A", "C"};
        QTest::newRow("Delete, nothing selected") << int(Qt::Key_Delete) << 0 << QStringList{"A", "B", "C"};
        QTest::newRow("another key") << int(Qt::Key_X) << 2 << QStringList{"A", "B", "C"};
    }
    void deleteKeysRemoveSelected()
    {
        QFETCH(int, key);
        QFETCH(int, row);
        QFETCH(QStringList, expected);
        fill({"A", "B", "C"});
        if (row)
            click(rowPoint(row)); // selects it; the reorder gesture holds it
        list->setFocus();
        QTest::keyClick(list.get(), Qt::Key(key));
        QCOMPARE(texts(*list), expected);
        // A second press removes nothing more: no neighbour became selected.
        QCOMPARE(list->selectedPosition(), expected.size() == 3 ? row : 0);
        if (expected.size() < 3) {
            QCOMPARE(list->draggedPosition(), 0);
            QTest::keyClick(list.get(), Qt::Key(key));
            QCOMPARE(texts(*list), expected);
            // The removed held item moves nothing.
            press(emptyPoint());
            moveHeld(rowPoint(1));
            moveHeld(rowPoint(2));
            release(emptyPoint());
            QCOMPARE(texts(*list), expected);
        }
    }

    void doubleClickRemovesSelected_data()
    {
        QTest::addColumn<int>("row"); // 0: on empty space, nothing selected
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("first") << 1 << QStringList{"B", "C"};
        QTest::newRow("middle") << 2 << QStringList{"A", "C"};
        QTest::newRow("last") << 3 << QStringList{"A", "B"};
        QTest::newRow("no selection") << 0 << QStringList{"A", "B", "C"};
    }
    void doubleClickRemovesSelected()
    {
        QFETCH(int, row);
        QFETCH(QStringList, expected);
        fill({"A", "B", "C"});
        doubleClick(row ? rowPoint(row) : emptyPoint());
        QCOMPARE(texts(*list), expected);
        // The row that moved up under the pointer is not selected, so a
        // further double-click on empty space removes nothing more.
        QCOMPARE(list->selectedPosition(), 0);
        doubleClick(emptyPoint());
        QCOMPARE(texts(*list), expected);
    }

    void removedDraggedItemIsCleared()
    {
        fill({"A", "B", "C", "D"});
        click(rowPoint(3));
        QCOMPARE(list->draggedPosition(), 3);
        list->removeAt(1); // an item above: the reference follows C
        QCOMPARE(list->draggedPosition(), 2);
        doubleClick(rowPoint(2)); // removes C itself
        QCOMPARE(texts(*list), (QStringList{"B", "D"}));
        QCOMPARE(list->draggedPosition(), 0);
        press(emptyPoint());
        moveHeld(rowPoint(1));
        moveHeld(rowPoint(2));
        release(emptyPoint());
        QCOMPARE(texts(*list), (QStringList{"B", "D"}));

        // Emptied list: nothing left to refer to.
        click(rowPoint(1));
        list->clear();
        QCOMPARE(list->draggedPosition(), 0);
        list->append(QStringLiteral("X"));
        list->append(QStringLiteral("Y"));
        press(emptyPoint());
        moveHeld(rowPoint(1));
        moveHeld(rowPoint(2));
        release(emptyPoint());
        QCOMPARE(texts(*list), (QStringList{"X", "Y"}));
    }
};

QTEST_MAIN(TestListView1)
#include "tst_listview1.moc"
