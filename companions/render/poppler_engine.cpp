#include "render/poppler_engine.h"

#include "common/subprocess.h"
#include "render/imagerecord.h"
#include "render/pagesize.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace rw {

namespace {

std::chrono::milliseconds limitOf(double seconds)
{
    return std::chrono::milliseconds(seconds > 0 ? static_cast<long long>(seconds * 1000) : 0);
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// A message line without its "(offset)": the same complaint is made at the
// same place by every run.
std::string withoutOffset(std::string line)
{
    const std::size_t open = line.find(" (");
    const std::size_t close = line.find("): ");
    if (open != std::string::npos && close != std::string::npos && open < close
        && line.find_first_not_of("0123456789", open + 2) == close)
        line.erase(open, close + 1 - open);
    return line;
}

std::vector<std::string> syntaxErrors(const std::string &messages)
{
    std::vector<std::string> found;
    std::istringstream lines(messages);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind("Syntax Error", 0) == 0)
            found.push_back(withoutOffset(line));
    return found;
}

} // namespace

std::string popplerPageError(const std::string &messages,
                             const std::vector<std::string> &documentErrors)
{
    for (const std::string &line : syntaxErrors(messages))
        if (std::find(documentErrors.begin(), documentErrors.end(), line)
            == documentErrors.end())
            return line;
    return {};
}

PopplerDocument inspectWithPoppler(const std::string &path)
{
    PopplerDocument info;
    // -l beyond the last page is clamped: one run lists every page's size.
    const ProcessResult run = runProcess(
        {"pdfinfo", "-f", "1", "-l", "2000000000", pathArgument(path)}, std::chrono::seconds(60),
        true, true);
    if (!run.started) {
        info.error = "pdfinfo (poppler-utils) is not installed";
        return info;
    }
    if (run.timedOut) {
        info.error = "pdfinfo did not finish";
        return info;
    }
    if (run.exitCode != 0) {
        info.error = "poppler cannot open it either";
        return info;
    }
    info.documentErrors = syntaxErrors(run.errors);
    std::istringstream lines(run.output);
    std::string line;
    std::vector<int> rotations;
    while (std::getline(lines, line)) {
        int page = 0;
        double w = 0, h = 0;
        int rotation = 0;
        if (std::sscanf(line.c_str(), "Pages: %d", &info.pageCount) == 1) {
            info.sizes.assign(std::size_t(std::max(0, info.pageCount)), {0.0, 0.0});
            rotations.assign(info.sizes.size(), 0);
        } else if (std::sscanf(line.c_str(), "Page %d size: %lf x %lf", &page, &w, &h) == 3) {
            if (page >= 1 && page <= int(info.sizes.size()))
                info.sizes[std::size_t(page - 1)] = {w, h};
        } else if (std::sscanf(line.c_str(), "Page %d rot: %d", &page, &rotation) == 2) {
            if (page >= 1 && page <= int(rotations.size()))
                rotations[std::size_t(page - 1)] = rotation;
        }
    }
    for (std::size_t i = 0; i < info.sizes.size(); ++i)
        if (((rotations[i] % 180) + 180) % 180 == 90)
            std::swap(info.sizes[i].first, info.sizes[i].second);
    // A page whose size poppler cannot tell (0 x 0: it lost the page
    // object) would come out as a 1 x 1 pixel image; such a document has
    // no page poppler can render.
    const bool anyPage = std::any_of(info.sizes.begin(), info.sizes.end(),
                                     [](const auto &s) { return s.first > 0 && s.second > 0; });
    if (info.pageCount <= 0 || !anyPage) {
        info.pageCount = 0;
        info.error = "poppler finds no page either";
    }
    return info;
}

EngineOutcome renderWithPoppler(const std::string &path, const PopplerDocument &info,
                                PageSink &sink, const RenderSettings &settings)
{
    std::atomic<int> next{0};
    std::atomic<int> written{0};
    std::atomic<int> failed{0};
    std::atomic<bool> timedOut{false};
    std::atomic<int> overTime{0}; // pages abandoned at the time limit
    const std::string input = pathArgument(path);

    auto work = [&](int slot) {
        TokenHolder tokens(settings.tokens, slot);
        for (;;) {
            // As with MuPDF: after three pages over the time limit no
            // further page is started.
            if (overTime.load() >= kMaxPagesOverTime)
                return;
            const int index = next.fetch_add(1);
            if (index >= sink.pageCount())
                return;
            if (!sink.wanted(index))
                continue;
            const TokenLease token(tokens);
            const auto [wPt, hPt] = info.sizes[std::size_t(index)];
            if (!(wPt > 0 && hPt > 0)) {
                failed.fetch_add(1);
                std::fprintf(stderr, "rwrender: page %d: cannot find the page\n", index + 1);
                sink.pageFailed(index);
                continue;
            }
            const double longSide = std::max(recoverDecimal(wPt), recoverDecimal(hPt));
            const PixelSize size = pagePixels(
                wPt, hPt, settings.scaleTo > 0 ? settings.scaleTo * 72.0 / longSide : settings.dpi);
            const double dpi = size.dpi;
            if (size.reduced)
                std::fprintf(stderr,
                             "rwrender: page %d: note: over the limit of %g megapixels; "
                             "rendered at %.1f dpi\n",
                             index + 1, kMaxPagePixels / 1e6, dpi);
            // pdftoppm -singlefile appends ".jpg" (".png") to the name it is given.
            std::string out = sink.tempPath(index);
            out.resize(out.size() - 4);
            const std::string pageNumber = std::to_string(index + 1);
            std::vector<std::string> command = {"pdftoppm"};
            if (settings.png)
                command.push_back("-png");
            else
                command.insert(command.end(), {"-jpeg", "-jpegopt", "quality=" + std::to_string(settings.quality)});
            if (settings.gray)
                command.push_back("-gray");
            if (settings.scaleTo > 0 && !size.reduced)
                command.insert(command.end(), {"-scale-to", std::to_string(settings.scaleTo)});
            else
                command.insert(command.end(), {"-r", number(dpi)});
            command.insert(command.end(), {"-cropbox", "-f", pageNumber, "-l", pageNumber, "-singlefile",
                                           input, pathArgument(out)});
            const ProcessResult run = runProcess(command, limitOf(settings.pageSeconds), false, true);
            if (settings.verbose && !run.errors.empty())
                std::fprintf(stderr, "pdftoppm: page %d:\n%s", index + 1, run.errors.c_str());
            struct stat st {};
            const bool ok = run.succeeded() && ::stat(sink.tempPath(index).c_str(), &st) == 0
                            && st.st_size > 0;
            const std::string lost = popplerPageError(run.errors, info.documentErrors);
            if (ok && !lost.empty()) {
                // poppler draws around what it cannot read: not this page.
                ::unlink(sink.tempPath(index).c_str());
                failed.fetch_add(1);
                std::fprintf(stderr, "rwrender: page %d: its content is lost: poppler: %s\n",
                             index + 1, lost.c_str());
                sink.pageFailed(index);
                continue;
            }
            std::string recordError;
            if (ok
                && !addRecordToFile(sink.tempPath(index),
                                    imageRecord(settings, index + 1, sink.pageCount()), recordError)) {
                ::unlink(sink.tempPath(index).c_str());
                failed.fetch_add(1);
                std::fprintf(stderr, "rwrender: page %d: cannot write the image: %s\n", index + 1,
                             recordError.c_str());
                sink.pageFailed(index);
                continue;
            }
            if (ok) {
                // The sink renames the image, or says why it cannot.
                (sink.pageWritten(index) ? written : failed).fetch_add(1);
                continue;
            }
            failed.fetch_add(1);
            if (run.timedOut) {
                timedOut.store(true);
                overTime.fetch_add(1);
                std::fprintf(stderr, "rwrender: page %d: abandoned, over the time limit: %g s\n",
                             index + 1, settings.pageSeconds);
            } else if (!run.started) {
                std::fprintf(stderr, "rwrender: page %d: pdftoppm (poppler-utils) is not installed\n",
                             index + 1);
            } else {
                std::fprintf(stderr, "rwrender: page %d: pdftoppm failed (status %d)\n", index + 1,
                             run.signal ? 128 + run.signal : run.exitCode);
            }
            sink.pageFailed(index);
        }
    };

    const int threads = std::max(1, std::min(settings.threads, sink.pageCount()));
    {
        std::vector<std::jthread> running;
        for (int i = 1; i < threads; ++i)
            running.emplace_back(work, i);
        work(0);
    }
    const int firstSkipped = std::min(next.load(), sink.pageCount());
    if (firstSkipped < sink.pageCount()) {
        std::fprintf(stderr,
                     "rwrender: giving up the document after %d pages over the time limit; "
                     "%d page(s) not attempted\n",
                     overTime.load(), sink.pageCount() - firstSkipped);
        for (int index = firstSkipped; index < sink.pageCount(); ++index)
            sink.pageFailed(index);
    }
    return EngineOutcome{written.load(), failed.load(), timedOut.load()};
}

} // namespace rw
