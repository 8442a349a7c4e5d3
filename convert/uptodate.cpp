#include "convert/uptodate.h"

#include "convert/imagerecord.h"
#include "convert/pagecollection.h"
#include "convert/pageselection.h"
#include "platform/filestamp.h"

#include <algorithm>
#include <limits>

namespace PDF {

namespace {

// A document changed less than this before its first image was written
// may have changed again within the same tick of the file system's clock
// after it was staged, leaving every time as it was: its identity alone
// proves nothing then. (Coarse clocks: a few milliseconds on Linux, two
// seconds on FAT.)
constexpr qint64 SameTickNs = 3'000'000'000;

} // namespace

bool IsUpToDate(const QString &documentPath, int pageCount, const RunVariables::ImageSettings &settings,
                const QString &imageFolder)
{
    if (pageCount < 1)
        return false;
    const std::optional<PageSelection> selection =
        settings.pages.isEmpty() ? std::optional<PageSelection>(PageSelection()) : PageSelection::parse(settings.pages);
    if (!selection)
        return false;
    const QList<int> wanted = selection->within(pageCount);
    if (wanted.isEmpty())
        return false;
    const std::optional<Platform::SourceIdentity> document = Platform::sourceIdentity(documentPath);
    if (!document)
        return false;
    std::optional<ImageRecord> first;
    qint64 earliestImageNs = std::numeric_limits<qint64>::max();
    for (const int page : wanted) {
        const std::optional<Platform::FileHead> image = Platform::plainFileHead(
            outputName(documentPath, page, imageFolder, settings.extension()), ImageRecordSearchBytes);
        if (!image)
            return false;
        const std::optional<ImageRecord> record = readImageRecord(image->bytes);
        if (!record || record->page != page || record->pages != pageCount
            || record->resolution != settings.resolution
            || (!settings.png && record->quality != settings.quality)
            || record->selection != selection->text() || record->scaleTo != settings.scaleTo
            || record->gray != settings.gray)
            return false;
        // Every page made from the same staging of the document.
        if (first && (record->source != first->source || record->sha256 != first->sha256))
            return false;
        if (!first)
            first = record;
        earliestImageNs = std::min(earliestImageNs, image->stamp.modifiedNs);
    }
    const Platform::SourceIdentity &recorded = first->source;
    if (recorded.size != document->size)
        return false;
    const bool settledBeforeImages = earliestImageNs - SameTickNs >= recorded.changedNs;
    if (recorded == *document && settledBeforeImages)
        return true;
    const std::optional<Platform::FileDigest> digest = Platform::fileDigest(documentPath);
    return digest && digest->identity.size == recorded.size && digest->sha256 == first->sha256;
}

} // namespace PDF
