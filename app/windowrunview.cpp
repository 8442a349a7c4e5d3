#include "app/windowrunview.h"

#include "app/progressbar1.h"
#include "doclist/listview1.h"
#include "platform/gui/cursors.h"

WindowRunView::WindowRunView(ProgressBar1 *bar) : bar_(bar) {}

void WindowRunView::setProgress(double percent)
{
    if (bar_)
        bar_->setPercent(percent);
}

void WindowRunView::setApplicationPointer(int code)
{
    Platform::setApplicationPointer(code);
}

ListDocuments::ListDocuments(ListView1 *list) : list_(list) {}

int ListDocuments::count() const
{
    return list_ ? list_->count() : 0;
}

std::optional<QString> ListDocuments::textAt(int position) const
{
    if (!list_)
        return std::nullopt;
    return list_->textAt(position);
}
