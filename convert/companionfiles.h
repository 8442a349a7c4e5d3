#pragma once

#include <QString>
#include <optional>

// A staging slot: the folder where one document at a time is probed and
// converted, with the files that belong to it. Slot 1 is the staging folder
// ps/ with the probe's result file beside it; further slots let a run
// convert several documents side by side.
struct StagingSlot {
    int number = 1;
    QString folder;       // with the trailing separator
    QString stagedCopy;   // folder + current.pdf
    QString resultFile;   // the probe's result, 2348239bbb.txt
    QString lockFile;     // held while a document is probed and converted here
    QString messagesFile; // what the probe and the converter write on their error stream
};

// The fixed files the conversion works with. The companions live in the
// application folder; the working files (the probe's result, the locks, the
// staging folders) live in the working folder: the application folder
// itself when it is writable, otherwise a folder of the user's own.
struct CompanionFiles {
    // `workFolder` empty: the application folder.
    explicit CompanionFiles(QString appFolder, QString workFolder = {});

    QString appFolder;
    QString workFolder;
    QString toolkit;       // the password probe, pdftk.exe
    QString script;        // the converter script ps/pdf2tiff.bat (a user's copy in the working folder wins)
    QString renderer;      // the renderer the script runs, ps/rwrender of the application folder
    // Slot 1's files.
    QString resultFile;
    QString stagingFolder; // ps/, with the trailing separator
    QString stagedCopy;    // ps/current.pdf
    QString lockFile;

    bool usesOwnWorkFolder() const { return workFolder != appFolder; }

    // Slot `number` (1 is ps/ itself).
    StagingSlot slot(int number) const;

    // Why a conversion cannot start here, as a message for the user; nothing
    // when the working folders are writable and both companions can be run.
    std::optional<QString> setupProblem() const;
};

// The working folder for an application folder: the application folder when
// it and its ps/ are writable; otherwise $XDG_STATE_HOME/rasterwell
// (~/.local/state/rasterwell by default), created with its ps/ when missing.
QString chooseWorkFolder(const QString &appFolder);

// Creates a further staging slot's folder when it is missing; false when it
// cannot be used (it cannot be created, or something other than a plain
// folder, a link for instance, stands in its place).
bool prepareSlotFolder(const StagingSlot &slot);

// True for a file that can be started as a program.
bool isRunnableFile(const QString &path);
