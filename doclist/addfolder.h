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
// so a link cycle cannot make the walk endless; neither is reported. Folders
// that cannot be opened are skipped; when `unentered` is given, one line
// "<folder>: <reason>" is appended to it for each (the folder without its
// trailing separator; the reason "permission denied", "path too long" or the
// system's words). Only one folder is read at a time. `pump` (may be null)
// lets the window process its events after each folder is read and for every
// entry, so a large tree does not freeze it.
void CollectSubfolders(QStringList &folderList, bool recurse, Platform::EventPump *pump,
                       QStringList *unentered = nullptr);

// The documents the add-folder command appends for `folder` (as the folder
// picker returned it, no trailing separator except at "/"): the "*.pdf"
// files (any case, hidden ones included, names starting with "~" left out)
// of the folder and of every folder below it, folder by folder in
// CollectSubfolders' order, each as folder + "/" + name. Paths are joined as
// they stand: a walk from "/" gives "//name" and "//sub/name". Every folder
// of the walk that cannot be opened, `folder` itself included, is reported
// once in `unentered` as CollectSubfolders reports it.
QStringList CollectDocuments(const QString &folder, Platform::EventPump *pump,
                             QStringList *unentered = nullptr);

} // namespace AddFolder
