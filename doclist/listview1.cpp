#include "doclist/listview1.h"

#include <QHeaderView>

ListView1::ListView1(QWidget *parent) : QTreeWidget(parent)
{
    setObjectName(QStringLiteral("ListView1"));
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    setColumnCount(0);
}

void ListView1::append(const QString &text)
{
    auto *item = new QTreeWidgetItem(this); // owned by the list
    item->setText(0, text);
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
    delete takeTopLevelItem(position - 1);
    return true;
}

int ListView1::selectedPosition() const
{
    const QList<QTreeWidgetItem *> selected = selectedItems();
    return selected.isEmpty() ? 0 : indexOfTopLevelItem(selected.first()) + 1;
}
