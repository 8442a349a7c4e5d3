#pragma once

#include "convert/pdfcontext.h"
#include "convert/runsummary.h"

#include <QString>
#include <QStringList>

class DocumentSource;
class RunObserver;
class RunView;

namespace Platform {
class Clock;
class EventPump;
class MessageSink;
class PointerSetting;
class ProcessApi;
} // namespace Platform

// Everything a conversion run reaches outside itself.
class DirectCompanions;

struct ConversionServices {
    QString appFolder;
    DocumentSource &documents;
    RunView &view;                          // progress and application-wide pointer
    Platform::PointerSetting &windowPointer; // the main window's pointer (hourglass while busy)
    Platform::MessageSink &messages;
    Platform::EventPump &pump;
    Platform::ProcessApi &processes;
    QString programName = {}; // source prefix of launch errors; empty: this executable's name
    // Where the probe's result, the locks and the staging folders live;
    // empty: the application folder.
    QString workFolder = {};
    // Documents converted side by side, each in a staging slot of its own;
    // 1 converts one after the other.
    int slotCount = 1;
    PDF::Limits limits = {};
    // "NAME=value" settings for the converter script.
    QStringList environment = {};
    // Keep the pages of a lost page tree, found only in file order, as
    // "<stem>-recovered-NNN.jpg" (the document still fails).
    bool recover = false;
    // Where the images go (-o DIR); by default beside each document.
    PDF::OutputPlace output = {};
    // Told when documents start, gain pages and end; may stop the run.
    RunObserver *observer = nullptr;
    // Skip a readable document whose images are all there and newer than it
    // (it counts as converted).
    bool skipUpToDate = false;
    // Measures the time the run takes; none: the system's clock.
    const Platform::Clock *clock = nullptr;
    // Passwords tried in turn on each protected document, one a line (they
    // reach the companions through a pipe only); none: nullptr.
    const Platform::SecretBytes *passwords = nullptr;
    // Set by the run itself: the jobs that go straight to the render service.
    DirectCompanions *direct = nullptr;
};

// "Convert!": walks the documents from top to bottom, probes each for a
// password, rasterises the readable ones and tells the user about every
// document that was not converted. Up to `slots` documents are worked on at
// once; the user still sees every message in list order, "Done." last. A
// message box does not hold up the run: documents keep converting while it
// waits for its answer, and the next box opens once it has been answered.
// Needs QtCore only, so the window and the command line run the same
// conversion.
class ConversionRun {
public:
    explicit ConversionRun(ConversionServices services);

    // Runs a conversion to its end. Called again while one is in progress
    // (from an event handled during a wait), it does nothing.
    RunSummary run();
    bool isRunning() const { return running_; }

private:
    RunSummary convertAll();

    ConversionServices s_;
    bool running_ = false;
};

// The number of documents converted side by side when nothing else is said:
// $RASTERWELL_JOBS when it holds a whole number from 1 to 64, otherwise the
// number of cores (at most 64). A value out of range is for the caller to
// refuse first (RunVariables::problem).
int defaultSlotCount();
