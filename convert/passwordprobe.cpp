#include "convert/passwordprobe.h"

#include "app/fileutil/fileutil.h"
#include "convert/launcher/commandline.h"
#include "convert/launcher/shell32.h"
#include "platform/eventpump.h"
#include "platform/fileops.h"

namespace PDF {

namespace {

constexpr int HiddenStyle = 0;
// A leftover result file that is still there after this many tries (about a
// second) cannot be deleted.
constexpr int LeftoverTries = 10;
constexpr int PollMilliseconds = 100;

bool namesExistingFile(const QString &path)
{
    return !path.contains(QChar(0)) && FileUtil::FileExists(path) && !Platform::isFolder(path);
}

bool removeLeftover(Context &context, const QString &resultFile)
{
    FileUtil::DeleteQuietly(resultFile);
    for (int tries = 1; FileUtil::FileExists(resultFile); ++tries) {
        if (tries >= LeftoverTries)
            return false;
        context.pump.processEvents();
        context.pump.pause(PollMilliseconds);
        FileUtil::DeleteQuietly(resultFile);
    }
    return true;
}

} // namespace

QString toolkitCommandLine(const CompanionFiles &files, const QString &documentPath)
{
    const QString document = documentPath.startsWith(QLatin1Char('-'))
                                 ? QStringLiteral("./") + documentPath
                                 : documentPath;
    return QLatin1Char('"') + files.toolkit + QLatin1Char('"') + QLatin1Char(' ')
           + Shell32::quoteArgument(document) + QStringLiteral(" data_dump output ")
           + Shell32::quoteArgument(files.resultFile) + QStringLiteral(" dont_ask");
}

ProbeResult IsPasswordProtected(Context &context, const QString &documentPath)
{
    using Verdict = ProbeResult::Verdict;
    if (!namesExistingFile(documentPath))
        return {Verdict::Readable, {}};

    const QString &resultFile = context.files.resultFile;
    if (!removeLeftover(context, resultFile))
        return {Verdict::Unusable,
                QStringLiteral("Cannot convert: the file %1 cannot be deleted.").arg(resultFile)};

    const Shell32::WaitResult ran =
        context.launcher.RunAndWait(toolkitCommandLine(context.files, documentPath), HiddenStyle);
    if (!ran.started())
        return {Verdict::Unusable, QStringLiteral("Cannot convert: the password probe %1 could "
                                                  "not be started (%2).")
                                       .arg(context.files.toolkit, ran.error->description)};

    const bool isProtected = !FileUtil::FileExists(resultFile);
    FileUtil::DeleteQuietly(resultFile);
    return {isProtected ? Verdict::Protected : Verdict::Readable, {}};
}

} // namespace PDF
