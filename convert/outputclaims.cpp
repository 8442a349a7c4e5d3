#include "convert/outputclaims.h"

#include <QDir>

#include "fileutil/fileutil.h"
#include "convert/pagecollection.h"
#include "platform/appfolder.h"
#include "platform/pathcodec.h"

#include <algorithm>

namespace {

QString fileNameOf(const QString &path)
{
    return path.mid(path.lastIndexOf(Platform::separator()) + 1);
}

// The stems an image name may belong to ("report" for "report-001.jpg";
// "a-recovered-001.jpg" is page 1 of "a-recovered" or a recovered page of
// "a"); none when it is no image name.
QStringList imageStems(const QString &name)
{
    const QString extension = name.endsWith(QLatin1String(".png")) ? QStringLiteral("png") : QStringLiteral("jpg");
    if (!name.endsWith(QLatin1Char('.') + extension))
        return {};
    const QString base = name.chopped(extension.size() + 1);
    const qsizetype dash = base.lastIndexOf(QLatin1Char('-'));
    const QString digits = base.mid(dash + 1);
    bool ok = false;
    const int number = digits.toInt(&ok);
    if (dash < 0 || !ok || number < 1 || !std::all_of(digits.begin(), digits.end(), [](QChar c) {
            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
        }))
        return {};
    QStringList stems;
    const QString stem = base.left(dash);
    if (PDF::imageName(stem, number, extension) == name)
        stems << stem;
    const QString recovered = QStringLiteral("-recovered");
    if (stem.endsWith(recovered) && PDF::recoveredImageName(stem.chopped(recovered.size()), number, extension) == name)
        stems << stem.chopped(recovered.size());
    return stems;
}

} // namespace

bool isImageName(const QString &name)
{
    return !imageStems(name).isEmpty();
}

bool isImageOf(const QString &document, const QString &path)
{
    const QString stem = FileUtil::StripExtension(document);
    if (!imageStems(fileNameOf(path)).contains(fileNameOf(stem)))
        return false;
    const std::optional<Platform::FileIdentity> where = Platform::fileIdentity(FileUtil::FolderOf(stem));
    return where && where == Platform::fileIdentity(FileUtil::FolderOf(path));
}

std::optional<QString> OutputClaims::claim(const QString &document, const QString &imageFolder)
{
    const std::optional<Platform::FileIdentity> identity = Platform::fileIdentity(document);
    const QString stem = FileUtil::StripExtension(document);
    const std::optional<Platform::FileIdentity> where =
        imageFolder.isEmpty() ? Platform::fileIdentity(FileUtil::FolderOf(stem)) : Platform::FileIdentity{};
    // A document that cannot be found fails on its own; it claims nothing.
    if (!identity || !where)
        return std::nullopt;
    const Key key{*where, imageFolder.isEmpty() ? QString() : QDir::cleanPath(QDir(imageFolder).absolutePath()),
                  stem.mid(stem.lastIndexOf(Platform::separator()) + 1)};
    const auto [it, inserted] = claims_.try_emplace(key, Claim{*identity, document});
    if (inserted || it->second.document == *identity)
        return std::nullopt;
    return QStringLiteral("its images would replace those of %1")
        .arg(Platform::displayPath(it->second.path));
}
