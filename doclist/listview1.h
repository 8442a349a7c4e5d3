// Contributors: read DEVELOPERS.md at the top of the repository first (rules for code, tests, git).
#pragma once

#include <QTreeWidget>
#include <optional>

// The document list: one column of document paths, in conversion order.
// Positions are 1-based. An item holds only its text.
class ListView1 : public QTreeWidget {
    Q_OBJECT
public:
    explicit ListView1(QWidget *parent = nullptr);

    void append(const QString &text);
    int count() const;
    // The text at a 1-based position, or nothing when the position is gone.
    std::optional<QString> textAt(int position) const;
    void setTextAt(int position, const QString &text);
    // Removes the item at a 1-based position; false when there is none.
    bool removeAt(int position);
    // The 1-based position of the selected item, or 0.
    int selectedPosition() const;
};
