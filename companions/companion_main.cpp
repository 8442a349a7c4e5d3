// ps/rwengine: the companions in one program with MuPDF, acting on the
// name it is started under (ps/rwrender and pdftk.exe start it keeping
// their own name, see launcher_main.cpp): pdftk.exe is the password probe,
// any other name the renderer; "rwrender --serve SOCKET" is the render
// service; "rwengine --sandbox-status" confines itself as a renderer
// would and says which protections are in force.

#include "common/sandbox.h"
#include "render/rendermain.h"
#include "service/servicemain.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    const char *slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
    const char *name = argc > 0 ? (slash ? slash + 1 : argv[0]) : "";
    const bool probe = std::strcmp(name, "pdftk.exe") == 0;
    if (argc == 2 && std::strcmp(argv[1], "--sandbox-status") == 0) {
        // A service worker is confined alike (it reads beneath its folder
        // and the probe's document from the descriptor its client opened).
        const rw::sandbox::Protections in = rw::sandbox::confine({});
        std::printf("%s\n", rw::sandbox::describe(in).c_str());
        return 0;
    }
    if (!probe && argc == 3 && std::strcmp(argv[1], "--serve") == 0)
        return rw::service::serveMain(argv[2]);
    // "--serve SOCKET --workers N": at most N workers at once.
    if (!probe && argc == 5 && std::strcmp(argv[1], "--serve") == 0
        && std::strcmp(argv[3], "--workers") == 0) {
        char *end = nullptr;
        const long workers = std::strtol(argv[4], &end, 10);
        if (end == argv[4] || *end != '\0' || workers < 1 || workers > 1024)
            return 2;
        return rw::service::serveMain(argv[2], int(workers));
    }
    return probe ? probeMain(argc, argv) : renderMain(argc, argv);
}
