#include "platform/socketpath.h"

#include "platform/pathcodec.h"

#include <sys/un.h>

namespace Platform {

bool fitsSocketAddress(const QString &path)
{
    return size_t(encodePath(path).size()) < sizeof(sockaddr_un::sun_path);
}

} // namespace Platform
