#pragma once

#include "cli/options.h"

#include <QString>

namespace Platform {
class SecretBytes;
}

namespace Cli {

// --convert --watch FOLDER...: converts the folders' documents as --update
// would, then keeps watching the folders and their sub-folders and converts
// each PDF that appears or changes once it is complete, until INT, TERM or
// HUP. With --shard, only the documents of that part (by their path below
// the watched folder). Returns the exit status.
int watch(const CommandLine::Request &request, const QString &appFolder,
          const Platform::SecretBytes *passwords = nullptr);

} // namespace Cli
