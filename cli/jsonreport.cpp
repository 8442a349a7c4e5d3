#include "cli/jsonreport.h"

#include "fileutil/fileutil.h"
#include "convert/outputclaims.h"
#include "platform/fileops.h"
#include "platform/pathcodec.h"
#include "platform/terminal.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <cstdio>

namespace Cli {

namespace {

// Report lines are short; a longer one is not a report's.
constexpr qint64 MaxLineBytes = 1 << 20;

// True when every line of the file is a JSON object or array (a report
// written by an earlier run, complete or cut after a whole line).
bool holdsJsonLines(QFile &file)
{
    while (!file.atEnd()) {
        QByteArray line = file.readLine(MaxLineBytes);
        if (line.endsWith('\n'))
            line.chop(1);
        else if (!file.atEnd())
            return false; // too long
        QJsonParseError error;
        QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError)
            return false;
    }
    return file.error() == QFileDevice::NoError;
}

QString fileNameOf(const QString &path)
{
    return path.section(QLatin1Char('/'), -1);
}

} // namespace

JsonReport::JsonReport(const QString &target, const QStringList &documents, const QStringList &watchedFolders)
    : target_(target)
{
    if (target == QLatin1String("-")) {
        if (!file_.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered))
            openProblem_ = QStringLiteral("cannot write the report to standard output: %1").arg(file_.errorString());
        return;
    }
    // The file as it was checked is the file that is emptied and written.
    const std::optional<Platform::FileIdentity> checked = Platform::entryIdentity(target);
    if (const std::optional<QString> why = refusal(checked, documents, watchedFolders)) {
        openProblem_ = QStringLiteral("--report %1: %2").arg(Platform::displayPath(target), *why);
        return;
    }
    QString error;
    const int fd = Platform::openReplacing(target, checked, &error);
    if (fd < 0 || !file_.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
        openProblem_ = QStringLiteral("cannot write the report %1: %2")
                           .arg(Platform::displayPath(target), fd < 0 ? error : file_.errorString());
}

std::optional<QString> JsonReport::refusal(const std::optional<Platform::FileIdentity> &entry,
                                           const QStringList &documents, const QStringList &watchedFolders) const
{
    const std::optional<Platform::FileIdentity> file = Platform::fileIdentity(target_);
    if (entry && entry != file)
        return QStringLiteral("it is a link; a report is never written through one");
    for (const QString &document : documents) {
        if (file && file == Platform::fileIdentity(document))
            return QStringLiteral("it is %1, a document of this run").arg(Platform::displayPath(document));
        if (isImageOf(document, target_))
            return QStringLiteral("it is an image name of %1, which this run may write or remove")
                .arg(Platform::displayPath(document));
    }
    // A watch converts documents that are not there yet: in a watched
    // folder, no document's or image's name is the report's.
    const QString name = fileNameOf(target_);
    if (name.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive) || isImageName(name)) {
        if (const std::optional<QString> folder = Platform::resolvedPath(FileUtil::FolderOf(target_))) {
            for (const QString &watched : watchedFolders) {
                const std::optional<Platform::FileIdentity> root = Platform::fileIdentity(watched);
                for (QString up = *folder; root; up = FileUtil::FolderOf(up)) {
                    if (Platform::fileIdentity(up) == root)
                        return QStringLiteral("it lies in the watched folder %1 under the name of a %2")
                            .arg(Platform::displayPath(watched),
                                 isImageName(name) ? QStringLiteral("page image") : QStringLiteral("document"));
                    if (up == QLatin1String("/"))
                        break;
                }
            }
        }
    }
    // Only an empty file or an earlier report is replaced.
    if (file && Platform::fileKind(target_) == Platform::FileKind::Regular) {
        QString error;
        const int fd = Platform::openRegularFile(target_, &error);
        QFile existing;
        if (fd < 0 || !existing.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            return QStringLiteral("it cannot be read to tell whether it is a report (%1)")
                .arg(fd < 0 ? error : existing.errorString());
        if (existing.size() > 0 && !holdsJsonLines(existing))
            return QStringLiteral("it holds something other than a report (not JSON Lines), which the report "
                                  "would replace");
    }
    return std::nullopt;
}

QString JsonReport::outcomeName(DocumentEnd::Outcome outcome)
{
    using O = DocumentEnd::Outcome;
    switch (outcome) {
    case O::Converted: return QStringLiteral("converted");
    case O::UpToDate: return QStringLiteral("up-to-date");
    case O::Protected: return QStringLiteral("protected");
    case O::Partial: return QStringLiteral("partial");
    case O::Failed: return QStringLiteral("failed");
    case O::Refused: return QStringLiteral("refused");
    case O::Interrupted: return QStringLiteral("interrupted");
    }
    return QStringLiteral("failed");
}

QJsonObject JsonReport::toJson(const DocumentEnd &end)
{
    QJsonObject o;
    // Control characters stay: JSON escapes them itself.
    o.insert(QStringLiteral("path"), Platform::displayPath(end.document, Platform::Controls::Keep));
    if (Platform::hasUndecodableBytes(end.document))
        o.insert(QStringLiteral("path_bytes"),
                 QString::fromLatin1(Platform::encodePath(end.document).toBase64()));
    o.insert(QStringLiteral("outcome"), outcomeName(end.outcome));
    o.insert(QStringLiteral("pages"), end.pageCount);
    o.insert(QStringLiteral("images"), end.imagesWritten);
    QJsonArray missing;
    for (const int page : end.missingPages)
        missing.append(page);
    o.insert(QStringLiteral("missing"), missing);
    o.insert(QStringLiteral("reason"), Platform::displayPath(end.reason, Platform::Controls::Keep));
    o.insert(QStringLiteral("seconds"), std::round(end.seconds * 1000.0) / 1000.0);
    return o;
}

void JsonReport::documentEnded(const DocumentEnd &end)
{
    if (!openProblem_.isEmpty())
        return;
    // One write of the whole line, then flushed: a killed run leaves whole
    // lines only.
    QJsonObject object = toJson(end);
    if (!options_.isEmpty())
        object.insert(QStringLiteral("options"), options_);
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    if (file_.write(line) != line.size() || !file_.flush()) {
        readerGone_ = Platform::readerGone(file_.handle());
        if (writeProblem_.isEmpty())
            writeProblem_ = readerGone_
                                ? QStringLiteral("the report %1 is no longer read (its pipe is closed): "
                                                 "the run was stopped")
                                      .arg(Platform::displayPath(target_))
                                : QStringLiteral("cannot write the report %1: %2")
                                      .arg(Platform::displayPath(target_), file_.errorString());
    }
}

} // namespace Cli
