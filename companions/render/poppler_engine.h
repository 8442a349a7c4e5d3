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
    // poppler's complaints about the file as a whole (its structure, read
    // when it is opened), which every page's run repeats: not a page's fault.
    std::vector<std::string> documentErrors;
};

// The first of pdftoppm's messages for one page (its standard error) that
// says part of the page is lost: a "Syntax Error" line that is not one of
// the document's own; empty when there is none.
std::string popplerPageError(const std::string &messages,
                             const std::vector<std::string> &documentErrors);

PopplerDocument inspectWithPoppler(const std::string &path);

EngineOutcome renderWithPoppler(const std::string &path, const PopplerDocument &info,
                                PageSink &sink, const RenderSettings &settings);

} // namespace rw
