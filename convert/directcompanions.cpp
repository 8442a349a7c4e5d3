#include "convert/directcompanions.h"

#include "fileutil/fileutil.h"
#include "convert/launcher/commandquoting.h"
#include "convert/launcher/shell32.h"
#include "convert/pdfcontext.h"
#include "convert/shippeddigests.h"
#include "platform/fileops.h"
#include "platform/process.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>

namespace {

// The script's own exit status when it is ended (its TERM trap).
constexpr int EndedStatus = 143;
// The most of the script read (as the settings are read).
constexpr qint64 MaxScriptBytes = 256 * 1024;

const QRegularExpression &settingLine()
{
    static const QRegularExpression line(
        QStringLiteral("^(RESOLUTION|QUALITY|PAGE_TIME_LIMIT)=([0-9]+(\\.[0-9]*)?)[ \\t]*(#.*)?$"));
    return line;
}

// Whether the file is the launcher as built or as the package strips it.
bool isShippedLauncher(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    QByteArray expected;
    if (size == RW_SHIPPED_LAUNCHER_SIZE)
        expected = QByteArrayLiteral(RW_SHIPPED_LAUNCHER_SHA256);
    else if (size == RW_SHIPPED_STRIPPED_LAUNCHER_SIZE)
        expected = QByteArrayLiteral(RW_SHIPPED_STRIPPED_LAUNCHER_SHA256);
    else
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return hash.addData(&file) && hash.result().toHex() == expected;
}

// The whole environment a companion started with `entries` on top of ours
// would get.
QStringList environmentWith(const QStringList &entries)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : entries) {
        const qsizetype equals = entry.indexOf(QLatin1Char('='));
        if (equals > 0)
            environment.insert(entry.left(equals), entry.mid(equals + 1));
    }
    return environment.toStringList();
}

QString valueIn(const QStringList &environment, const QString &name)
{
    const QString prefix = name + QLatin1Char('=');
    QString value;
    for (const QString &entry : environment)
        if (entry.startsWith(prefix))
            value = entry.mid(prefix.size());
    return value;
}

} // namespace

QByteArray DirectCompanions::normalisedConverterScript(const QByteArray &script)
{
    // As cmake/CompanionDigests.cmake does: only lines with a newline before
    // and after them.
    QList<QByteArray> lines = script.split('\n');
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
        const QRegularExpressionMatch m = settingLine().match(QString::fromLatin1(lines[i]));
        if (m.hasMatch())
            lines[i] = m.captured(1).toLatin1() + '=';
    }
    return lines.join('\n');
}

QString DirectCompanions::settingText(const QByteArray &script, const QByteArray &name)
{
    QString value;
    const QList<QByteArray> lines = script.split('\n');
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
        const QRegularExpressionMatch m = settingLine().match(QString::fromLatin1(lines[i]));
        if (m.hasMatch() && m.captured(1).toLatin1() == name)
            value = m.captured(2);
    }
    return value;
}

DirectCompanions::DirectCompanions(const CompanionFiles &files, const QString &socketPath)
    : socketPath_(socketPath), renderer_(files.renderer), files_(files)
{
}

void DirectCompanions::decide()
{
    // Once, at the first job: a run with nothing to do reads no companion.
    if (decided_)
        return;
    decided_ = true;
    const CompanionFiles &files = files_;
    const QString &socketPath = socketPath_;
    // Why the jobs run as processes; empty when they need not.
    const auto check = [&]() -> QString {
        if (qEnvironmentVariable("RASTERWELL_COMPANIONS") == QLatin1String("process"))
            return QStringLiteral("RASTERWELL_COMPANIONS=process");
        if (socketPath.isEmpty())
            return QStringLiteral("no render service runs");
        for (const QString &program : {files.toolkit, files.renderer, files.script})
            if (!isRunnableFile(program))
                return QStringLiteral("%1 is missing or cannot be run").arg(program);
        if (!isShippedLauncher(files.renderer))
            return QStringLiteral("%1 is not the renderer built with this program").arg(files.renderer);
        // pdftk.exe is a hard link to the same launcher: read once.
        const std::optional<Platform::FileIdentity> probe = Platform::fileIdentity(files.toolkit);
        if (!probe || probe != Platform::fileIdentity(files.renderer))
            if (!isShippedLauncher(files.toolkit))
                return QStringLiteral("%1 is not the probe built with this program").arg(files.toolkit);
        QFile scriptFile(files.script);
        if (!scriptFile.open(QIODevice::ReadOnly) || scriptFile.size() > MaxScriptBytes)
            return QStringLiteral("%1 cannot be read").arg(files.script);
        const QByteArray script = scriptFile.readAll();
        if (QCryptographicHash::hash(normalisedConverterScript(script), QCryptographicHash::Sha256).toHex()
            != QByteArrayLiteral(RW_SHIPPED_SCRIPT_SHA256))
            return QStringLiteral("%1 is not the shipped converter script").arg(files.script);
        resolution_ = settingText(script, "RESOLUTION");
        quality_ = settingText(script, "QUALITY");
        pageTimeLimit_ = settingText(script, "PAGE_TIME_LIMIT");
        return {};
    };
    why_ = check();
    enabled_ = why_.isEmpty();
}

DirectCompanions::~DirectCompanions() = default;

std::optional<qint64> DirectCompanions::add(Platform::ServiceJob::Request request, const QString &stagingFolder)
{
    std::unique_ptr<Platform::ServiceJob> job = Platform::ServiceJob::start(socketPath_, request);
    // A service that does not take a job up takes no more of this run's:
    // the launchers then deal with it (they end a silent service).
    if (!job) {
        enabled_ = false;
        why_ = QStringLiteral("the render service did not take a job up");
        return std::nullopt;
    }
    const qint64 id = nextId_--;
    jobs_[id] = Job{.job = std::move(job), .stagingFolder = stagingFolder, .ended = false, .lost = false, .status = std::nullopt};
    return id;
}

bool DirectCompanions::enabled()
{
    decide();
    return enabled_;
}

const QString &DirectCompanions::whyProcesses()
{
    decide();
    return why_;
}

std::optional<qint64> DirectCompanions::startProbe(const QString &commandLine, const Shell32::ChildOptions &options)
{
    if (!enabled())
        return std::nullopt;
    Platform::ServiceJob::Request request;
    request.probe = true;
    request.arguments = Shell32::splitCommandLine(commandLine);
    request.environment = environmentWith(options.environment);
    request.errorFile = options.errorFile;
    request.secretDescriptor = options.secretDescriptor;
    request.inheritDescriptor = options.inheritDescriptor;
    return add(std::move(request), {});
}

std::optional<qint64> DirectCompanions::startRender(const QString &stagingFolder, const Shell32::ChildOptions &options,
                                                    bool recover)
{
    if (!enabled())
        return std::nullopt;
    Platform::ServiceJob::Request request;
    request.environment = environmentWith(options.environment);
    // As the script passes them: a value the run (or the user) gives wins
    // unless it is empty.
    const auto setting = [&request](const char *variable, const QString &own) {
        const QString given = valueIn(request.environment, QString::fromLatin1(variable));
        return given.isEmpty() ? own : given;
    };
    QString renderer = valueIn(request.environment, QStringLiteral("RASTERWELL_RENDERER"));
    if (renderer.isEmpty())
        renderer = renderer_;
    if (renderer != renderer_)
        return std::nullopt; // another renderer: the script runs it
    request.arguments = QStringList{renderer,
                                    QStringLiteral("-r"), setting("RASTERWELL_RESOLUTION", resolution_),
                                    QStringLiteral("-q"), setting("RASTERWELL_QUALITY", quality_),
                                    QStringLiteral("-t"), pageTimeLimit_};
    if (recover)
        request.arguments << QStringLiteral("--recover");
    // The image settings, as the script hands them on when they are set.
    if (const QString pages = valueIn(request.environment, QStringLiteral("RASTERWELL_PAGES")); !pages.isEmpty())
        request.arguments << QStringLiteral("--pages") << pages;
    if (const QString scale = valueIn(request.environment, QStringLiteral("RASTERWELL_SCALE_TO")); !scale.isEmpty())
        request.arguments << QStringLiteral("--scale-to") << scale;
    if (valueIn(request.environment, QStringLiteral("RASTERWELL_GRAY")) == QLatin1String("1"))
        request.arguments << QStringLiteral("--gray");
    if (const QString format = valueIn(request.environment, QStringLiteral("RASTERWELL_FORMAT")); !format.isEmpty())
        request.arguments << QStringLiteral("--format") << format;
    request.arguments << QStringLiteral("--remove-input") << QStringLiteral("--") << QStringLiteral("./current.pdf")
                      << QStringLiteral("./current");
    request.workingFolder = stagingFolder;
    request.errorFile = options.errorFile;
    request.secretDescriptor = options.secretDescriptor;
    request.inheritDescriptor = options.inheritDescriptor;
    return add(std::move(request), stagingFolder);
}

// What the script does on its way out: a killed renderer's temporary files
// and the staged copy go; an ended one's page images too.
void DirectCompanions::cleanUp(const Job &job) const
{
    if (job.stagingFolder.isEmpty())
        return;
    const QString folder = job.stagingFolder;
    for (const QString &name : FileUtil::ListFiles(folder, QStringLiteral(".tmp-current-*")))
        Platform::removeFile(folder + name);
    if (job.ended)
        for (const QString &name : FileUtil::ListFiles(folder, QStringLiteral("current-*.jpg")))
            Platform::removeFile(folder + name);
    const QString staged = folder + QStringLiteral("current.pdf");
    if (Platform::pathExists(staged))
        Platform::removeFile(staged);
}

int DirectCompanions::exitCode(qint64 id)
{
    const auto it = jobs_.find(id);
    if (it == jobs_.end())
        return 1;
    Job &job = it->second;
    if (!job.status) {
        const std::optional<int> status = job.job->exitStatus();
        if (!status)
            return Platform::StillActive;
        job.status = status;
        if (job.job->lost()) {
            job.lost = true;
            enabled_ = false;
            why_ = QStringLiteral("the render service went before a job's end");
        }
        job.job.reset();
        cleanUp(job);
    }
    return *job.status;
}

void DirectCompanions::end(qint64 id)
{
    const auto it = jobs_.find(id);
    if (it == jobs_.end())
        return;
    Job &job = it->second;
    if (job.status)
        return;
    job.job->end();
    job.job.reset();
    job.ended = true;
    job.status = EndedStatus;
    cleanUp(job);
}

namespace PDF {

int companionExitCode(Context &context, qint64 id)
{
    if (DirectCompanions::isJob(id) && context.direct)
        return context.direct->exitCode(id);
    return context.launcher.exitCode(id);
}

void endCompanion(Context &context, qint64 id)
{
    if (DirectCompanions::isJob(id) && context.direct)
        context.direct->end(id);
    else
        context.launcher.end(id);
}

} // namespace PDF
