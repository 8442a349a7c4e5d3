#pragma once

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
