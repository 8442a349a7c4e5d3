#pragma once

#include "convert/launcher/shell32.h"
#include "convert/pdfcontext.h"
#include "platform/process.h"
#include "tests/convert/convertfixture.h"
#include "tests/support/fakes.h"

namespace ConvertFixture {

// The probe or the rasteriser on a fake application folder, with the real
// process layer behind the launcher unless a scripted one is given.
template <auto Operation>
struct PdfHarness {
    explicit PdfHarness(const AppFolder &app, Platform::ProcessApi *fake = nullptr)
        : launcher(fake ? *fake : processes, pump, "rasterwell"),
          context{CompanionFiles(app.path()), launcher, pump, view}
    {
    }
    template <typename... More>
    auto operator()(const QString &document, More... more)
    {
        return Operation(context, document, more...);
    }

    Platform::PosixProcessApi processes;
    Fakes::CountingPump pump;
    RecordingView view;
    Shell32::Launcher launcher;
    PDF::Context context;
};

} // namespace ConvertFixture
