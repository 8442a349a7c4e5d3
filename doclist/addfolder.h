#pragma once

#include <QString>
#include <QStringList>

namespace Platform {
class EventPump;
}

// The folder walk behind "Add All PDF File(s) In Folder". QtCore only: the
// command line searches folders the same way.
namespace AddFolder {

// Appends to `folderList` every folder below the folders already in it
// (each entry ends with "/"), level by level: first every folder one level
// below, grouped by parent in the parents' order and by name within a parent,
// then every folder two levels below, and so on. With `recurse` false only
// the first level is collected.
//
// Hidden folders are never entered and links to folders are never followed,
// so a link cycle cannot make the walk endless; folders that cannot be read
// are skipped. Only one folder is read at a time. `pump` (may be null) lets
// the window process its events after each folder is read and for every
// entry, so a large tree does not freeze it.
void CollectSubfolders(QStringList &folderList, bool recurse, Platform::EventPump *pump);

// The documents the add-folder command appends for `folder` (as the folder
// picker returned it, no trailing separator except at "/"): the "*.pdf"
// files (any case, hidden ones included, names starting with "~" left out)
// of the folder and of every folder below it, folder by folder in
// CollectSubfolders' order, each as folder + "/" + name. Paths are joined as
// they stand: a walk from "/" gives "//name" and "//sub/name".
QStringList CollectDocuments(const QString &folder, Platform::EventPump *pump);

} // namespace AddFolder
