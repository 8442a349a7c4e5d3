#pragma once

#include "common/pdfdoc.h"
#include "render/pagesink.h"
#include "render/settings.h"

namespace rw {

// Renders every page of `doc` into `sink` on settings.threads threads, each
// holding a rendering token (settings.tokens) while it renders a page.
// `base` must have been created with locking callbacks; the document is
// shared behind a mutex: a worker records a page's display list while it
// holds the mutex, then rasterises and encodes it without. A page that
// fails, also one whose content the file has lost, is left out.
EngineOutcome renderWithMupdf(fz_context *base, pdf_document *doc, PageSink &sink,
                              const RenderSettings &settings);

} // namespace rw
