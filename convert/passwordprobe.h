#pragma once

#include "convert/pdfcontext.h"

#include <QElapsedTimer>
#include <QString>

namespace PDF {

struct ProbeResult {
    enum class Verdict {
        Readable,  // opens without a password, or there is nothing to probe
        Protected, // the toolkit's own verdict: it needs a user password
        Failed,    // no verdict for this document (see reason): it is not converted
        Unusable,  // no verdict: the toolkit cannot be run here (see problem)
    };
    Verdict verdict = Verdict::Readable;
    QString problem;      // for Unusable: a message for the user naming the file
    QString reason;       // for Failed: one line on what went wrong
    QStringList messages; // for Failed: what the toolkit said on its error stream
    int pageCount = 0;    // for Readable: the document's pages as the toolkit counted them; 0 not known
    bool isProtected() const { return verdict == Verdict::Protected; }
};

// One probe of one document, started and then watched without blocking, so
// several slots can work side by side.
class ProbeJob {
public:
    ProbeJob(Context &context, QString documentPath);

    // Starts the toolkit. False when the verdict is known without it.
    bool start();
    // True once the verdict is known; ends a toolkit past its time limit.
    bool poll();
    const ProbeResult &result() const { return result_; }
    // Ends a running toolkit (the run is stopping).
    void abandon();

private:
    void finish(int exitCode, bool timedOut);

    Context &context_;
    QString document_;
    qint64 pid_ = -1;
    QElapsedTimer clock_;
    bool done_ = false;
    bool retried_ = false; // run again once after a service that went
    ProbeResult result_;
};

// Runs the toolkit on the document and judges it: a result file means
// readable; no result file and the toolkit's "needs a password" status (1)
// means protected (the context's passwords, which reach the toolkit
// through an inherited pipe, are tried before that verdict); anything else
// (it crashed, was killed, ran past its time limit, could not write its
// result) is a failure with its reason, never "protected". A path that
// does not name an existing file is not probed (the rasteriser then reports
// it as failed); a path that names something other than a regular file is
// never handed to the toolkit.
ProbeResult IsPasswordProtected(Context &context, const QString &documentPath);

// The toolkit's command line:
//   "<app>/pdftk.exe" "<document>" data_dump output "<result file>" dont_ask
// The document and the result file are quoted so that they come back as
// exactly one argument each, whatever they contain; a relative document path
// that starts with "-" gains "./" so that it cannot be read as an option.
QString toolkitCommandLine(const CompanionFiles &files, const QString &documentPath,
                           const QString &resultFile);
inline QString toolkitCommandLine(const CompanionFiles &files, const QString &documentPath)
{
    return toolkitCommandLine(files, documentPath, files.resultFile);
}

// The "NumberOfPages: N" of a toolkit's result file; 0 when it is missing
// or not a number.
int pageCountOf(const QByteArray &result);

// Removes the partly written result files a killed probe leaves beside
// `resultFile` (".2348239bbb.txt.XXXXXX").
void removeResultTemporaries(const QString &resultFile);

// "exit status 3", "killed by signal 9" for a companion's exit code.
QString describeExit(int exitCode);

} // namespace PDF
