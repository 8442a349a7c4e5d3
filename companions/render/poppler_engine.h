#pragma once

#include "render/pagesink.h"
#include "render/settings.h"

#include <string>
#include <vector>

namespace rw {

// The second engine, for documents MuPDF cannot open or finds no page in:
// poppler's pdfinfo and pdftoppm, one pdftoppm run per page (each under
// the page time limit), on settings.threads threads.
struct PopplerDocument {
    int pageCount = 0;                          // 0: poppler cannot read it either
    std::vector<std::pair<double, double>> sizes; // per page, points, rotation applied
    std::string error;
};

PopplerDocument inspectWithPoppler(const std::string &path);

EngineOutcome renderWithPoppler(const std::string &path, const PopplerDocument &info,
                                PageSink &sink, const RenderSettings &settings);

} // namespace rw
