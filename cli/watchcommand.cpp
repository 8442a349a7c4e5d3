#include "cli/watchcommand.h"
namespace Cli {
int watch(const CommandLine::Request &, const QString &) { return 2; }
}
