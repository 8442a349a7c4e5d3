#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

struct CompanionFiles;
struct ConversionServices;
struct RunSummary;

namespace Platform {
class Clock;
} // namespace Platform

namespace Shell32 {
class Launcher;
} // namespace Shell32

// What decides which document of a run is worked on next and which ones
// side by side: it takes documents up in list order into the free staging
// slots (one slot per document converted at once), probes and rasterises
// each, and reports every outcome in list order, whatever order they end
// in. Ending early (a problem, a stop asked for) abandons what the slots
// still run, when the scheduler goes.
class RunScheduler {
public:
    RunScheduler(const ConversionServices &s, const CompanionFiles &files, Shell32::Launcher &launcher,
                 const QStringList &documents, RunSummary &summary, const Platform::Clock &clock,
                 double startedAt);
    ~RunScheduler();
    RunScheduler(const RunScheduler &) = delete;
    RunScheduler &operator=(const RunScheduler &) = delete;

    // Runs the whole list; a problem that stops the run, or nothing.
    std::optional<QString> run();
    // Whether the run was stopped before its end (asked by the observer).
    bool stopped() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};
