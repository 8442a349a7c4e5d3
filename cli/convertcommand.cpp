#include "cli/convertcommand.h"

#include <cstdio>

namespace Cli {

int convert(const QStringList &paths, const QString &appFolder)
{
    Q_UNUSED(paths);
    Q_UNUSED(appFolder);
    std::fputs("rasterwell: --convert is not available yet\n", stderr);
    return CannotRun;
}

} // namespace Cli
