#pragma once

#include <QString>

class QWidget;

namespace Platform {

// The two pickers the adding commands use. Tests replace them.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // A multi-selection file-open dialog. Returns "" when cancelled, the full
    // path when one file was chosen, or the folder followed by a NUL and the
    // names separated by NULs when several were chosen (see fileDialogResult).
    virtual QString openFiles(QWidget *owner, const QString &title, const QString &filter) = 0;

    // A folder picker. Returns the chosen folder without a trailing separator
    // (except "/"), or "" when cancelled.
    virtual QString chooseFolder(QWidget *owner, const QString &prompt) = 0;
};

class QtDialogs final : public Dialogs {
public:
    QString openFiles(QWidget *owner, const QString &title, const QString &filter) override;
    QString chooseFolder(QWidget *owner, const QString &prompt) override;
};

// The result form of openFiles for a list of chosen paths. Several files of
// one folder give the folder, then each bare name after a NUL. Files from
// several folders (typed in as full paths), or paths that joining folder and
// name would not give back, give an empty folder and each full path after a
// NUL, so every chosen path comes back exactly as chosen.
QString fileDialogResult(const QStringList &paths);

} // namespace Platform
