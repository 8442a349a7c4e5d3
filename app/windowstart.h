#pragma once

#include <QString>
#include <QStringList>

class Form1;

namespace Platform {
class InstanceChannel;
}

// Opening the window for `rasterwell [PATH...]`.
namespace WindowStart {

// The paths as full paths: a relative one is joined to `workingFolder` as
// it stands; an absolute one is kept exactly.
QStringList absolutePaths(const QStringList &paths, const QString &workingFolder);

enum class Result {
    HandedOver, // the window already open took the paths; nothing was shown
    Opened,     // `form` is loaded and shown, the paths go into its list
};

// With paths, first offers them to the window this user already has open
// (which appends them and comes to the front). Otherwise loads and shows
// `form`, adds the paths to its list once the event loop runs, and lets
// `form` take the paths of later starts. Without paths the window always
// opens. `paths` should be full paths (see absolutePaths).
Result start(Form1 &form, Platform::InstanceChannel &channel, const QStringList &paths);

} // namespace WindowStart
