#pragma once

#include <QString>

class QWidget;

namespace Platform {
class Dialogs;
}

namespace AddFolder {

// Shows the folder picker over `owner` with `prompt`; the chosen folder
// without a trailing separator (except "/"), or "" when cancelled.
QString ChooseFolder(Platform::Dialogs &dialogs, QWidget *owner, const QString &prompt);

} // namespace AddFolder
