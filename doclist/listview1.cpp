#include "doclist/listview1.h"

#include "platform/gui/cursors.h"
#include "platform/pointer.h"

#include <QCursor>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyleOptionFocusRect>

#include <utility>

namespace {

// A row: its text is the document path; its tooltip is that same text, so
// it follows the text wherever the reorder gesture moves it, with the list's
// own help below it, which the rows would otherwise hide.
class DocumentItem final : public QTreeWidgetItem {
public:
    using QTreeWidgetItem::QTreeWidgetItem;
    QVariant data(int column, int role) const override
    {
        if (role != Qt::ToolTipRole)
            return QTreeWidgetItem::data(column, role);
        const QString path = QTreeWidgetItem::data(column, Qt::DisplayRole).toString();
        const QString help = treeWidget() ? treeWidget()->toolTip() : QString();
        return help.isEmpty() ? path : path + QStringLiteral("\n\n") + help;
    }
};

// The pointer's distance from the top of the screen it is on, in pixels.
int realPointerScreenY()
{
    const QPoint at = QCursor::pos();
    const QScreen *screen = QGuiApplication::screenAt(at);
    return at.y() - (screen ? screen->geometry().top() : 0);
}

// Dropping paths copies nothing, so the drop never claims to move the
// files: a source that honours a move would delete them.
void chooseDropAction(QDropEvent *event)
{
    if (event->possibleActions() & Qt::CopyAction)
        event->setDropAction(Qt::CopyAction);
    else if (event->possibleActions() & Qt::LinkAction)
        event->setDropAction(Qt::LinkAction);
    else
        event->setDropAction(event->proposedAction());
}

// Screen y thresholds of the drag scrolling: above the first the item above
// comes into view, from the second on the item below.
constexpr int ScrollUpBelowY = 305;
constexpr int ScrollDownFromY = 365;

} // namespace

ListView1::ListView1(QWidget *parent) : QTreeWidget(parent), pointerScreenY_(realPointerScreenY)
{
    setObjectName(QStringLiteral("ListView1"));
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // A deep path shows its file name, not only its first folders.
    setTextElideMode(Qt::ElideMiddle);
    header()->setStretchLastSection(false);
    setColumnCount(0);

    // A drop target for files, never a drag source of its own items; the
    // list scrolls only where the reorder gesture asks for it.
    setDragDropMode(QAbstractItemView::DropOnly);
    setDragEnabled(false);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(false);
    setAutoScroll(false);
    // Pointer moves without a button reset the window's pointer.
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
}

void ListView1::append(const QString &text)
{
    auto *item = new DocumentItem(this); // owned by the list
    item->setText(0, text);
}

void ListView1::appendAll(const QStringList &texts)
{
    for (const QString &text : texts)
        append(text);
    if (!texts.isEmpty())
        makeVisible(count()); // what was added is in sight, not below the visible rows
}

int ListView1::count() const
{
    return topLevelItemCount();
}

std::optional<QString> ListView1::textAt(int position) const
{
    if (position < 1 || position > count())
        return std::nullopt;
    return topLevelItem(position - 1)->text(0);
}

void ListView1::setTextAt(int position, const QString &text)
{
    if (position >= 1 && position <= count())
        topLevelItem(position - 1)->setText(0, text);
}

bool ListView1::removeAt(int position)
{
    if (position < 1 || position > count())
        return false;
    delete takeTopLevelItem(position - 1); // persistent indexes of it turn invalid
    return true;
}

int ListView1::selectedPosition() const
{
    const QList<QTreeWidgetItem *> selected = selectedItems();
    return selected.isEmpty() ? 0 : indexOfTopLevelItem(selected.first()) + 1;
}

void ListView1::selectPosition(int position)
{
    const QModelIndex index = indexAtPosition(position);
    if (index.isValid())
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect
                                                     | QItemSelectionModel::Rows);
}

void ListView1::makeVisible(int position)
{
    const QModelIndex index = indexAtPosition(position);
    if (index.isValid())
        scrollTo(index, QAbstractItemView::EnsureVisible);
}

int ListView1::positionAt(QPoint point) const
{
    // Points outside the viewport (a held button grabs the pointer) hit
    // nothing, even where rows lie hidden beyond the edge.
    if (!viewport()->rect().contains(point))
        return 0;
    return positionOf(indexAt(point));
}

void ListView1::setPointerScreenY(std::function<int()> source)
{
    pointerScreenY_ = source ? std::move(source) : std::function<int()>(realPointerScreenY);
}

int ListView1::draggedPosition() const
{
    return positionOf(draggedItem_);
}

void ListView1::itemClick()
{
    // The drag pointer is read at every click; without a readable picture
    // the list keeps the default pointer.
    const std::optional<QCursor> picture = Platform::loadPointerFile(appFolder_ + QStringLiteral("/drag.ico"));
    Platform::setWidgetPointer(this, picture ? Platform::PointerCustom : Platform::PointerDefault,
                               picture);
    // Pressing and moving on an item must never drag the item itself; files
    // dropped from elsewhere stay welcome.
    setDragEnabled(false);
    draggedItem_ = indexAtPosition(selectedPosition());
}

void ListView1::buttonDown()
{
    listButtonDown_ = true;
}

void ListView1::buttonUp()
{
    listButtonDown_ = false;
    Platform::setWidgetPointer(this, Platform::PointerArrow);
}

void ListView1::pointerMove(QPoint point)
{
    if (windowPointer_ && windowPointer_->pointer() != Platform::PointerHourglass)
        windowPointer_->setPointer(Platform::PointerDefault);
    if (!listButtonDown_)
        return;

    hoverItem_ = indexAtPosition(positionAt(point));
    if (draggedItem_.isValid() && hoverItem_.isValid()) {
        const QString dragged = draggedItem_.data().toString();
        const QString hover = hoverItem_.data().toString();
        if (hover != dragged) {
            // Only the two texts change places; items in between stay.
            const int draggedPos = positionOf(draggedItem_);
            const int hoverPos = positionOf(hoverItem_);
            setTextAt(draggedPos, hover);
            setTextAt(hoverPos, dragged);
            selectPosition(hoverPos);
            draggedItem_ = hoverItem_;

            const int screenY = pointerScreenY_();
            if (screenY < ScrollUpBelowY && hoverPos > 1)
                makeVisible(hoverPos - 1);
            else if (screenY >= ScrollDownFromY && hoverPos + 1 <= count())
                makeVisible(hoverPos + 1);
        }
    }
    hoverItem_ = QPersistentModelIndex();
}

void ListView1::doubleClick()
{
    const int position = selectedPosition();
    if (position > 0 && removeAt(position)) {
        // The view would select the row that takes the removed one's place;
        // a further double-click must not remove an item nobody pointed at.
        clearSelection();
    }
}

void ListView1::removeSelected()
{
    const QList<QTreeWidgetItem *> selected = selectedItems();
    if (selected.isEmpty())
        return;
    for (QTreeWidgetItem *item : selected)
        delete item; // leaves the list; persistent indexes of it (the held item) turn invalid
    clearSelection(); // as after a double-click: no neighbour nobody chose
}

QStringList ListView1::droppedPaths(const QMimeData *data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    const QList<QUrl> urls = data->urls();
    for (const QUrl &url : urls) {
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    return paths;
}

void ListView1::paintEvent(QPaintEvent *event)
{
    QTreeWidget::paintEvent(event);
    // The view marks focus on its current item only; without one (an empty
    // list) a list reached with Tab would look unfocused.
    if (!hasFocus() || currentIndex().isValid())
        return;
    QPainter painter(viewport());
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = viewport()->rect().adjusted(1, 1, -1, -1);
    option.backgroundColor = palette().color(QPalette::Base);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

void ListView1::mousePressEvent(QMouseEvent *event)
{
    QTreeWidget::mousePressEvent(event); // selects the item under the pointer
    buttonDown();
    if (positionAt(event->position().toPoint()) > 0)
        itemClick();
}

void ListView1::mouseMoveEvent(QMouseEvent *event)
{
    pointerMove(event->position().toPoint());
    // While the gesture runs the view's own drag-selection stays out: the
    // selection follows the travelling text only.
    if (!listButtonDown_)
        QTreeWidget::mouseMoveEvent(event);
}

void ListView1::mouseReleaseEvent(QMouseEvent *event)
{
    QTreeWidget::mouseReleaseEvent(event);
    // The view selects the item under the pointer on the release that ends
    // a double-click; after a removal that is a neighbour nobody chose.
    if (std::exchange(removedByDoubleClick_, false))
        clearSelection();
    buttonUp();
}

void ListView1::mouseDoubleClickEvent(QMouseEvent *event)
{
    QTreeWidget::mouseDoubleClickEvent(event);
    const int before = count();
    doubleClick();
    removedByDoubleClick_ = count() < before;
}

void ListView1::keyPressEvent(QKeyEvent *event)
{
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace)) {
        removeSelected();
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void ListView1::dragEnterEvent(QDragEnterEvent *event)
{
    dragMoveEvent(event);
}

void ListView1::dragMoveEvent(QDragMoveEvent *event)
{
    if (droppedPaths(event->mimeData()).isEmpty()) {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
        return;
    }
    chooseDropAction(event);
    event->accept();
}

void ListView1::dropEvent(QDropEvent *event)
{
    const QStringList paths = droppedPaths(event->mimeData());
    if (paths.isEmpty()) {
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
        return;
    }
    chooseDropAction(event);
    event->accept();
    emit pathsDropped(paths);
}

QModelIndex ListView1::indexAtPosition(int position) const
{
    if (position < 1 || position > count())
        return {};
    return indexFromItem(topLevelItem(position - 1));
}

int ListView1::positionOf(const QModelIndex &index)
{
    return index.isValid() ? index.row() + 1 : 0;
}
