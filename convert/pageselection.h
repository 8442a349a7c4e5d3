#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <optional>

// The pages a run converts (--pages "1,3,5-7,10-"): ranges of page numbers
// from 1, an open end meaning "to the last page". None: every page.
class PageSelection {
public:
    // Nothing when `text` is no such list (empty, a page 0, a range that
    // runs backwards, anything but digits, "-" and ",").
    static std::optional<PageSelection> parse(const QString &text);

    bool isAll() const { return ranges_.isEmpty(); }
    // The pages asked for that a document of `pageCount` pages has, ascending.
    QList<int> within(int pageCount) const;
    // The pages asked for past the last of `pageCount` ("9, 12-"); empty
    // when there is none.
    QString pastEnd(int pageCount) const;
    // As the renderer and the images' record write it: "1,3,5-7,10-"; empty
    // for every page.
    QString text() const;

private:
    QList<QPair<int, int>> ranges_; // a last of 0: to the end
};
