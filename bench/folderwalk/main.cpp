// Times the add-folder command's walk (AddFolder::CollectDocuments) on a
// generated tree against `find ROOT -iname '*.pdf'` on the same tree, and
// records the longest stretch without event processing.
//
//   bench_folderwalk [--folders N] [--files N] [--runs N] [--gui] [--root DIR]
//
// --gui runs the walk under a QGuiApplication (the platform comes from
// QT_QPA_PLATFORM, e.g. xcb under Xvfb) instead of a QCoreApplication.

#include "doclist/addfolder.h"
#include "platform/eventpump.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Options {
    int folders = 5000;
    int files = 20000;
    int runs = 7;
    bool gui = false;
    QString root; // empty: a temporary folder
};

// Real event processing, timing the gaps between calls.
class GapPump final : public Platform::EventPump {
public:
    void start()
    {
        calls = 0;
        longestNs = 0;
        clock.start();
        last = 0;
    }
    void processEvents() override
    {
        note();
        ++calls;
        inner.processEvents();
        last = clock.nsecsElapsed();
    }
    void pause(int ms) override { inner.pause(ms); }
    void finish() { note(); }

    long long calls = 0;
    qint64 longestNs = 0;

private:
    void note() { longestNs = std::max(longestNs, clock.nsecsElapsed() - last); }
    Platform::QtEventPump inner;
    QElapsedTimer clock;
    qint64 last = 0;
};

bool writeEmpty(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

// A tree of `folders` folders (the root included), each with up to 8
// sub-folders, filled breadth-first; `files` files spread round-robin, every
// fourth a PDF (some with an upper-case extension). Returns the PDF count.
int generateTree(const QString &root, int folders, int files)
{
    std::vector<QString> all{root};
    for (size_t parent = 0; int(all.size()) < folders; ++parent) {
        for (int c = 0; c < 8 && int(all.size()) < folders; ++c) {
            const QString path = all[parent] + QStringLiteral("/dir%1").arg(c);
            if (!QDir().mkdir(path))
                return -1;
            all.push_back(path);
        }
    }
    static const char *const others[] = {".txt", ".jpg", ".docx"};
    int pdfs = 0;
    for (int i = 0; i < files; ++i) {
        const QString &folder = all[size_t(i) % all.size()];
        QString name;
        if (i % 4 == 0) {
            name = QStringLiteral("doc%1%2").arg(i).arg(i % 12 == 0 ? ".PDF" : ".pdf");
            ++pdfs;
        } else {
            name = QStringLiteral("file%1%2").arg(i).arg(QLatin1String(others[i % 3]));
        }
        if (!writeEmpty(folder + QLatin1Char('/') + name))
            return -1;
    }
    return pdfs;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs find with its output in a file; returns wall time in ms, or -1.
double timeFind(const QString &root, const QString &outFile, int *lines)
{
    QProcess find;
    find.setStandardOutputFile(outFile);
    QElapsedTimer t;
    t.start();
    find.start(QStringLiteral("find"), {root, QStringLiteral("-iname"), QStringLiteral("*.pdf")});
    if (!find.waitForFinished(-1) || find.exitCode() != 0)
        return -1;
    const double ms = t.nsecsElapsed() / 1e6;
    QFile out(outFile);
    if (out.open(QIODevice::ReadOnly))
        *lines = int(out.readAll().count('\n'));
    return ms;
}

Options parse(const QStringList &args)
{
    Options o;
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args[i];
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == QLatin1String("--folders")) { o.folders = next.toInt(); ++i; }
        else if (a == QLatin1String("--files")) { o.files = next.toInt(); ++i; }
        else if (a == QLatin1String("--runs")) { o.runs = std::max(1, next.toInt()); ++i; }
        else if (a == QLatin1String("--root")) { o.root = next; ++i; }
        else if (a == QLatin1String("--gui")) { o.gui = true; }
    }
    o.folders = std::max(1, o.folders);
    o.files = std::max(0, o.files);
    return o;
}

} // namespace

int main(int argc, char *argv[])
{
    bool gui = false;
    for (int i = 1; i < argc; ++i)
        gui = gui || QByteArray(argv[i]) == "--gui";
    std::unique_ptr<QCoreApplication> app;
    if (gui)
        app = std::make_unique<QGuiApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    const Options opt = parse(QCoreApplication::arguments());

    QTemporaryDir temp(opt.root.isEmpty() ? QDir::tempPath() + QStringLiteral("/rw-folderwalk-XXXXXX")
                                          : opt.root + QStringLiteral("/rw-folderwalk-XXXXXX"));
    if (!temp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    const QString root = temp.path() + QStringLiteral("/tree");
    QDir().mkdir(root);
    QElapsedTimer genTimer;
    genTimer.start();
    const int pdfs = generateTree(root, opt.folders, opt.files);
    if (pdfs < 0) {
        std::fprintf(stderr, "cannot generate the tree\n");
        return 1;
    }
    std::printf("tree: %d folders, %d files (%d PDFs) in %s, generated in %.0f ms\n", opt.folders,
                opt.files, pdfs, qPrintable(root), genTimer.nsecsElapsed() / 1e6);
    std::printf("event loop: %s\n", gui ? qPrintable(QStringLiteral("QGuiApplication (%1)")
                                                          .arg(QGuiApplication::platformName()))
                                        : "QCoreApplication");

    const QString findOut = temp.path() + QStringLiteral("/find.out");
    GapPump pump;
    std::vector<double> walkMs, findMs;
    qint64 longestGapNs = 0;
    long long calls = 0;
    int found = 0, findLines = 0;

    // One warm-up of each, then alternating timed runs.
    AddFolder::CollectDocuments(root, nullptr);
    timeFind(root, findOut, &findLines);
    for (int r = 0; r < opt.runs; ++r) {
        pump.start();
        QElapsedTimer t;
        t.start();
        const QStringList docs = AddFolder::CollectDocuments(root, &pump);
        walkMs.push_back(t.nsecsElapsed() / 1e6);
        pump.finish();
        longestGapNs = std::max(longestGapNs, pump.longestNs);
        calls = pump.calls;
        found = int(docs.size());

        const double f = timeFind(root, findOut, &findLines);
        if (f < 0) {
            std::fprintf(stderr, "find failed\n");
            return 1;
        }
        findMs.push_back(f);
    }

    const double walk = median(walkMs), find = median(findMs);
    std::printf("PDFs found: walk %d, find %d%s\n", found, findLines,
                found == pdfs && findLines == pdfs ? "" : "  (MISMATCH)");
    std::printf("runs: %d\n", opt.runs);
    std::printf("walk (CollectDocuments) median: %.1f ms\n", walk);
    std::printf("find -iname '*.pdf'     median: %.1f ms\n", find);
    std::printf("ratio walk/find: %.2f (goal <= 3)\n", walk / find);
    std::printf("event-processing calls per walk: %lld\n", calls);
    std::printf("longest gap between event-processing calls: %.2f ms (goal <= 100)\n",
                longestGapNs / 1e6);
    return found == pdfs && findLines == pdfs ? 0 : 1;
}
