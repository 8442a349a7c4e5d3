#include "cli/jsonreport.h"

#include "platform/pathcodec.h"
#include "platform/terminal.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <cstdio>

namespace Cli {

JsonReport::JsonReport(const QString &target) : target_(target)
{
    const bool toStandardOutput = target == QLatin1String("-");
    const bool opened = toStandardOutput
                            ? file_.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)
                            : (file_.setFileName(target), file_.open(QIODevice::WriteOnly | QIODevice::Truncate));
    if (!opened)
        openProblem_ = QStringLiteral("cannot write the report %1: %2")
                           .arg(Platform::displayPath(target), file_.errorString());
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
    }
    return QStringLiteral("failed");
}

QJsonObject JsonReport::toJson(const DocumentEnd &end)
{
    QJsonObject o;
    o.insert(QStringLiteral("path"), Platform::displayPath(end.document));
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
    o.insert(QStringLiteral("reason"), Platform::displayPath(end.reason));
    o.insert(QStringLiteral("seconds"), std::round(end.seconds * 1000.0) / 1000.0);
    return o;
}

void JsonReport::documentEnded(const DocumentEnd &end)
{
    if (!openProblem_.isEmpty())
        return;
    // One write of the whole line, then flushed: a killed run leaves whole
    // lines only.
    const QByteArray line = QJsonDocument(toJson(end)).toJson(QJsonDocument::Compact) + '\n';
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
