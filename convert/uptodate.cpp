#include "convert/uptodate.h"

#include "convert/pagecollection.h"
#include "platform/filestamp.h"

namespace PDF {

bool IsUpToDate(const QString &documentPath, int pageCount)
{
    if (pageCount < 1)
        return false;
    const std::optional<Platform::FileStamp> document = Platform::regularFileStamp(documentPath);
    if (!document)
        return false;
    for (int page = 1; page <= pageCount; ++page) {
        const std::optional<Platform::FileStamp> image = Platform::plainFileStamp(outputName(documentPath, page));
        if (!image || image->modifiedNs < document->modifiedNs)
            return false;
    }
    return true;
}

} // namespace PDF
