#include "convert/pagecollection.h"

#include "fileutil/fileutil.h"
#include "platform/fileops.h"
#include "platform/folderhandle.h"

#include <algorithm>
#include <map>
#include <vector>

namespace PDF {

namespace {
const QString RecoveredPrefix = QStringLiteral("current-recovered-");
} // namespace

int pageNumberOf(const QString &imageName)
{
    const qsizetype dot = imageName.lastIndexOf(QLatin1Char('.'));
    qsizetype end = dot < 0 ? imageName.size() : dot;
    // The last run of digits before the extension.
    while (end > 0 && !imageName[end - 1].isDigit())
        --end;
    qsizetype begin = end;
    while (begin > 0 && imageName[begin - 1].isDigit())
        --begin;
    if (begin == end)
        return 0;
    bool ok = false;
    const int number = imageName.mid(begin, end - begin).toInt(&ok);
    return ok ? number : 0;
}

bool isRecoveredImage(const QString &imageName)
{
    return imageName.startsWith(RecoveredPrefix, Qt::CaseInsensitive);
}

QString imageName(const QString &stem, int page, const QString &extension)
{
    return stem + QStringLiteral("-%1.").arg(page, 3, 10, QLatin1Char('0')) + extension;
}

QString recoveredImageName(const QString &stem, int position, const QString &extension)
{
    return stem + QStringLiteral("-recovered-%1.").arg(position, 3, 10, QLatin1Char('0')) + extension;
}

QString outputName(const QString &documentPath, int page, const QString &folder, const QString &extension)
{
    const QString stem = FileUtil::StripExtension(documentPath);
    const QString base = folder.isEmpty() ? stem : folder + QLatin1Char('/') + stem.section(QLatin1Char('/'), -1);
    return base + QStringLiteral("-%1.").arg(page, 3, 10, QLatin1Char('0')) + extension;
}

Collection collectPageImages(const QString &stagingFolder, const Platform::FolderHandle &folder,
                             const QString &stem, const CollectOptions &options)
{
    Collection result;
    std::map<int, QString> byPage;
    std::map<int, QString> recovered;
    int recoveredLeftOut = 0;
    const QString ext = options.extension;
    for (const QString &name : FileUtil::ListFiles(stagingFolder, QStringLiteral("current*.") + ext)) {
        const QString path = stagingFolder + name;
        const int page = pageNumberOf(name);
        const bool inFileOrder = isRecoveredImage(name);
        std::map<int, QString> &into = inFileOrder ? recovered : byPage;
        if (!Platform::isPlainFile(path)) {
            result.problems << QStringLiteral("%1 is not a plain file").arg(name);
        } else if (page < 1) {
            result.problems << QStringLiteral("%1 carries no page number").arg(name);
        } else if (inFileOrder && !options.recover) {
            // Its number is a place in the file, never a page number.
            ++recoveredLeftOut;
        } else if (const auto taken = into.find(page); taken != into.end()) {
            result.problems << QStringLiteral("%1 and %2 both claim page %3")
                                   .arg(taken->second, name).arg(page);
        } else {
            into.emplace(page, name);
            continue;
        }
        Platform::removeFile(path);
    }
    if (recoveredLeftOut > 0)
        result.notes << QStringLiteral("%1 page%2 found only in file order %3 not kept (--recover keeps them as %4)")
                            .arg(recoveredLeftOut)
                            .arg(recoveredLeftOut > 1 ? QStringLiteral("s") : QString())
                            .arg(recoveredLeftOut > 1 ? QStringLiteral("were") : QStringLiteral("was"))
                            .arg(recoveredImageName(stem, 1, ext));
    auto place = [&](const std::map<int, QString> &images, QList<int> &placed, auto nameFor, bool numbered) {
        for (const auto &[page, name] : images) {
            QString error;
            if (folder.moveIn(stagingFolder + name, nameFor(stem, page, ext), options.mode, &error)) {
                placed << page;
                if (numbered && options.afterPage)
                    options.afterPage(page);
            } else {
                result.problems << QStringLiteral("page %1: %2").arg(page).arg(error);
                Platform::removeFile(stagingFolder + name);
            }
        }
    };
    place(byPage, result.placed, imageName, true);
    place(recovered, result.recovered, recoveredImageName, false);

    if (options.wanted) {
        for (const int page : *options.wanted)
            if (!result.placed.contains(page))
                result.missing << page;
    } else {
        result.missing = missingPages(result.placed, options.pageCount);
    }
    // An older image under a missing page's name would make the set look
    // complete and mix two versions of the document.
    for (const int page : std::as_const(result.missing)) {
        const QString name = imageName(stem, page, ext);
        using Entry = Platform::FolderHandle::Entry;
        const Entry entry = folder.entry(name);
        if (entry != Entry::File && entry != Entry::Link)
            continue;
        QString error;
        if (folder.remove(name, &error))
            result.notes << QStringLiteral("page %1: the older image %2 was removed").arg(page).arg(name);
        else
            result.problems << QStringLiteral("page %1: the older image stays: %2").arg(page).arg(error);
    }
    return result;
}

QList<int> missingPages(const QList<int> &placed, int last)
{
    QList<int> missing;
    const int highest = placed.isEmpty() ? 0 : *std::max_element(placed.begin(), placed.end());
    last = std::max(last, highest);
    std::vector<bool> present(std::size_t(last) + 1, false);
    for (const int page : placed)
        if (page >= 1)
            present[std::size_t(page)] = true;
    for (int page = 1; page <= last; ++page)
        if (!present[std::size_t(page)])
            missing << page;
    return missing;
}

QString describePages(const QList<int> &pages)
{
    QStringList parts;
    for (qsizetype i = 0; i < pages.size();) {
        qsizetype j = i;
        while (j + 1 < pages.size() && pages[j + 1] == pages[j] + 1)
            ++j;
        parts << (j == i ? QString::number(pages[i])
                         : QStringLiteral("%1-%2").arg(pages[i]).arg(pages[j]));
        i = j + 1;
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace PDF
