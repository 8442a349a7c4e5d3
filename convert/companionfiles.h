#pragma once

#include <QString>
#include <optional>

// The fixed files in and below the application folder that the conversion
// works with.
struct CompanionFiles {
    explicit CompanionFiles(QString appFolder);

    QString appFolder;
    QString toolkit;       // the password probe, pdftk.exe
    QString resultFile;    // the probe's result, 2348239bbb.txt
    QString stagingFolder; // ps/, with the trailing separator
    QString stagedCopy;    // ps/current.pdf
    QString script;        // ps/pdf2tiff.bat
    QString lockFile;      // held while a document is probed and rasterised

    // Why a conversion cannot start here, as a message for the user; nothing
    // when the folders are writable and both companions can be run.
    std::optional<QString> setupProblem() const;
};

// True for a file that can be started as a program.
bool isRunnableFile(const QString &path);
