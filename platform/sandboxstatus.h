#pragma once

#include <QString>

namespace Platform {

// The protections the companion programs in `appFolder` run under here
// ("no new privileges, seccomp filter, Landlock ABI 7, resource limits"),
// as the renderer reports them (ps/rwengine --sandbox-status).
QString sandboxStatus(const QString &appFolder);

} // namespace Platform
