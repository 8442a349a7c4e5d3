#pragma once

#include <QString>
#include <QtGlobal>

// What a launch that failed reports to its caller.
struct LaunchError {
    qint32 number = 0;
    QString description;
    QString source; // the program's executable name without extension + ".GShell"
    bool operator==(const LaunchError &) const = default;
};
