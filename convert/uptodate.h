#pragma once

#include "convert/runvariables.h"

#include <QString>

namespace PDF {

// True when the document's images "-001" ... "-N" (N = `pageCount`, the
// probe's count) all stand beside it as regular files, each carrying the
// record of its making (see imagerecord.h) for its own page of N pages, at
// `settings`, made from the document as it is now. "As it is now": the
// same size and content. Its size, modification and change times, device
// and inode as recorded tell that at once; when only the device, inode or
// times differ (a tree copied with cp -a or rsync -a, a file saved again
// unchanged), or the document was changed just before its images were
// made (a change in the same clock tick leaves its times as they were),
// its content's digest must match the recorded one. A link or a folder at
// an image name, an image without a record (made by some other program),
// a missing page or an unknown page count (0) make it false.
//
// With `settings` asking for some pages only, those of them the document
// has are looked at, and each must record the same selection; the long
// side, grey and the format (the images' extension) must match too, and
// the quality only for JPEG. `imageFolder`: where the images stand; empty:
// beside the document.
bool IsUpToDate(const QString &documentPath, int pageCount, const RunVariables::ImageSettings &settings,
                const QString &imageFolder = {});

} // namespace PDF
