#pragma once

// Content a page needs that the file no longer holds. MuPDF treats a
// reference to a missing object as null: a page whose content stream was
// cut off a truncated file, or whose image is gone, renders white (or
// without that image) and without an error. The renderer must not pass such
// a page off as rendered, so it looks for the lost part itself.

#include "common/pdfdoc.h"

#include <string>

namespace rw {

// Checks the page object: it must be in the file (not missing, not free,
// readable) and be a page dictionary. Returns what is wrong ("page object
// 7 0 R is missing from the file"), empty when nothing is.
std::string findLostPage(fz_context *ctx, pdf_document *doc, int pageIndex);

// Checks the page's /Contents: every stream it refers to must exist (not
// missing, not free), be readable and be a stream. No /Contents, or an
// empty stream, is a real blank page and passes. Returns what is lost
// ("content stream 12 0 R is missing"), empty when nothing is.
std::string findLostContents(fz_context *ctx, pdf_document *doc, int pageIndex);

// Checks the XObjects the page's content draws ("/Name Do"), through
// nested forms: each must exist, be readable and be a stream. Reads the
// content streams, so the renderer calls it only for a page whose
// interpretation reported errors. Returns what is lost, empty when nothing
// is.
std::string findLostXObjects(fz_context *ctx, pdf_document *doc, int pageIndex);

} // namespace rw
