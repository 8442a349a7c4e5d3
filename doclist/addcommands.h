#pragma once

#include <QString>
#include <QStringList>

class ListView1;
class PathIntake;
class QWidget;

namespace Platform {
class Dialogs;
}

// The two commands that fill the document list besides drops.
namespace AddCommands {

inline const QString FileDialogTitle =
    QStringLiteral("Add File(s) - Use Ctrl & Shift to select multiple files");
inline const QString FileDialogFilter = QStringLiteral("PDF Files (*.pdf)");
inline const QString FolderPrompt = QStringLiteral("Please select folder to add:");

// The paths a file-dialog result names: one full path as it stands, or a
// folder followed by NUL-separated names, each joined as folder + "/" + name
// with every doubled separator collapsed (a folder "/" gives "/name"). An
// empty folder means the names are full paths, taken as they stand (files
// chosen from several folders). Empty for a cancelled dialog.
QStringList PathsFromFileDialog(const QString &result);

// "Add PDF File(s)": the multi-selection file dialog over `owner`; appends
// the chosen files in the dialog's order and scrolls the last one into
// sight. Cancelling changes nothing.
void AddFiles(ListView1 &list, Platform::Dialogs &dialogs, QWidget *owner);

// "Add All PDF File(s) In Folder": the folder picker over `owner`, then every
// PDF file of the chosen folder and the folders below it is appended through
// `intake` (see AddFolder::CollectDocuments); folders that could not be
// entered are named in one message box. The window shows the hourglass from
// the confirmed folder to the last append. While the intake fills the list a
// press is ignored.
void AddAllInFolder(ListView1 &list, Platform::Dialogs &dialogs, PathIntake &intake, QWidget *owner);

} // namespace AddCommands
