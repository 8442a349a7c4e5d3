#pragma once

#include "convert/runview.h"

#include <QPointer>

class ListView1;
class ProgressBar1;

// The run's view in the main window: the progress bar and the
// application-wide override pointer.
class WindowRunView final : public RunView {
public:
    explicit WindowRunView(ProgressBar1 *bar);
    void setProgress(double percent) override;
    void setApplicationPointer(int code) override;

private:
    QPointer<ProgressBar1> bar_;
};

// The documents of the window's list, read when a run begins.
class ListDocuments final : public DocumentSource {
public:
    explicit ListDocuments(ListView1 *list);
    int count() const override;
    std::optional<QString> textAt(int position) const override;

private:
    QPointer<ListView1> list_;
};
