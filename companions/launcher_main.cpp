// The companions' names, ps/rwrender and pdftk.exe (hard links to this
// small program, which holds no MuPDF): with the render service named in
// RASTERWELL_RENDER_SERVICE the job goes to the service, which starts in
// well under a millisecond; otherwise, or when the service cannot be
// reached, this program becomes the companion program itself (ps/rwengine,
// with MuPDF), which acts on the name it was started under.

#include "service/serviceclient.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

// ps/rwengine beside ps/rwrender; for pdftk.exe, in ps/ below it.
std::string enginePath(bool probe)
{
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return {};
    std::string path(self, std::size_t(n));
    path.erase(path.rfind('/') + 1);
    return path + (probe ? "ps/rwengine" : "rwengine");
}

} // namespace

int main(int argc, char **argv)
{
    const char *slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
    const char *name = argc > 0 ? (slash ? slash + 1 : argv[0]) : "rwrender";
    const bool probe = std::strcmp(name, "pdftk.exe") == 0;
    const bool serve = argc > 1 && std::strcmp(argv[1], "--serve") == 0;
    using rw::service::Job;
    if (!serve && argc > 0) {
        if (const char *service = rw::service::serviceFromEnvironment()) {
            if (const std::optional<int> status = rw::service::runThroughService(
                    service, probe ? Job::Probe : Job::Render, argc, argv))
                return *status;
        }
    }
    const std::string engine = enginePath(probe);
    if (!engine.empty() && argc > 0)
        ::execv(engine.c_str(), argv);
    std::fprintf(stderr, "%s: cannot start %s: %s\n", name,
                 engine.empty() ? "the companion program" : engine.c_str(), std::strerror(errno));
    return 127;
}
