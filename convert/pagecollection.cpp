#include "convert/pagecollection.h"

#include "app/fileutil/fileutil.h"
#include "platform/filemove.h"
#include "platform/fileops.h"

#include <algorithm>
#include <map>
#include <vector>

namespace PDF {

namespace {
const QString PageImages = QStringLiteral("current*.jpg");
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

QString outputName(const QString &documentPath, int page)
{
    return FileUtil::StripExtension(documentPath)
           + QStringLiteral("-%1.jpg").arg(page, 3, 10, QLatin1Char('0'));
}

Collection collectPageImages(const QString &stagingFolder, const QString &documentPath)
{
    Collection result;
    std::map<int, QString> byPage;
    for (const QString &name : FileUtil::ListFiles(stagingFolder, PageImages)) {
        const QString path = stagingFolder + name;
        const int page = pageNumberOf(name);
        if (!Platform::isPlainFile(path)) {
            result.problems << QStringLiteral("%1 is not a plain file").arg(name);
        } else if (page < 1) {
            result.problems << QStringLiteral("%1 carries no page number").arg(name);
        } else if (const auto taken = byPage.find(page); taken != byPage.end()) {
            result.problems << QStringLiteral("%1 and %2 both claim page %3")
                                   .arg(taken->second, name).arg(page);
        } else {
            byPage.emplace(page, name);
            continue;
        }
        Platform::removeFile(path);
    }
    for (const auto &[page, name] : byPage) {
        QString error;
        if (Platform::moveReplacing(stagingFolder + name, outputName(documentPath, page), &error)) {
            result.placed << page;
        } else {
            result.problems << QStringLiteral("page %1: %2").arg(page).arg(error);
            Platform::removeFile(stagingFolder + name);
        }
    }
    return result;
}

QList<int> missingPages(const QList<int> &placed)
{
    QList<int> missing;
    if (placed.isEmpty())
        return missing;
    const int last = *std::max_element(placed.begin(), placed.end());
    std::vector<bool> present(std::size_t(last) + 1, false);
    for (const int page : placed)
        if (page >= 1)
            present[std::size_t(page)] = true;
    for (int page = 1; page < last; ++page)
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
