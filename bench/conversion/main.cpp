// End-to-end benchmark of the conversion run, without a display: the run
// (probe, staging, converter script, collection of the pages) over
// - the 117-page corpus document, and
// - 50 generated one-page documents,
// against the converter script alone on the same files (staged by hand,
// started directly, waited for without polling). Prints a Markdown table
// with medians of RUNS runs.
//
//   bench_conversion [--app DIR] [--corpus FILE] [--docs N] [--runs N]
//
// --app     the application folder with pdftk.exe and ps/ (default: the build folder)
// --corpus  the many-page document (default: the shared corpus's GeoTopo file)
//
// The documents are copied into a temporary folder, so the page images are
// written there and the corpus stays untouched.

#include "convert/conversionrun.h"
#include "convert/runview.h"
#include "platform/eventpump.h"
#include "platform/messages.h"
#include "platform/pointer.h"
#include "platform/process.h"
#include "tests/support/pdffixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Options {
    QString app = QStringLiteral(RW_BENCH_APP_DIR);
    QString corpus = QStringLiteral(RW_BENCH_SOURCE_DIR
                                    "/../shared/corpus/py-pdf-sample-files/009-pdflatex-geotopo/"
                                    "GeoTopo-komprimiert.pdf");
    int docs = 50;
    int runs = 3;
};

class CountingSink final : public Platform::MessageSink {
public:
    void showMessage(const QString &text, const QString &, Platform::MessageIcon) override
    {
        if (text != QLatin1String("Done."))
            std::fprintf(stderr, "  message: %s\n", qPrintable(text));
        ++count;
    }
    int count = 0;
};

class QuietView final : public RunView {
public:
    void setProgress(double) override {}
    void setApplicationPointer(int) override {}
};

class PointerCode final : public Platform::PointerSetting {
public:
    int pointer() const override { return code; }
    void setPointer(int c) override { code = c; }
    int code = 0;
};

class ListOf final : public DocumentSource {
public:
    explicit ListOf(QStringList items) : items_(std::move(items)) {}
    int count() const override { return int(items_.size()); }
    std::optional<QString> textAt(int position) const override
    {
        if (position < 1 || position > items_.size())
            return std::nullopt;
        return items_[position - 1];
    }

private:
    QStringList items_;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void removeImages(const QString &folder)
{
    QDir dir(folder);
    for (const QString &name : dir.entryList({QStringLiteral("*.jpg")}, QDir::Files))
        dir.remove(name);
}

// The converter script alone on one document: staged by hand (not timed),
// started directly, waited for without polling. Returns milliseconds.
double scriptAlone(const QString &app, const QString &document, int *pages)
{
    const QString ps = app + QStringLiteral("/ps");
    QFile::remove(ps + QStringLiteral("/current.pdf"));
    QFile::copy(document, ps + QStringLiteral("/current.pdf"));
    QElapsedTimer timer;
    timer.start();
    QProcess script;
    script.setWorkingDirectory(ps);
    script.setStandardOutputFile(QProcess::nullDevice());
    script.start(ps + QStringLiteral("/pdf2tiff.bat"), {});
    script.waitForFinished(-1);
    const double ms = timer.nsecsElapsed() / 1e6;
    QDir dir(ps);
    const QStringList images = dir.entryList({QStringLiteral("current*.jpg")}, QDir::Files);
    if (pages)
        *pages = int(images.size());
    for (const QString &name : images)
        dir.remove(name);
    return ms;
}

// The whole run over `documents`. Returns milliseconds.
double wholeRun(const QString &app, const QStringList &documents, RunSummary *summary)
{
    ListOf list(documents);
    QuietView view;
    PointerCode pointer;
    CountingSink messages;
    Platform::QtEventPump pump;
    Platform::PosixProcessApi processes;
    ConversionRun run(ConversionServices{.appFolder = app,
                                         .documents = list,
                                         .view = view,
                                         .windowPointer = pointer,
                                         .messages = messages,
                                         .pump = pump,
                                         .processes = processes});
    QElapsedTimer timer;
    timer.start();
    *summary = run.run();
    return timer.nsecsElapsed() / 1e6;
}

bool link(const QString &from, const QString &to)
{
    return QFile::exists(from) && QFile::link(from, to);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    Options o;
    const QStringList args = application.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--app"))
            o.app = args[i + 1];
        else if (args[i] == QLatin1String("--corpus"))
            o.corpus = args[i + 1];
        else if (args[i] == QLatin1String("--docs"))
            o.docs = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--runs"))
            o.runs = std::max(1, args[i + 1].toInt());
    }

    // A private application folder with the real companions linked in.
    QTemporaryDir dir;
    const QString app = dir.filePath(QStringLiteral("app"));
    const QString docs = dir.filePath(QStringLiteral("docs"));
    QDir().mkpath(app + QStringLiteral("/ps"));
    QDir().mkpath(docs + QStringLiteral("/many"));
    QDir().mkpath(docs + QStringLiteral("/single"));
    if (!link(o.app + QStringLiteral("/pdftk.exe"), app + QStringLiteral("/pdftk.exe"))
        || !link(o.app + QStringLiteral("/ps/rwrender"), app + QStringLiteral("/ps/rwrender"))
        || !QFile::copy(o.app + QStringLiteral("/ps/pdf2tiff.bat"),
                        app + QStringLiteral("/ps/pdf2tiff.bat"))) {
        std::fprintf(stderr, "bench_conversion: companions not found in %s\n", qPrintable(o.app));
        return 2;
    }

    const QString many = docs + QStringLiteral("/many/GeoTopo-komprimiert.pdf");
    if (!QFile::copy(o.corpus, many)) {
        std::fprintf(stderr, "bench_conversion: cannot read %s\n", qPrintable(o.corpus));
        return 2;
    }
    QStringList singles;
    for (int i = 1; i <= o.docs; ++i) {
        const QString path = docs + QStringLiteral("/single/doc%1.pdf").arg(i, 3, 10, QLatin1Char('0'));
        PdfFixtures::writePdf(path, 1);
        singles << path;
    }

    std::vector<double> manyScript, manyRun, singleScript, singleRun;
    int manyPages = 0;
    RunSummary summary;
    for (int r = 0; r < o.runs; ++r) {
        std::fprintf(stderr, "run %d of %d\n", r + 1, o.runs);
        manyScript.push_back(scriptAlone(app, many, &manyPages));
        manyRun.push_back(wholeRun(app, {many}, &summary));
        if (summary.converted != 1)
            std::fprintf(stderr, "bench_conversion: the many-page document was not converted\n");
        removeImages(docs + QStringLiteral("/many"));

        double sum = 0;
        for (const QString &doc : singles)
            sum += scriptAlone(app, doc, nullptr);
        singleScript.push_back(sum);
        singleRun.push_back(wholeRun(app, singles, &summary));
        if (summary.converted != o.docs)
            std::fprintf(stderr, "bench_conversion: only %d of %d documents converted\n",
                         summary.converted, o.docs);
        removeImages(docs + QStringLiteral("/single"));
    }

    const double ms = median(manyScript), mr = median(manyRun);
    const double ss = median(singleScript), sr = median(singleRun);
    std::printf("Medians of %d runs.\n\n", o.runs);
    std::printf("| workload | script alone | whole run | run / script | time per page | "
                "overhead per document |\n|---|---|---|---|---|---|\n");
    std::printf("| %d-page document | %.0f ms | %.0f ms | %.3f | %.1f ms | %.0f ms |\n", manyPages,
                ms, mr, mr / ms, mr / std::max(1, manyPages), mr - ms);
    std::printf("| %d one-page documents | %.0f ms | %.0f ms | %.3f | %.1f ms | %.0f ms |\n",
                o.docs, ss, sr, sr / ss, sr / std::max(1, o.docs), (sr - ss) / std::max(1, o.docs));
    return 0;
}
