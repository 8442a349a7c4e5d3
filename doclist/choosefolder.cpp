#include "doclist/choosefolder.h"

#include "platform/gui/dialogs.h"

namespace AddFolder {

QString ChooseFolder(Platform::Dialogs &dialogs, QWidget *owner, const QString &prompt)
{
    return dialogs.chooseFolder(owner, prompt);
}

} // namespace AddFolder
