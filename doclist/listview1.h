#pragma once

#include <QPersistentModelIndex>
#include <QTreeWidget>
#include <functional>
#include <optional>

namespace Platform {
class PointerSetting;
}

// The document list: one column of document paths, in conversion order.
// Positions are 1-based. An item holds only its text, the document path
// exactly; a row too narrow for it is cut in the middle, so the file name
// stays in sight, and its tooltip shows the whole path with the list's help
// below it.
//
// Editing with the mouse: files and folders dropped from another program
// are handed on in order through pathsDropped (the window appends them);
// holding a button and moving the pointer carries the text of the item last
// clicked along with the pointer (reorder); a double-click removes the
// selected item; so do Delete and Backspace. With keyboard focus and no
// current item (an empty list) the list draws a focus frame.
class ListView1 : public QTreeWidget {
    Q_OBJECT
public:
    explicit ListView1(QWidget *parent = nullptr);

    void append(const QString &text);
    // Appends the texts in order, then scrolls so the last of them is in sight.
    void appendAll(const QStringList &texts);
    int count() const;
    // The text at a 1-based position, or nothing when the position is gone.
    std::optional<QString> textAt(int position) const;
    void setTextAt(int position, const QString &text);
    // Removes the item at a 1-based position; false when there is none.
    bool removeAt(int position);
    // The 1-based position of the selected item, or 0.
    int selectedPosition() const;
    // Marks the item at a position selected (the only selected one).
    void selectPosition(int position);
    // Scrolls the list as needed so the item at a position is visible.
    void makeVisible(int position);
    // Hit test: the position of the item at a point of the viewport, or 0.
    int positionAt(QPoint point) const;

    // Wiring by the window: its pointer setting (the pointer-move handler
    // resets it unless it is the hourglass) and the application folder
    // (the drag pointer is read from "drag.ico" in it).
    void setWindowPointer(Platform::PointerSetting *window) { windowPointer_ = window; }
    void setAppFolder(const QString &folder) { appFolder_ = folder; }
    // The pointer's distance from the top of its screen in pixels, read when
    // an exchange scrolls. Defaults to the real pointer; tests replace it.
    void setPointerScreenY(std::function<int()> source);

    // State of the reorder gesture.
    bool listButtonDown() const { return listButtonDown_; }
    // Position of the item whose text travels with the pointer, or 0 (none,
    // also once that item has been removed).
    int draggedPosition() const;

    // The list's event handlers; the widget's own mouse and drop events call
    // them.
    void itemClick();
    void buttonDown();
    void buttonUp();
    void pointerMove(QPoint point);
    void doubleClick();
    // Removes every selected item, as a double-click does.
    void removeSelected();

    // Set while the add-folder command fills the list, so a second press
    // does not start another walk over it.
    bool folderWalkRunning() const { return folderWalkRunning_; }
    void setFolderWalkRunning(bool running) { folderWalkRunning_ = running; }

    // The local paths a drag offers, in its order; empty when it carries no
    // local file (such a drag is refused).
    static QStringList droppedPaths(const QMimeData *data);

signals:
    // The local paths of an accepted drop, in the drag's order.
    void pathsDropped(const QStringList &paths);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    QModelIndex indexAtPosition(int position) const;
    static int positionOf(const QModelIndex &index);

    Platform::PointerSetting *windowPointer_ = nullptr;
    QString appFolder_;
    std::function<int()> pointerScreenY_;

    bool listButtonDown_ = false;
    // Model indexes that follow their rows and turn invalid when their item
    // is removed, so a removed item is never used.
    QPersistentModelIndex draggedItem_;
    QPersistentModelIndex hoverItem_;

    bool folderWalkRunning_ = false;
    bool removedByDoubleClick_ = false;
};
