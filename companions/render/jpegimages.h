#pragma once

// Faster decoding of a PDF's JPEG images. MuPDF decodes DCTDecode images
// through a stream filter that hands the decoded pixels on one byte at a
// time; on a scanned document that copy took half of the renderer's time.
// libjpeg (the same library MuPDF uses) decodes straight into the pixmap
// instead, with the settings MuPDF would use, so the pixels are the same.
// Images the fast path does not cover keep MuPDF's own decoding: other
// colour spaces than gray and RGB, decode arrays, colour keys, and any JPEG
// libjpeg reports a problem with.

#include "common/pdfdoc.h"

namespace rw {

// A device that passes everything on to `target` (which it does not own),
// JPEG images as images that decode the fast way. Put it in front of the
// display list device while a page is recorded.
fz_device *newFastJpegDevice(fz_context *ctx, fz_device *target);

} // namespace rw
