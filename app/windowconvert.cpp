#include "app/windowconvert.h"

#include "app/form1.h"
#include "convert/runvariables.h"

ConvertCommand::ConvertCommand(Form1 &form)
    : view_(form.progressBar1()), documents_(form.listView1()), run_(services(form))
{
}

ConversionServices ConvertCommand::services(Form1 &form)
{
    const AppServices &app = form.services();
    Platform::EventPump *pump = app.pump;
    if (!pump) {
        ownPump_ = std::make_unique<Platform::QtEventPump>();
        pump = ownPump_.get();
    }
    Platform::ProcessApi *processes = app.processes;
    if (!processes) {
        ownProcesses_ = std::make_unique<Platform::PosixProcessApi>();
        processes = ownProcesses_.get();
    }
    Platform::MessageSink *messages = app.messages;
    if (!messages) {
        ownMessages_ = std::make_unique<Platform::QMessageBoxSink>(&form);
        messages = ownMessages_.get();
    }
    messages_ = messages;
    return ConversionServices{.appFolder = app.appFolder,
                              .documents = documents_,
                              .view = view_,
                              .windowPointer = form,
                              .messages = *messages,
                              .pump = *pump,
                              .processes = *processes,
                              .workFolder = chooseWorkFolder(app.appFolder),
                              .slotCount = defaultSlotCount(),
                              .clock = app.clock};
}

RunSummary ConvertCommand::run()
{
    if (!run_.isRunning())
        if (const std::optional<QString> problem = RunVariables::problem()) {
            RunSummary summary;
            summary.outcome = RunSummary::Outcome::SetupProblem;
            summary.setupProblem = QStringLiteral("Cannot convert: ") + *problem + QLatin1Char('.');
            messages_->showProblem(summary.setupProblem, QStringLiteral("Rasterwell"));
            return summary;
        }
    return run_.run();
}
