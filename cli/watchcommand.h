#pragma once

#include "cli/commandline.h"

#include <QString>

namespace Cli {

// --convert --watch FOLDER...: converts the folders' documents as --update
// would, then keeps watching the folders and their sub-folders and converts
// each PDF that appears or changes once it is complete, until INT, TERM or
// HUP. Returns the exit status.
int watch(const CommandLine::Request &request, const QString &appFolder);

} // namespace Cli
