// The companions in one program, acting on the name it is started under:
// pdftk.exe is the password probe, any other name the renderer;
// "rwrender --serve SOCKET" is the render service. With the service named
// in RASTERWELL_RENDER_SERVICE, the probe and the renderer hand their job
// to it (before any MuPDF start-up) and work stand-alone when it cannot be
// reached.

#include "render/rendermain.h"
#include "service/renderservice.h"
#include "service/serviceclient.h"

#include <cstring>
#include <optional>

int main(int argc, char **argv)
{
    const char *slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
    const char *name = argc > 0 ? (slash ? slash + 1 : argv[0]) : "";
    const bool probe = std::strcmp(name, "pdftk.exe") == 0;
    if (!probe && argc == 3 && std::strcmp(argv[1], "--serve") == 0)
        return rw::service::serveMain(argv[2]);
    using rw::service::Job;
    if (const char *service = rw::service::serviceFromEnvironment()) {
        if (const std::optional<int> status = rw::service::runThroughService(
                service, probe ? Job::Probe : Job::Render, argc, argv))
            return *status;
    }
    return probe ? probeMain(argc, argv) : renderMain(argc, argv);
}
