#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The RASTERWELL_* variables a user may set for a run, and the limits that
// follow the converter script's settings.
namespace RunVariables {

// The ranges the command-line options and the renderer accept.
constexpr int MaxJobs = 64;
constexpr double MaxResolution = 2400;
constexpr int MaxQuality = 100;

// Why a RASTERWELL_* variable of the environment cannot be used (out of
// range, not a number), naming it; nothing when all can. Variables named
// in `overridden` ("RASTERWELL_RESOLUTION" when -r was given) are not
// looked at: the run sets them itself.
std::optional<QString> problem(const QStringList &overridden = {});

// The number the converter script assigns to `name` (the last assignment
// of a plain number at the start of a line), or `fallback` when it cannot
// be read.
double scriptNumberOf(const QString &script, const QString &name, double fallback);

// The resolution and JPEG quality the converter script will use: the
// value `environment` ("NAME=value" entries the run sets) gives
// RASTERWELL_RESOLUTION / RASTERWELL_QUALITY, else our own environment's,
// else the script's RESOLUTION / QUALITY, else its defaults (150, 90).
// The further settings come from `environment` alone (the run always sets
// them, so a value of the user's own never counts): RASTERWELL_PAGES
// ("1,3,5-7,10-"; empty: every page), RASTERWELL_SCALE_TO (the long side in
// pixels; 0: by resolution), RASTERWELL_GRAY=1, RASTERWELL_FORMAT=png.
struct ImageSettings {
    double resolution = 150;
    int quality = 90;
    QString pages = {};
    int scaleTo = 0;
    bool gray = false;
    bool png = false;
    bool operator==(const ImageSettings &) const = default;
    // The images' extension, "jpg" or "png".
    QString extension() const { return png ? QStringLiteral("png") : QStringLiteral("jpg"); }
};
ImageSettings imageSettingsOf(const QString &script, const QStringList &environment);

// The "NAME=value" entries for the further settings, all four of them
// (empty values for the defaults).
QStringList furtherSettingsEnvironment(const ImageSettings &settings);

// The converter script's PAGE_TIME_LIMIT in seconds (the last assignment at
// the start of a line); 60, the script's own default, when it cannot be read.
double pageTimeLimitOf(const QString &script);

// How long a converter may go without writing anything before it is ended:
// a few page time limits (three pages over the limit end a document), or
// half an hour when pages have no time limit.
int idleLimitMsFor(double pageTimeLimitSeconds);

} // namespace RunVariables
