#pragma once

// Helpers shared by the companion program tests: where the built programs
// are, running them, building PDFs with special pages, reading JPEG headers.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QThread>
#include <unistd.h>

namespace CompanionTest {

inline QString appDir()
{
    return qEnvironmentVariable("RW_APP_DIR");
}
inline QString probe()
{
    return appDir() + "/pdftk.exe";
}
inline QString renderer()
{
    return appDir() + "/ps/rwrender";
}
inline QString script()
{
    return appDir() + "/ps/pdf2tiff.bat";
}

struct Result {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

inline Result run(const QString &program, const QStringList &args, const QString &workDir = {},
                  int timeoutMs = 120000,
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.setProcessEnvironment(env);
    p.start(program, args);
    Result r;
    if (!p.waitForStarted(10000))
        return r;
    r.finished = p.waitForFinished(timeoutMs) && p.exitStatus() == QProcess::NormalExit;
    if (!r.finished && p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// Waits (at most a minute) until `dir` holds `count` page images while `p`
// still runs.
inline bool waitForImages(const QString &dir, int count, QProcess &p)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60000 && p.state() == QProcess::Running) {
        if (QDir(dir).entryList({"current*.jpg"}, QDir::Files).size() >= count)
            return true;
        p.waitForFinished(5);
    }
    return false;
}

// What a process that was to be caught mid-run did instead.
inline QString howItEnded(QProcess &p)
{
    if (p.state() != QProcess::NotRunning)
        return QStringLiteral("no image appeared within a minute");
    return QStringLiteral("it ended with %1 %2 before its first images: %3")
        .arg(p.exitStatus() == QProcess::CrashExit ? "a crash," : "status")
        .arg(p.exitCode())
        .arg(QString::fromLocal8Bit(p.readAllStandardError()).trimmed());
}

// Waits for `count` images of a conversion that a test will interrupt. A
// conversion that finished well before that (a fast machine) skips the
// test; one that ended any other way, or hangs, fails it.
#define WAIT_FOR_IMAGES_OR_SKIP(dir, count, process, why)                                   \
    do {                                                                                    \
        if (!waitForImages((dir), (count), (process))) {                                    \
            if ((process).state() == QProcess::NotRunning                                   \
                && (process).exitStatus() == QProcess::NormalExit && (process).exitCode() == 0) \
                QSKIP(why);                                                                 \
            QFAIL(qPrintable(howItEnded(process)));                                         \
        }                                                                                   \
    } while (false)

inline bool haveTool(const char *name)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

// Documents that are no regular file or cannot be opened.
enum class NotReadable { Fifo, LinkToDevZero, Folder, NoPermission, Missing };

// Makes `path` such a document. NoPermission is a file of mode 0000 in a
// folder everyone may enter; it must be read through asUser().
inline bool makeNotReadable(NotReadable kind, const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    switch (kind) {
    case NotReadable::Fifo:
        return run("mkfifo", {path}).exitCode == 0;
    case NotReadable::LinkToDevZero:
        return QFile::link("/dev/zero", path);
    case NotReadable::Folder:
        return QDir().mkdir(path);
    case NotReadable::NoPermission: {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write("%PDF-1.4\n") < 0)
            return false;
        f.close();
        return f.setPermissions({})
               && QFile::setPermissions(QFileInfo(path).path(),
                                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                            | QFile::ReadOther | QFile::ExeOther);
    }
    case NotReadable::Missing:
        return !QFile::exists(path);
    }
    return false;
}

// `program` and `args` as run by an unprivileged user: as root (where file
// modes do not bite) through setpriv as nobody, otherwise unchanged.
inline QStringList asUser(const QString &program, const QStringList &args)
{
    QStringList command{program};
    if (::geteuid() == 0)
        command = QStringList{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                              "--"} + command;
    return command + args;
}

// Encrypts `in` into `out` with qpdf: bits 128 (RC4 unless args say
// otherwise) or 256 (AES-256).
inline bool qpdfEncrypt(const QString &in, const QString &out, const QString &user,
                        const QString &owner, const QString &bits,
                        const QStringList &extra = {})
{
    // RC4 is refused unless allowed explicitly.
    QStringList args{"--allow-weak-crypto", "--encrypt", user, owner, bits};
    args << extra << "--" << in << out;
    return run("qpdf", args).exitCode == 0 && QFile::exists(out);
}

// Small PDF writer for pages the shared fixtures cannot express (boxes,
// rotation, page-specific resources). Objects 1 and 2 are the catalog and
// the page tree.
class PdfBuilder {
public:
    int add(const QByteArray &body)
    {
        objects_.append(body);
        return int(objects_.size()) + 2;
    }
    int addStream(const QByteArray &dict, const QByteArray &data)
    {
        return add("<< " + dict + " /Length " + QByteArray::number(data.size()) + " >>\nstream\n"
                   + data + "\nendstream");
    }
    // `box` is the MediaBox text, e.g. "[0 0 612 792]"; `extra` more page
    // entries ("/Rotate 90", "/CropBox [...]").
    int addPage(const QByteArray &box, const QByteArray &content = "0 0 1 rg 10 10 20 20 re f",
                const QByteArray &resources = "<< >>", const QByteArray &extra = {})
    {
        const int contents = addStream({}, content);
        const int page = add("<< /Type /Page /Parent 2 0 R /MediaBox " + box + " /Resources "
                             + resources + " /Contents " + QByteArray::number(contents) + " 0 R "
                             + extra + " >>");
        pages_.append(page);
        return page;
    }
    // A page whose /Contents entry is `contents` as written ("7 0 R",
    // "[7 0 R 8 0 R]"), or none at all when it is empty.
    int addPageWithContents(const QByteArray &box, const QByteArray &contents,
                            const QByteArray &resources = "<< >>")
    {
        const QByteArray entry = contents.isEmpty() ? QByteArray() : " /Contents " + contents;
        const int page = add("<< /Type /Page /Parent 2 0 R /MediaBox " + box + " /Resources "
                             + resources + entry + " >>");
        pages_.append(page);
        return page;
    }
    // The number the next object will get.
    int nextNumber() const { return int(objects_.size()) + 3; }

    QByteArray build() const
    {
        QByteArray kids;
        for (int p : pages_)
            kids += QByteArray::number(p) + " 0 R ";
        QList<QByteArray> all{"<< /Type /Catalog /Pages 2 0 R >>",
                              "<< /Type /Pages /Kids [" + kids + "] /Count "
                                  + QByteArray::number(pages_.size()) + " >>"};
        all += objects_;
        QByteArray out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
        QList<qsizetype> offsets;
        for (qsizetype i = 0; i < all.size(); ++i) {
            offsets.append(out.size());
            out += QByteArray::number(i + 1) + " 0 obj\n" + all[i] + "\nendobj\n";
        }
        const qsizetype xref = out.size();
        out += "xref\n0 " + QByteArray::number(all.size() + 1) + "\n0000000000 65535 f \n";
        for (qsizetype off : offsets)
            out += QByteArray::number(off).rightJustified(10, '0') + " 00000 n \n";
        out += "trailer\n<< /Size " + QByteArray::number(all.size() + 1)
               + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
        return out;
    }

    // A page whose interpretation never ends in practice: a chain of form
    // XObjects, each drawing the next ten times (10^12 leaf forms).
    int addEndlessPage()
    {
        int form = addStream("/Type /XObject /Subtype /Form /BBox [0 0 10 10]", {});
        QByteArray tenTimes;
        for (int i = 0; i < 10; ++i)
            tenTimes += "/X Do ";
        for (int level = 0; level < 12; ++level)
            form = addStream("/Type /XObject /Subtype /Form /BBox [0 0 10 10] /Resources "
                             "<< /XObject << /X "
                                 + QByteArray::number(form) + " 0 R >> >>",
                             tenTimes);
        return addPage("[0 0 612 792]", "/X Do",
                       "<< /XObject << /X " + QByteArray::number(form) + " 0 R >> >>");
    }

private:
    QList<QByteArray> objects_;
    QList<int> pages_;
};

// What a JPEG file's markers say.
struct JpegInfo {
    bool valid = false;    // starts with SOI, ends with EOI, has a frame header
    int width = 0;
    int height = 0;
    int components = 0;
    int dpi = 0;           // JFIF density when given in dots per inch
    int dcQuantizer = 0;   // first quantization table's DC entry (shows the quality)
};

inline JpegInfo inspectJpeg(const QByteArray &d)
{
    JpegInfo info;
    const auto byte = [&](qsizetype i) { return int(uchar(d[i])); };
    if (d.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8 || byte(d.size() - 2) != 0xFF
        || byte(d.size() - 1) != 0xD9)
        return info;
    qsizetype i = 2;
    while (i + 4 <= d.size() && byte(i) == 0xFF) {
        const int marker = byte(i + 1);
        const int length = (byte(i + 2) << 8) | byte(i + 3);
        if (marker == 0xDB && info.dcQuantizer == 0 && i + 5 < d.size())
            info.dcQuantizer = (byte(i + 4) >> 4) ? (byte(i + 5) << 8) | byte(i + 6) : byte(i + 5);
        if (marker == 0xE0 && i + 18 <= d.size() && d.mid(i + 4, 5) == QByteArray("JFIF\0", 5)
            && byte(i + 11) == 1)
            info.dpi = (byte(i + 12) << 8) | byte(i + 13);
        if ((marker >= 0xC0 && marker <= 0xC3) && i + 10 <= d.size()) {
            info.height = (byte(i + 5) << 8) | byte(i + 6);
            info.width = (byte(i + 7) << 8) | byte(i + 8);
            info.components = byte(i + 9);
            info.valid = true;
            return info;
        }
        i += 2 + length;
    }
    return info;
}

inline JpegInfo inspectJpegFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? inspectJpeg(f.readAll()) : JpegInfo{};
}

// Every entry of `dir` except "." and "..", hidden files included, sorted.
// A page image without the record of what it was made from (the comment
// segment that names the document's identity and digest): what is left is
// the page itself, comparable between two documents.
inline QByteArray pageWithoutRecord(const QByteArray &jpeg)
{
    static const QByteArray tag("rasterwell-image/");
    if (!jpeg.startsWith("\xFF\xD8"))
        return jpeg;
    qsizetype at = 2;
    while (at + 4 <= jpeg.size() && uchar(jpeg[at]) == 0xFF && uchar(jpeg[at + 1]) != 0xDA) {
        const qsizetype length = (uchar(jpeg[at + 2]) << 8) | uchar(jpeg[at + 3]);
        if (length < 2)
            break;
        if (uchar(jpeg[at + 1]) == 0xFE && jpeg.mid(at + 4, tag.size()) == tag)
            return jpeg.left(at) + jpeg.mid(at + 2 + length);
        at += 2 + length;
    }
    return jpeg;
}

inline QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                               QDir::Name);
}

// pdftoppm's page size at `dpi` for `pdf` (crop box), or {-1,-1}.
inline QSize pdftoppmSize(const QString &pdf, const QString &workDir, int dpi = 150)
{
    const QString prefix = workDir + "/pdftoppm-ref";
    const Result r = run("pdftoppm", {"-jpeg", "-r", QString::number(dpi), "-cropbox", "-f", "1",
                                      "-l", "1", "-singlefile", pdf, prefix});
    const JpegInfo info = inspectJpegFile(prefix + ".jpg");
    QFile::remove(prefix + ".jpg");
    return r.exitCode == 0 && info.valid ? QSize(info.width, info.height) : QSize(-1, -1);
}

} // namespace CompanionTest
