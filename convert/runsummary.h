#pragma once

#include "convert/runobserver.h"

#include <QList>
#include <QString>
#include <QStringList>

// How a conversion run ended, for the window (nothing to do) and for the
// command line (an exit status).
struct RunSummary {
    enum class Outcome {
        Completed,      // every position was handled; "Done." was shown
        EmptyList,      // "No files added."
        SetupProblem,   // the application folder or a companion is unusable
        AlreadyRunning, // a run was in progress; nothing was done
        Stopped,        // its observer asked it to stop before the end
    };
    Outcome outcome = Outcome::Completed;
    int converted = 0;     // documents with all their pages copied
    int passwordProtected = 0;
    int failed = 0;        // "Could not create JPG on ..."
    QString setupProblem;  // the message shown for SetupProblem
    QStringList details;   // "<path>: <reason>" for each failed document, for logs
    int imagesWritten = 0; // images placed beside the documents, partly converted ones too
    QList<DocumentEnd> notConverted; // protected, partial, failed and refused, in list order
    double seconds = 0;    // from the start of the run to the end of its last document

    // 0: all converted; 1: something protected or failed, or nothing to do;
    // 2: the application folder or the companions are unusable.
    int exitStatus() const
    {
        switch (outcome) {
        case Outcome::SetupProblem: return 2;
        case Outcome::EmptyList:
        case Outcome::AlreadyRunning:
        case Outcome::Stopped: return 1;
        case Outcome::Completed: break;
        }
        return (passwordProtected > 0 || failed > 0) ? 1 : 0;
    }
};
