#include "convert/runvariables.h"

#include <QFile>

#include <cmath>
#include <optional>

namespace RunVariables {

namespace {

constexpr double DefaultPageTimeLimit = 60;
constexpr int NoPageLimitIdleMs = 30 * 60'000;
// Room for the start of the converter and its last page's encoding.
constexpr int IdleMarginMs = 10'000;

bool inRange(const QString &text, double low, double high, bool whole)
{
    bool ok = false;
    const double value = text.trimmed().toDouble(&ok);
    return ok && std::isfinite(value) && value >= low && value <= high && (!whole || value == std::floor(value));
}

} // namespace

std::optional<QString> problem(const QStringList &overridden)
{
    struct Variable {
        const char *name;
        double low;
        double high;
        bool whole;
        const char *what;
    };
    static const Variable variables[] = {
        {"RASTERWELL_JOBS", 1, MaxJobs, true, "a whole number of documents side by side"},
        {"RASTERWELL_RESOLUTION", 1, MaxResolution, false, "a number of dots per inch"},
        {"RASTERWELL_QUALITY", 1, MaxQuality, true, "a whole number (JPEG quality)"},
    };
    for (const Variable &v : variables) {
        const QString name = QString::fromLatin1(v.name);
        // Unset or empty: the default holds (the script treats empty so too).
        if (overridden.contains(name) || qEnvironmentVariableIsEmpty(v.name))
            continue;
        const QString value = qEnvironmentVariable(v.name);
        if (!inRange(value, v.low, v.high, v.whole))
            return QStringLiteral("%1 must be %2 from %3 to %4, not \"%5\"")
                .arg(name, QString::fromLatin1(v.what))
                .arg(v.low)
                .arg(v.high)
                .arg(value);
    }
    return std::nullopt;
}

namespace {

// The script's text, as far as its settings can stand (empty when it
// cannot be read).
QString scriptText(const QString &script)
{
    QFile file(script);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.read(256 * 1024)) : QString();
}

// The number a "NAME=number" line sets (digits, an optional fraction, then
// only blanks and a comment), or nothing. Scanned by hand rather than with a
// pattern: it runs for every document, and a pattern is compiled each time.
std::optional<double> numberOnLine(QStringView line, QStringView name)
{
    if (!line.startsWith(name) || line.size() <= name.size() || line[name.size()] != QLatin1Char('='))
        return std::nullopt;
    const auto isDigit = [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); };
    const qsizetype start = name.size() + 1;
    qsizetype end = start;
    while (end < line.size() && isDigit(line[end]))
        ++end;
    if (end == start)
        return std::nullopt;
    if (end < line.size() && line[end] == QLatin1Char('.'))
        for (++end; end < line.size() && isDigit(line[end]);)
            ++end;
    qsizetype rest = end;
    while (rest < line.size() && line[rest].isSpace())
        ++rest;
    if (rest < line.size() && line[rest] != QLatin1Char('#'))
        return std::nullopt;
    return line.sliced(start, end - start).toDouble();
}

// The last "NAME=number" line of the script's text.
double numberIn(const QString &text, const QString &name, double fallback)
{
    double value = fallback;
    for (const QStringView line : QStringView(text).tokenize(QLatin1Char('\n')))
        if (const std::optional<double> number = numberOnLine(line, name))
            value = *number;
    return value;
}

} // namespace

double scriptNumberOf(const QString &script, const QString &name, double fallback)
{
    return numberIn(scriptText(script), name, fallback);
}

ImageSettings imageSettingsOf(const QString &script, const QStringList &environment)
{
    // As the script reads them: an empty variable leaves its own value.
    const auto given = [&environment](const QString &variable) {
        QString value;
        if (!qEnvironmentVariableIsEmpty(qPrintable(variable)))
            value = qEnvironmentVariable(qPrintable(variable));
        for (const QString &entry : environment)
            if (entry.startsWith(variable + QLatin1Char('=')))
                value = entry.mid(variable.size() + 1);
        bool ok = false;
        const double number = value.trimmed().toDouble(&ok);
        return ok ? std::optional<double>(number) : std::nullopt;
    };
    const ImageSettings defaults;
    ImageSettings settings;
    const std::optional<double> resolution = given(QStringLiteral("RASTERWELL_RESOLUTION"));
    const std::optional<double> quality = given(QStringLiteral("RASTERWELL_QUALITY"));
    // The script is read once, and only for what the environment leaves to it.
    const QString text = resolution && quality ? QString() : scriptText(script);
    settings.resolution = resolution ? *resolution : numberIn(text, QStringLiteral("RESOLUTION"), defaults.resolution);
    settings.quality = int(quality ? *quality : numberIn(text, QStringLiteral("QUALITY"), defaults.quality));
    const auto entry = [&environment](const char *variable) {
        const QString prefix = QLatin1String(variable) + QLatin1Char('=');
        QString value;
        for (const QString &e : environment)
            if (e.startsWith(prefix))
                value = e.mid(prefix.size());
        return value;
    };
    settings.pages = entry("RASTERWELL_PAGES");
    settings.scaleTo = entry("RASTERWELL_SCALE_TO").toInt();
    settings.gray = entry("RASTERWELL_GRAY") == QLatin1String("1");
    settings.png = entry("RASTERWELL_FORMAT") == QLatin1String("png");
    return settings;
}

QStringList furtherSettingsEnvironment(const ImageSettings &settings)
{
    return {QStringLiteral("RASTERWELL_PAGES=") + settings.pages,
            QStringLiteral("RASTERWELL_SCALE_TO=") + (settings.scaleTo > 0 ? QString::number(settings.scaleTo) : QString()),
            QStringLiteral("RASTERWELL_GRAY=") + QLatin1String(settings.gray ? "1" : ""),
            QStringLiteral("RASTERWELL_FORMAT=") + QLatin1String(settings.png ? "png" : "")};
}

double pageTimeLimitOf(const QString &script)
{
    return scriptNumberOf(script, QStringLiteral("PAGE_TIME_LIMIT"), DefaultPageTimeLimit);
}

int idleLimitMsFor(double pageTimeLimitSeconds)
{
    if (!(pageTimeLimitSeconds > 0))
        return NoPageLimitIdleMs;
    return int(std::min<double>(NoPageLimitIdleMs, 3 * pageTimeLimitSeconds * 1000 + IdleMarginMs));
}

} // namespace RunVariables
