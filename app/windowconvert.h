#pragma once

#include "app/windowrunview.h"
#include "convert/conversionrun.h"
#include "platform/eventpump.h"
#include "platform/gui/messagebox.h"
#include "platform/process.h"

#include <memory>

class Form1;

// "Convert!" in the main window: the conversion run over the window's list,
// bar, pointer and message boxes.
class ConvertCommand {
public:
    explicit ConvertCommand(Form1 &form);

    // Runs a conversion; a press during a run does nothing. A RASTERWELL_*
    // variable out of range stops it before it begins, with a message.
    RunSummary run();
    bool isRunning() const { return run_.isRunning(); }

private:
    ConversionServices services(Form1 &form);

    WindowRunView view_;
    ListDocuments documents_;
    // Stand-ins for services the window was given without.
    std::unique_ptr<Platform::EventPump> ownPump_;
    std::unique_ptr<Platform::ProcessApi> ownProcesses_;
    std::unique_ptr<Platform::MessageSink> ownMessages_;
    Platform::MessageSink *messages_ = nullptr;
    ConversionRun run_;
};
