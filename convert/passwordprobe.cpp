#include "convert/passwordprobe.h"

#include "fileutil/fileutil.h"
#include "convert/directcompanions.h"
#include "convert/launcher/commandquoting.h"
#include "convert/launcher/shell32.h"
#include "platform/eventpump.h"
#include "platform/fileops.h"
#include "platform/pathcodec.h"
#include "platform/process.h"
#include "platform/secret.h"

#include <QFile>

namespace PDF {

namespace {

constexpr int HiddenStyle = 0;
// A leftover result file that is still there after this many tries (about a
// second) cannot be deleted.
constexpr int LeftoverTries = 10;
constexpr int PollMilliseconds = 100;
// The toolkit's own verdict "this document needs a user password".
constexpr int NeedsPasswordStatus = 1;

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

void removeResultTemporaries(const QString &resultFile)
{
    // The probe writes its result under ".<name>.XXXXXX" beside it and
    // renames it.
    const QString folder = FileUtil::FolderOf(resultFile);
    const QString name = resultFile.mid(resultFile.lastIndexOf(QLatin1Char('/')) + 1);
    const QString prefix = folder == QLatin1String("/") ? folder : folder + QLatin1Char('/');
    for (const QString &leftover : FileUtil::ListFiles(prefix, QLatin1Char('.') + name + QStringLiteral(".??????")))
        Platform::removeFile(prefix + leftover);
}

int pageCountOf(const QByteArray &result)
{
    for (const QByteArray &line : result.split('\n')) {
        const QByteArray text = line.trimmed();
        if (!text.startsWith("NumberOfPages:"))
            continue;
        bool ok = false;
        const int count = text.mid(14).trimmed().toInt(&ok);
        return ok && count > 0 ? count : 0;
    }
    return 0;
}

QString describeExit(int exitCode)
{
    if (exitCode > 128 && exitCode < 128 + 65)
        return QStringLiteral("ended by signal %1").arg(exitCode - 128);
    return QStringLiteral("exit status %1").arg(exitCode);
}

QString toolkitCommandLine(const CompanionFiles &files, const QString &documentPath,
                           const QString &resultFile)
{
    const QString document = documentPath.startsWith(QLatin1Char('-'))
                                 ? QStringLiteral("./") + documentPath
                                 : documentPath;
    return QLatin1Char('"') + files.toolkit + QLatin1Char('"') + QLatin1Char(' ')
           + Shell32::quoteArgument(document) + QStringLiteral(" data_dump output ")
           + Shell32::quoteArgument(resultFile) + QStringLiteral(" dont_ask");
}

ProbeJob::ProbeJob(Context &context, QString documentPath)
    : context_(context), document_(std::move(documentPath))
{
}

bool ProbeJob::start()
{
    using Verdict = ProbeResult::Verdict;
    done_ = true;
    // Nothing to probe: the rasteriser reports a missing document or a folder.
    if (!namesExistingFile(document_))
        return false;
    // Only a regular file is ever handed to the toolkit: a FIFO or a device
    // would hang it or feed it for ever.
    QString why;
    if (!Platform::isReadableRegularFile(document_, &why)) {
        result_ = {Verdict::Failed, {}, QStringLiteral("cannot be read: %1").arg(why), {}};
        return false;
    }
    const QString &resultFile = context_.slot.resultFile;
    // What a probe that was killed while writing its result left.
    removeResultTemporaries(resultFile);
    if (!removeLeftover(context_, resultFile)) {
        result_ = {Verdict::Unusable,
                   QStringLiteral("Cannot convert: the file %1 cannot be deleted.").arg(resultFile),
                   {}, {}};
        return false;
    }
    Shell32::ChildOptions options;
    options.inheritDescriptor = context_.lockDescriptor;
    options.errorFile = context_.slot.messagesFile;
    options.environment = context_.environment; // names the render service
    std::optional<Platform::SecretPipe> passwords;
    if (!passPasswords(context_, options, passwords)) {
        result_ = {Verdict::Unusable,
                   QStringLiteral("Cannot convert: the passwords cannot be passed to the password probe."),
                   {}, {}};
        return false;
    }
    const QString commandLine = toolkitCommandLine(context_.files, document_, resultFile);
    // The shipped probe: its job goes straight to the render service.
    const std::optional<qint64> direct =
        context_.direct ? context_.direct->startProbe(commandLine, options) : std::nullopt;
    const Shell32::LaunchResult started =
        direct ? Shell32::LaunchResult{33, *direct, std::nullopt}
               : context_.launcher.RunStart(commandLine, HiddenStyle, options);
    if (started.error) {
        result_ = {Verdict::Unusable,
                   QStringLiteral("Cannot convert: the password probe %1 could not be started (%2).")
                       .arg(context_.files.toolkit, started.error->description),
                   {}, {}};
        return false;
    }
    pid_ = started.pid;
    clock_.start();
    done_ = false;
    return true;
}

bool ProbeJob::poll()
{
    if (done_)
        return true;
    const int code = companionExitCode(context_, pid_);
    if (code != Platform::StillActive) {
        // The service went before it told what the probe found: its status
        // says nothing of the document, so the probe runs again, as a
        // process (the service takes no more of the run's jobs).
        if (DirectCompanions::isJob(pid_) && context_.direct && context_.direct->lost(pid_) && !retried_) {
            retried_ = true;
            return !start();
        }
        finish(code, false);
    } else if (context_.limits.probeMs > 0 && clock_.elapsed() >= context_.limits.probeMs) {
        endCompanion(context_, pid_);
        finish(companionExitCode(context_, pid_), true);
    }
    return done_;
}

void ProbeJob::abandon()
{
    if (!done_)
        endCompanion(context_, pid_);
    done_ = true;
    FileUtil::DeleteQuietly(context_.slot.resultFile);
    removeResultTemporaries(context_.slot.resultFile);
    FileUtil::DeleteQuietly(context_.slot.messagesFile);
}

void ProbeJob::finish(int exitCode, bool timedOut)
{
    using Verdict = ProbeResult::Verdict;
    done_ = true;
    const QString &resultFile = context_.slot.resultFile;
    if (FileUtil::FileExists(resultFile)) {
        result_ = {Verdict::Readable, {}, {}, {}};
        QFile file(resultFile);
        if (file.open(QIODevice::ReadOnly))
            result_.pageCount = pageCountOf(file.read(64 * 1024));
    } else if (timedOut) {
        result_ = {Verdict::Failed, {},
                   QStringLiteral("the password probe did not finish within %1 s")
                       .arg(context_.limits.probeMs / 1000.0),
                   {}};
    } else if (exitCode == NeedsPasswordStatus) {
        result_ = {Verdict::Protected, {}, {}, {}};
    } else {
        result_ = {Verdict::Failed, {},
                   QStringLiteral("the password probe failed (%1)").arg(describeExit(exitCode)),
                   companionMessages(context_.slot.messagesFile)};
    }
    FileUtil::DeleteQuietly(resultFile);
    FileUtil::DeleteQuietly(context_.slot.messagesFile);
}

ProbeResult IsPasswordProtected(Context &context, const QString &documentPath)
{
    ProbeJob job(context, documentPath);
    runToEnd(job, context);
    return job.result();
}

} // namespace PDF
