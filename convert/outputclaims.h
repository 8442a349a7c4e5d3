#pragma once

#include "platform/fileops.h"

#include <QString>
#include <map>
#include <optional>

// True when the file name is one the run gives a page image of some
// document: "<stem>-001.jpg", "<stem>-1000.jpg", "<stem>-recovered-001.jpg"
// (or .png).
bool isImageName(const QString &name);

// True when `path` names an image the run may write or remove for
// `document`: one of its page images or recovered pages in its folder,
// however either path reaches that folder (folders compared by device and
// inode).
bool isImageOf(const QString &document, const QString &path);

// The output names the documents of one run write to. Two different
// documents whose images would have the same names ("a.pdf" and "a.PDF" in
// one folder) must not both be converted: the later one would silently
// replace the earlier one's images and mix the two sets.
class OutputClaims {
public:
    // Claims the output names of `document`; the reason it may not be
    // converted when an earlier, different document of the run has them.
    // The same document listed twice claims them again without conflict.
    // `imageFolder`: where its images go when not beside it (-o), compared
    // by its path (it may not exist yet).
    std::optional<QString> claim(const QString &document, const QString &imageFolder = {});

private:
    struct Key {
        Platform::FileIdentity folder; // where the images go
        QString folderPath;            // or, under an output folder, its path
        QString stem;                  // the images' name less "-NNN.jpg"
        bool operator<(const Key &other) const
        {
            if (folder != other.folder)
                return folder < other.folder;
            return folderPath != other.folderPath ? folderPath < other.folderPath : stem < other.stem;
        }
    };
    struct Claim {
        Platform::FileIdentity document;
        QString path;
    };
    std::map<Key, Claim> claims_;
};
