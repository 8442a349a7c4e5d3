#pragma once

#include <QString>

namespace PDF {

// True when the document's images "-001" ... "-N" (N = `pageCount`, the
// probe's count) all stand beside it as regular files, none of them older
// than the document (modification times to the nanosecond). A link or a
// folder at an image name, a missing page, an older image or an unknown
// page count (0) make it false. Resolution and quality are not looked at.
bool IsUpToDate(const QString &documentPath, int pageCount);

} // namespace PDF
