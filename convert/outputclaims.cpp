#include "convert/outputclaims.h"

#include "app/fileutil/fileutil.h"
#include "platform/appfolder.h"
#include "platform/pathcodec.h"

std::optional<QString> OutputClaims::claim(const QString &document)
{
    const std::optional<Platform::FileIdentity> identity = Platform::fileIdentity(document);
    const QString stem = FileUtil::StripExtension(document);
    const std::optional<Platform::FileIdentity> where = Platform::fileIdentity(FileUtil::FolderOf(stem));
    // A document that cannot be found fails on its own; it claims nothing.
    if (!identity || !where)
        return std::nullopt;
    const Key key{*where, stem.mid(stem.lastIndexOf(Platform::separator()) + 1)};
    const auto [it, inserted] = claims_.try_emplace(key, Claim{*identity, document});
    if (inserted || it->second.document == *identity)
        return std::nullopt;
    return QStringLiteral("its images would replace those of %1")
        .arg(Platform::displayPath(it->second.path));
}
