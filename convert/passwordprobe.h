#pragma once

#include "convert/pdfcontext.h"

#include <QString>

namespace PDF {

struct ProbeResult {
    enum class Verdict {
        Readable,  // opens without a password, or there is nothing to probe
        Protected, // the toolkit could not read it without a password
        Unusable,  // no verdict: the toolkit cannot be run here (see problem)
    };
    Verdict verdict = Verdict::Readable;
    QString problem; // for Unusable: a message for the user naming the file
    bool isProtected() const { return verdict == Verdict::Protected; }
};

// Runs the toolkit on the document and judges it by whether the toolkit
// wrote its result file. A path that does not name an existing file is not
// probed (the rasteriser then reports it as failed).
ProbeResult IsPasswordProtected(Context &context, const QString &documentPath);

// The toolkit's command line:
//   "<app>/pdftk.exe" "<document>" data_dump output "<app>/2348239bbb.txt" dont_ask
// The document and the result file are quoted so that they come back as
// exactly one argument each, whatever they contain; a relative document path
// that starts with "-" gains "./" so that it cannot be read as an option.
QString toolkitCommandLine(const CompanionFiles &files, const QString &documentPath);

} // namespace PDF
