// The converter script ps/pdf2tiff.bat and the renderer behind it: names,
// order, sizes and content of the page images, failures, interruptions.

#include "tests/companions/companiontest.h"
#include "tests/companions/servicetest.h"
#include "tests/support/pdffixtures.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

using namespace CompanionTest;

class TestConverter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void convertsEveryPageInOrder();
    void namesHaveEnoughDigits_data();
    void namesHaveEnoughDigits();
    void pageSizeMatchesPdftoppm_data();
    void pageSizeMatchesPdftoppm();
    void failingInput_data();
    void failingInput();
    void rendererOutcome_data();
    void rendererOutcome();
    void damageKinds_data();
    void damageKinds();
    void environmentOverrides_data();
    void environmentOverrides();
    void sharedTokens_data();
    void sharedTokens();
    void jpegImages_data();
    void jpegImages();
    void oversizedPageIsScaledDown();
    void lostPageTree_data();
    void lostPageTree();
    void pageTreeIsWalked_data();
    void pageTreeIsWalked();
    void damagedPageTreeUnderValgrind_data();
    void damagedPageTreeUnderValgrind();
    void slowPagesGiveUpTheDocument();
    void interruptedScriptLeavesNothing();
    void killedRendererLeavesOnlyCompletePages();
    void removeInput_data();
    void removeInput();
    void imageSettings_data();
    void imageSettings();
    void rendererBadCommandLine_data();
    void rendererBadCommandLine();

private:
    // A fresh staging folder per test function.
    QString stage() const { return tmp_->path(); }
    Result convert(const QString &script = CompanionTest::script())
    {
        return run(script, {}, stage());
    }
    Result convertWith(const QProcessEnvironment &env)
    {
        return run(script(), {}, stage(), 120000, env);
    }
    QStringList pageNames(int count, int digits = 3) const
    {
        QStringList names;
        for (int i = 1; i <= count; ++i)
            names << QString("current-%1.jpg").arg(i, digits, 10, QChar('0'));
        return names;
    }

    std::unique_ptr<QTemporaryDir> tmp_;
    // With RW_TEST_RENDER_SERVICE set, every case runs through a render
    // service, as in a conversion run.
    std::unique_ptr<ServiceProcess> service_;
};

void TestConverter::initTestCase()
{
    QVERIFY2(QFileInfo(script()).isExecutable(), qPrintable(script()));
    QVERIFY2(QFileInfo(renderer()).isExecutable(), qPrintable(renderer()));
    if (qEnvironmentVariableIsSet("RW_TEST_RENDER_SERVICE")) {
        service_ = std::make_unique<ServiceProcess>();
        QVERIFY2(service_->start(), "the render service did not start");
        qputenv("RASTERWELL_RENDER_SERVICE", QFile::encodeName(service_->socket()));
    }
}

void TestConverter::cleanupTestCase()
{
    if (service_) {
        // It served every case and was left with no worker in a job.
        QVERIFY(service_->running());
        QVERIFY(service_->workerActivity() > 0);
        QVERIFY(service_->waitUntilIdle());
    }
}

void TestConverter::init()
{
    tmp_ = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp_->isValid());
}

static int pixels(double points, int dpi = 150)
{
    return int(std::ceil(points * dpi / 72.0));
}

void TestConverter::convertsEveryPageInOrder()
{
    // Twelve pages of different widths: the image sizes show the order.
    PdfBuilder pdf;
    for (int i = 0; i < 12; ++i)
        pdf.addPage("[0 0 " + QByteArray::number(100 + 15 * i) + " 200]");
    QVERIFY(PdfFixtures::writeBytes(stage() + "/current.pdf", pdf.build()));

    const Result r = convert();
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(entries(stage()), pageNames(12)); // current.pdf gone, nothing else
    for (int i = 0; i < 12; ++i) {
        const QString path = stage() + "/" + pageNames(12)[i];
        const JpegInfo info = inspectJpegFile(path);
        QVERIFY2(info.valid, qPrintable(path));
        QCOMPARE(info.components, 3);
        QCOMPARE(info.dpi, 150);
        QCOMPARE(QSize(info.width, info.height), QSize(pixels(100 + 15 * i), pixels(200)));

        // The blue square at (10..30, 10..30) points is drawn; the rest of
        // the page, which nothing covers, is white.
        const QImage image(path);
        QVERIFY(!image.isNull());
        const QColor square = image.pixelColor(pixels(20), image.height() - pixels(20));
        QVERIFY2(square.blue() > 200 && square.red() < 60, qPrintable(square.name()));
        const QColor corner = image.pixelColor(image.width() - 2, 2);
        QVERIFY2(corner.red() > 245 && corner.green() > 245 && corner.blue() > 245,
                 qPrintable(corner.name()));
    }
}

void TestConverter::namesHaveEnoughDigits_data()
{
    QTest::addColumn<int>("pages");
    QTest::addColumn<int>("digits");
    QTest::newRow("1 page") << 1 << 3;
    QTest::newRow("999 pages") << 999 << 3;
    QTest::newRow("1000 pages") << 1000 << 4;
}

void TestConverter::namesHaveEnoughDigits()
{
    QFETCH(int, pages);
    QFETCH(int, digits);
    QVERIFY(PdfFixtures::writePdf(stage() + "/in.pdf", pages, {10, 10}));
    const Result r = run(renderer(), {"-r", "10", stage() + "/in.pdf", stage() + "/current"});
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 0);
    QStringList expected = pageNames(pages, digits);
    expected << "in.pdf";
    QCOMPARE(entries(stage()), expected);
}

void TestConverter::pageSizeMatchesPdftoppm_data()
{
    QTest::addColumn<QByteArray>("mediaBox");
    QTest::addColumn<QByteArray>("extra");
    QTest::newRow("A4") << QByteArray("[0 0 595.276 841.89]") << QByteArray();
    QTest::newRow("offset media box") << QByteArray("[10.5 20.25 622.7 812.9]") << QByteArray();
    QTest::newRow("crop box") << QByteArray("[0 0 612 792]")
                              << QByteArray("/CropBox [50 50 300 400]");
    QTest::newRow("rotated 90") << QByteArray("[0 0 595.276 841.89]") << QByteArray("/Rotate 90");
    QTest::newRow("rotated 270, fractional")
        << QByteArray("[0 0 841.92 200.04]") << QByteArray("/Rotate 270");
}

void TestConverter::pageSizeMatchesPdftoppm()
{
    QFETCH(QByteArray, mediaBox);
    QFETCH(QByteArray, extra);
    if (!haveTool("pdftoppm"))
        QFAIL("pdftoppm is the reference for page sizes (scripts/setup.sh installs it)");
    PdfBuilder pdf;
    pdf.addPage(mediaBox, "0 0 1 rg 10 10 20 20 re f", "<< >>", extra);
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, pdf.build()));

    const Result r = run(renderer(), {in, stage() + "/current"});
    QCOMPARE(r.exitCode, 0);
    const JpegInfo ours = inspectJpegFile(stage() + "/current-001.jpg");
    QVERIFY(ours.valid);
    QCOMPARE(QSize(ours.width, ours.height), pdftoppmSize(in, stage()));
}

enum class Input { ZeroBytes, Text, HeaderOnly, UserPassword, RendererMissing };
Q_DECLARE_METATYPE(Input)

void TestConverter::failingInput_data()
{
    QTest::addColumn<Input>("input");
    QTest::newRow("zero bytes") << Input::ZeroBytes;
    QTest::newRow("text file") << Input::Text;
    QTest::newRow("PDF header only") << Input::HeaderOnly;
    QTest::newRow("user password") << Input::UserPassword;
    QTest::newRow("renderer missing") << Input::RendererMissing;
}

void TestConverter::failingInput()
{
    QFETCH(Input, input);
    const QString staged = stage() + "/current.pdf";
    QString scriptToRun = script();
    switch (input) {
    case Input::ZeroBytes:
        QVERIFY(PdfFixtures::writeBytes(staged, {}));
        break;
    case Input::Text:
        QVERIFY(PdfFixtures::writeBytes(staged, "name,amount\nA,1\n"));
        break;
    case Input::HeaderOnly:
        QVERIFY(PdfFixtures::writeBytes(staged, "%PDF-1.7\n%%EOF\n"));
        break;
    case Input::UserPassword: {
        if (!haveTool("qpdf"))
            QFAIL("qpdf is needed to make an encrypted fixture (scripts/setup.sh installs it)");
        QTemporaryDir source;
        const QString plain = source.filePath("plain.pdf");
        QVERIFY(PdfFixtures::writePdf(plain, 2));
        QVERIFY(qpdfEncrypt(plain, staged, "secret", "owner", "256"));
        break;
    }
    case Input::RendererMissing: {
        // A copy of the script in a folder without the renderer.
        const QString lonely = stage() + "/pdf2tiff.bat";
        QVERIFY(QFile::copy(script(), lonely));
        scriptToRun = lonely;
        QVERIFY(PdfFixtures::writePdf(staged, 1));
        break;
    }
    }

    const Result r = convert(scriptToRun);
    QVERIFY(r.finished);
    QVERIFY(r.exitCode != 0);
    QVERIFY(!r.err.isEmpty());
    QStringList left = entries(stage());
    left.removeAll("pdf2tiff.bat");
    QCOMPARE(left, QStringList{}); // no images, no temporary files, no current.pdf
}

enum class Document { TruncatedContent, MissingImage, NoContents, EmptyContents, EndlessPage,
                      HugeImage, MissingPageObject, FreePageObject, NotAPage, ScrambledStream,
                      TrailingGarbage, BrokenImage };
Q_DECLARE_METATYPE(Document)

static QByteArray quadrantJpeg(const QList<QColor> &colors, bool gray, int side);

// Zlib data as a /FlateDecode stream holds it.
static QByteArray deflated(const QByteArray &data)
{
    return qCompress(data).mid(4);
}

// `bytes` with the cross-reference entry of object `number` marked free.
static QByteArray withFreeObject(QByteArray bytes, int number)
{
    const qsizetype table = bytes.indexOf("\n0000000000 65535 f \n", bytes.lastIndexOf("\nxref\n"));
    const qsizetype entry = table + 1 + 20 * number;
    bytes.replace(entry, 20, "0000000000 00001 f \n");
    return bytes;
}

// Three pages; the middle one is special. Page 2's image or content is
// what the row is about; pages 1 and 3 show a blue square.
static QByteArray threePages(Document kind)
{
    const QByteArray box = "[0 0 612 792]";
    const QByteArray square = "0 0 1 rg 10 10 20 20 re f";
    PdfBuilder pdf;
    // Pages 1 to 3 are objects 4, 6 and 8 (each after its content stream)
    // unless a row adds its own objects first.
    switch (kind) {
    case Document::MissingPageObject:
    case Document::FreePageObject:
    case Document::NotAPage: {
        for (int i = 0; i < 3; ++i)
            pdf.addPage(box);
        // Object 9: a dictionary, but not a page; without it, beyond the
        // cross-reference table.
        if (kind == Document::NotAPage)
            pdf.add("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
        QByteArray bytes = pdf.build();
        if (kind == Document::FreePageObject)
            return withFreeObject(bytes, 6);
        // The same length, so that every offset stays right.
        return bytes.replace("[4 0 R 6 0 R 8 0 R", "[4 0 R 9 0 R 8 0 R");
    }
    case Document::ScrambledStream:
    case Document::TrailingGarbage: {
        QByteArray data = deflated(square + " " + square);
        if (kind == Document::ScrambledStream) {
            for (qsizetype i = 8; i < data.size() - 4; i += 3)
                data[i] = char(data[i] ^ 0x5a);
        } else {
            data += "\r\nstray bytes after the end of the data";
        }
        pdf.addPage(box);
        const int stream = pdf.addStream("/Filter /FlateDecode", data);
        pdf.addPageWithContents(box, QByteArray::number(stream) + " 0 R");
        pdf.addPage(box);
        break;
    }
    case Document::BrokenImage: {
        // A JPEG cut short: only its top half could be drawn.
        QByteArray jpeg = quadrantJpeg({Qt::red, Qt::green, Qt::blue, Qt::yellow}, false, 400);
        jpeg.truncate(jpeg.size() * 3 / 4);
        const int image = pdf.addStream("/Type /XObject /Subtype /Image /Width 400 /Height 400 "
                                        "/BitsPerComponent 8 /ColorSpace /DeviceRGB "
                                        "/Filter /DCTDecode",
                                        jpeg);
        pdf.addPage(box);
        pdf.addPage(box, "q 612 0 0 792 0 0 cm /Im Do Q",
                    "<< /XObject << /Im " + QByteArray::number(image) + " 0 R >> >>");
        pdf.addPage(box);
        break;
    }
    case Document::TruncatedContent: {
        // The page objects first, their content streams after them (pages
        // 1, 3, 2), and the file cut after page 3's stream: page 2's
        // content and the cross-reference table are gone.
        const int first = pdf.nextNumber() + 3;
        pdf.addPageWithContents(box, QByteArray::number(first) + " 0 R");
        pdf.addPageWithContents(box, QByteArray::number(first + 2) + " 0 R");
        pdf.addPageWithContents(box, QByteArray::number(first + 1) + " 0 R");
        pdf.addStream({}, square);
        pdf.addStream({}, square + " % page 3");
        pdf.addStream({}, "1 0 0 rg 0 0 612 792 re f % page 2, lost");
        const QByteArray whole = pdf.build();
        const QByteArray end = "endobj\n";
        return whole.left(whole.indexOf(end, whole.indexOf("% page 3")) + end.size());
    }
    case Document::MissingImage:
        pdf.addPage(box);
        pdf.addPage(box, "q 612 0 0 792 0 0 cm /Im Do Q", "<< /XObject << /Im 99 0 R >> >>");
        pdf.addPage(box);
        break;
    case Document::NoContents:
    case Document::EmptyContents:
        pdf.addPage(box);
        if (kind == Document::NoContents)
            pdf.addPageWithContents(box, {});
        else
            pdf.addPage(box, {});
        pdf.addPage(box);
        break;
    case Document::EndlessPage:
        pdf.addPage(box);
        pdf.addEndlessPage();
        pdf.addPage(box);
        break;
    case Document::HugeImage: {
        // Noise over the whole page: a JPEG of well over 150 kB.
        QByteArray noise(256 * 256 * 3, Qt::Uninitialized);
        quint32 state = 12345;
        for (char &c : noise) {
            state = state * 1664525u + 1013904223u;
            c = char(state >> 24);
        }
        const int image = pdf.addStream("/Type /XObject /Subtype /Image /Width 256 /Height 256 "
                                        "/ColorSpace /DeviceRGB /BitsPerComponent 8",
                                        noise);
        pdf.addPage(box);
        pdf.addPage(box, "q 612 0 0 792 0 0 cm /Im Do Q",
                    "<< /XObject << /Im " + QByteArray::number(image) + " 0 R >> >>");
        pdf.addPage(box);
        break;
    }
    }
    return pdf.build();
}

static bool isWhite(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 250)
                return false;
    return true;
}

void TestConverter::rendererOutcome_data()
{
    QTest::addColumn<Document>("document");
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("problem"); // the line about page 2

    const QStringList all{"current-001.jpg", "current-002.jpg", "current-003.jpg"};
    const QStringList withoutPage2{"current-001.jpg", "current-003.jpg"};
    // A page whose content the file lost is missing, never a white page.
    QTest::newRow("truncated: content stream lost")
        << Document::TruncatedContent << withoutPage2 << 1
        << "page 2: its content is lost: content stream";
    QTest::newRow("image object missing")
        << Document::MissingImage << withoutPage2 << 1 << "page 2: its content is lost: XObject /Im";
    QTest::newRow("page object missing")
        << Document::MissingPageObject << withoutPage2 << 1
        << "page 2: its content is lost: page object 9 0 R is missing from the file";
    QTest::newRow("page object free")
        << Document::FreePageObject << withoutPage2 << 1
        << "page 2: its content is lost: page object 6 0 R is missing from the file (a free "
           "object)";
    QTest::newRow("page object not a page")
        << Document::NotAPage << withoutPage2 << 1
        << "page 2: its content is lost: page object 9 0 R is not a page dictionary";
    QTest::newRow("scrambled Flate content")
        << Document::ScrambledStream << withoutPage2 << 1 << "page 2: its content is lost: zlib error";
    QTest::newRow("image does not decode")
        << Document::BrokenImage << withoutPage2 << 1 << "page 2: its content is lost: ";
    // A page without content is a real blank page; stray bytes after a
    // stream's data lose nothing.
    QTest::newRow("no /Contents") << Document::NoContents << all << 0 << QString();
    QTest::newRow("empty content stream") << Document::EmptyContents << all << 0 << QString();
    QTest::newRow("bytes after the Flate data") << Document::TrailingGarbage << all << 0 << QString();
    QTest::newRow("over the time limit")
        << Document::EndlessPage << withoutPage2 << 1 << "page 2: abandoned";
    // Run with a file size limit of 150 kB: page 2's image cannot be written.
    QTest::newRow("image cannot be written")
        << Document::HugeImage << withoutPage2 << 1
        << "page 2: cannot write the image: File too large";
}

void TestConverter::rendererOutcome()
{
    QFETCH(Document, document);
    QFETCH(QStringList, images);
    QFETCH(int, status);
    QFETCH(QString, problem);
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, threePages(document)));

    QStringList args{"-t", "1", in, stage() + "/current"};
    QString program = renderer();
    if (document == Document::HugeImage) {
        if (!haveTool("prlimit"))
            QFAIL("prlimit (util-linux) sets the file size limit (scripts/setup.sh installs it)");
        args.prepend(program);
        args.prepend("--fsize=150000");
        program = "prlimit";
    }
    const Result r = run(program, args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, status);
    images << "in.pdf";
    QCOMPARE(entries(stage()), images); // no temporary files either

    const QList<QByteArray> lines = r.err.trimmed().split('\n');
    if (status == 0) {
        QVERIFY2(r.err.isEmpty(), r.err.constData());
        const QImage page2(stage() + "/current-002.jpg");
        // White where the page has no content; its square where it has.
        QCOMPARE(isWhite(page2), document != Document::TrailingGarbage);
        QCOMPARE(page2.size(), QSize(pixels(612), pixels(792)));
        if (document == Document::TrailingGarbage)
            QVERIFY(page2.pixelColor(pixels(20), page2.height() - pixels(20)).blue() > 200);
    } else {
        QVERIFY2(r.err.contains("rwrender: " + problem.toUtf8()), r.err.constData());
        QCOMPARE(lines.last(), QByteArray("rwrender: 1 of 3 pages could not be rendered: 2"));
    }
    // The pages around it are there under their own numbers, drawn.
    for (const char *name : {"current-001.jpg", "current-003.jpg"}) {
        const QImage page(stage() + "/" + name);
        QVERIFY2(page.pixelColor(pixels(20), page.height() - pixels(20)).blue() > 200,
                 qPrintable(name));
    }
}

enum class Damage { ContentChecksum, ContentDataError, StrayBytes, FontDoesNotLoad, FontGlyphs,
                    ObjectStream, PageTreeInObjectStream, CutImage, MissingName, FontCutAway,
                    NestedForms, NestedFormsOnlyPage, RepairDuringPage, NeedAppearances,
                    SubsetWithoutProgram, ImageWithoutColourSpace, IccProfileMissing };
Q_DECLARE_METATYPE(Damage)

struct Fixture {
    QByteArray intact;
    QByteArray damaged;
};

static const QByteArray kBox = "[0 0 200 200]";
static const QByteArray kFirst = "0 0 1 rg 10 10 20 20 re f";  // page 1
static const QByteArray kThird = "0 0 1 rg 10 10 60 20 re f";  // page 3
static const QByteArray kSecond = "1 0 0 rg 50 50 100 100 re f BT /F1 24 Tf 20 20 Td (Two) Tj ET";
static const QByteArray kHelvetica = "<< /Font << /F1 << /Type /Font /Subtype /Type1 "
                                     "/BaseFont /Helvetica >> >> >>";

// The three-page document the rows damage: page 2 is `content` with
// `resources`; `extra` objects are added before the pages (their numbers
// start at 3).
static QByteArray threePageDocument(const QByteArray &content, const QByteArray &resources,
                                    const QList<QByteArray> &extra = {},
                                    const QByteArray &contentDict = {})
{
    PdfBuilder pdf;
    for (const QByteArray &object : extra)
        pdf.add(object);
    pdf.addPage(kBox, kFirst);
    const int stream = pdf.addStream(contentDict, content);
    pdf.addPageWithContents(kBox, QByteArray::number(stream) + " 0 R", resources);
    pdf.addPage(kBox, kThird);
    return pdf.build();
}

// `bytes` with the cross-reference entry of object `number` moved by
// `delta` bytes.
static QByteArray withShiftedEntry(QByteArray bytes, int number, int delta)
{
    const qsizetype table = bytes.indexOf("\n0000000000 65535 f \n", bytes.lastIndexOf("\nxref\n"));
    const qsizetype entry = table + 1 + 20 * number;
    const qint64 offset = bytes.mid(entry, 10).toLongLong() + delta;
    bytes.replace(entry, 10, QByteArray::number(offset).rightJustified(10, '0'));
    return bytes;
}

// A TrueType font embedded as page 2's /F1; `damage` changes its bytes.
static QByteArray embeddedFontDocument(const QByteArray &font)
{
    PdfBuilder pdf;
    const int file = pdf.addStream("/Length1 " + QByteArray::number(font.size()), font);
    const int descriptor = pdf.add("<< /Type /FontDescriptor /FontName /LiberationSans /Flags 32 "
                                   "/FontBBox [-200 -300 1200 1000] /ItalicAngle 0 /Ascent 900 "
                                   "/Descent -200 /CapHeight 700 /StemV 80 /FontFile2 "
                                   + QByteArray::number(file) + " 0 R >>");
    const int f = pdf.add("<< /Type /Font /Subtype /TrueType /BaseFont /LiberationSans "
                          "/FirstChar 32 /LastChar 126 /Widths [" + QByteArray("600 ").repeated(95)
                          + "] /Encoding /WinAnsiEncoding /FontDescriptor "
                          + QByteArray::number(descriptor) + " 0 R >>");
    pdf.addPage(kBox, kFirst);
    pdf.addPage(kBox, "BT /F1 40 Tf 10 100 Td (Hello) Tj ET",
                "<< /Font << /F1 " + QByteArray::number(f) + " 0 R >> >>");
    pdf.addPage(kBox, kThird);
    return pdf.build();
}

// Where table `tag` of a TrueType font lies: {offset, length}.
static QPair<qsizetype, qsizetype> fontTable(const QByteArray &font, const QByteArray &tag)
{
    const auto be32 = [&](qsizetype at) {
        return qsizetype((uchar(font[at]) << 24) | (uchar(font[at + 1]) << 16)
                         | (uchar(font[at + 2]) << 8) | uchar(font[at + 3]));
    };
    const int tables = (uchar(font[4]) << 8) | uchar(font[5]);
    for (int i = 0; i < tables; ++i)
        if (font.mid(12 + 16 * i, 4) == tag)
            return {be32(12 + 16 * i + 8), be32(12 + 16 * i + 12)};
    return {-1, 0};
}

// The three pages with page 2's font (or, with `treeInside`, also the page
// tree) kept in an object stream, behind a cross-reference stream; with
// `damage`, the object stream's checksum fails.
static QByteArray objectStreamDocument(bool damage, bool treeInside)
{
    QMap<int, QByteArray> objects;
    const auto stream = [](const QByteArray &data) {
        return "<< /Length " + QByteArray::number(data.size()) + " >>\nstream\n" + data
               + "\nendstream";
    };
    objects[1] = "<< /Type /Catalog /Pages 2 0 R >>";
    objects[2] = "<< /Type /Pages /Kids [4 0 R 6 0 R 8 0 R] /Count 3 >>";
    objects[3] = stream(kFirst);
    objects[5] = stream(kSecond);
    objects[7] = stream(kThird);
    for (int page : {4, 6, 8})
        objects[page] = "<< /Type /Page /Parent 2 0 R /MediaBox " + kBox
                        + " /Resources << /Font << /F1 9 0 R >> >> /Contents "
                        + QByteArray::number(page - 1) + " 0 R >>";
    objects[9] = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";
    const QList<int> inside = treeInside ? QList<int>{2, 9} : QList<int>{9};
    QByteArray header, body;
    for (int number : inside) {
        header += QByteArray::number(number) + " " + QByteArray::number(body.size()) + " ";
        body += objects[number] + "\n";
    }
    QByteArray data = deflated(header + body);
    if (damage)
        data[data.size() - 1] = char(data[data.size() - 1] ^ 0x01);
    objects[10] = "<< /Type /ObjStm /N " + QByteArray::number(inside.size()) + " /First "
                  + QByteArray::number(header.size()) + " /Filter /FlateDecode /Length "
                  + QByteArray::number(data.size()) + " >>\nstream\n" + data + "\nendstream";
    QByteArray out = "%PDF-1.5\n%\xE2\xE3\xCF\xD3\n";
    QMap<int, qsizetype> offsets;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (inside.contains(it.key()))
            continue;
        offsets[it.key()] = out.size();
        out += QByteArray::number(it.key()) + " 0 obj\n" + it.value() + "\nendobj\n";
    }
    const qsizetype xref = out.size();
    QByteArray rows;
    const auto row = [&](int type, qint64 field2, int field3) {
        rows += char(type);
        for (int shift = 24; shift >= 0; shift -= 8)
            rows += char((field2 >> shift) & 0xff);
        rows += char((field3 >> 8) & 0xff);
        rows += char(field3 & 0xff);
    };
    for (int number = 0; number < 12; ++number) {
        if (number == 0)
            row(0, 0, 65535);
        else if (inside.contains(number))
            row(2, 10, int(inside.indexOf(number)));
        else if (number == 11)
            row(1, xref, 0);
        else
            row(1, offsets[number], 0);
    }
    out += "11 0 obj\n<< /Type /XRef /Size 12 /W [1 4 2] /Root 1 0 R /Length "
           + QByteArray::number(rows.size()) + " >>\nstream\n" + rows
           + "\nendstream\nendobj\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

// A form with a text field and a check box whose values are set; with
// `staleAppearances`, each also has a blank appearance stream, as a tool
// that only fills in values leaves them.
static QByteArray formDocument(bool staleAppearances)
{
    PdfBuilder pdf;
    const int helv = pdf.add("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    const int zadb = pdf.add("<< /Type /Font /Subtype /Type1 /BaseFont /ZapfDingbats >>");
    const int blankText = pdf.addStream("/Type /XObject /Subtype /Form /BBox [0 0 260 40]", {});
    const int blankCheck = pdf.addStream("/Type /XObject /Subtype /Form /BBox [0 0 30 30]", {});
    const int text = pdf.nextNumber() + 2; // after the page's content and the page
    const int check = text + 1;
    const int page = pdf.addPage("[0 0 300 200]", kFirst, "<< >>",
                                 "/Annots [" + QByteArray::number(text) + " 0 R "
                                     + QByteArray::number(check) + " 0 R]");
    const QByteArray parent = " /P " + QByteArray::number(page) + " 0 R >>";
    pdf.add("<< /Type /Annot /Subtype /Widget /FT /Tx /T (name) /V (Hello field) "
            "/Rect [20 100 280 140] /F 4 /DA (/Helv 18 Tf 0 g)"
            + (staleAppearances ? " /AP << /N " + QByteArray::number(blankText) + " 0 R >>"
                                : QByteArray())
            + parent);
    pdf.add("<< /Type /Annot /Subtype /Widget /FT /Btn /T (check) /V /Yes /AS /Yes "
            "/Rect [20 50 50 80] /F 4 /DA (/ZaDb 18 Tf 0 g)"
            + (staleAppearances ? " /AP << /N << /Yes " + QByteArray::number(blankCheck)
                                      + " 0 R >> >>"
                                : QByteArray())
            + parent);
    QByteArray bytes = pdf.build();
    // The catalog is written first: the form goes into it at the same length.
    const QByteArray catalog = "<< /Type /Catalog /Pages 2 0 R >>";
    const QByteArray form = "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields ["
                            + QByteArray::number(text) + " 0 R " + QByteArray::number(check)
                            + " 0 R] /NeedAppearances true /DA (/Helv 0 Tf 0 g) /DR << /Font << "
                            "/Helv " + QByteArray::number(helv) + " 0 R /ZaDb "
                            + QByteArray::number(zadb) + " 0 R >> >> >> >>";
    const qsizetype grow = form.size() - catalog.size();
    bytes.replace(bytes.indexOf(catalog), catalog.size(), form);
    // Every offset after the catalog moves by `grow`.
    const qsizetype xref = bytes.lastIndexOf("\nxref\n") + 1;
    QList<QByteArray> lines = bytes.mid(xref).split('\n');
    for (int i = 3; i < lines.size() && lines[i].endsWith(" n "); ++i)
        lines[i] = QByteArray::number(lines[i].left(10).toLongLong() + grow).rightJustified(10, '0')
                   + lines[i].mid(10);
    const int startxref = int(lines.indexOf("startxref"));
    lines[startxref + 1] = QByteArray::number(xref);
    return bytes.left(xref) + lines.join('\n');
}

static Fixture damageFixture(Damage kind, const QString &fontFile)
{
    const QByteArray helvetica = kHelvetica;
    const QByteArray intact = threePageDocument(kSecond, helvetica);
    switch (kind) {
    case Damage::ContentChecksum:
    case Damage::ContentDataError:
    case Damage::StrayBytes: {
        QByteArray data = deflated(kSecond);
        const QByteArray whole = threePageDocument(data, helvetica, {}, "/Filter /FlateDecode");
        if (kind == Damage::ContentChecksum)
            data[data.size() - 1] = char(data[data.size() - 1] ^ 0x01); // Adler-32
        else if (kind == Damage::ContentDataError)
            data[2] = char(data[2] | 0x06); // block type 3: there is none
        else
            data += "\r\nstray bytes after the end of the data";
        return {whole, threePageDocument(data, helvetica, {}, "/Filter /FlateDecode")};
    }
    case Damage::FontDoesNotLoad:
    case Damage::FontGlyphs: {
        QFile file(fontFile);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QByteArray font = file.readAll();
        QByteArray damaged = font;
        if (kind == Damage::FontDoesNotLoad) {
            const auto [offset, length] = fontTable(font, "head");
            damaged.replace(offset, length, QByteArray(length, '\0'));
        } else {
            const auto [offset, length] = fontTable(font, "glyf");
            for (qsizetype i = offset; i < offset + length; i += 97)
                damaged[i] = char(damaged[i] ^ 0xff);
        }
        return {embeddedFontDocument(font), embeddedFontDocument(damaged)};
    }
    case Damage::ObjectStream:
    case Damage::PageTreeInObjectStream: {
        const bool tree = kind == Damage::PageTreeInObjectStream;
        return {objectStreamDocument(false, tree), objectStreamDocument(true, tree)};
    }
    case Damage::CutImage: {
        // The image is the file's last object; the file ends inside its
        // data, with no "endstream".
        QByteArray noise(64 * 64, Qt::Uninitialized);
        quint32 state = 7;
        for (char &c : noise) {
            state = state * 1664525u + 1013904223u;
            c = char(state >> 24);
        }
        PdfBuilder pdf;
        pdf.addPage(kBox, kFirst);
        const int image = pdf.nextNumber() + 4;
        pdf.addPage(kBox, "q 200 0 0 200 0 0 cm /Im Do Q",
                    "<< /XObject << /Im " + QByteArray::number(image) + " 0 R >> >>");
        pdf.addPage(kBox, kThird);
        pdf.addStream("/Type /XObject /Subtype /Image /Width 64 /Height 64 /BitsPerComponent 8 "
                      "/ColorSpace /DeviceGray /Filter /FlateDecode",
                      deflated(noise));
        const QByteArray whole = pdf.build();
        const qsizetype data = whole.indexOf("stream\n", whole.indexOf("/Subtype /Image")) + 7;
        return {whole, whole.left(data + 500)};
    }
    case Damage::MissingName:
        return {}; // see damageKinds(): one row per operator
    case Damage::FontCutAway: {
        // The font is the file's last object, and the file is cut before it.
        PdfBuilder pdf;
        pdf.addPage(kBox, kFirst);
        const int font = pdf.nextNumber() + 4;
        pdf.addPage(kBox, kSecond, "<< /Font << /F1 " + QByteArray::number(font) + " 0 R >> >>");
        pdf.addPage(kBox, kThird);
        pdf.add("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
        const QByteArray whole = pdf.build();
        return {whole, whole.left(whole.indexOf(QByteArray::number(font) + " 0 obj"))};
    }
    case Damage::NestedForms:
    case Damage::NestedFormsOnlyPage: {
        // 200 forms, each drawing the next: past MuPDF's limit.
        QList<QByteArray> forms;
        forms << "<< /Type /XObject /Subtype /Form /BBox [0 0 200 200] /Length "
                     + QByteArray::number(kSecond.size()) + " >>\nstream\n" + kSecond
                     + "\nendstream";
        for (int level = 1; level < 200; ++level)
            forms << "<< /Type /XObject /Subtype /Form /BBox [0 0 200 200] /Resources << "
                     "/XObject << /X " + QByteArray::number(3 + level - 1)
                         + " 0 R >> /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont "
                           "/Helvetica >> >> >> /Length 5 >>\nstream\n/X Do\nendstream";
        const QByteArray top = "<< /XObject << /X " + QByteArray::number(3 + 199) + " 0 R >> "
                               "/Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                               ">> >> >>";
        if (kind == Damage::NestedForms)
            return {intact, threePageDocument("/X Do", top, forms)};
        PdfBuilder pdf;
        for (const QByteArray &form : forms)
            pdf.add(form);
        pdf.addPage(kBox, "/X Do", top);
        PdfBuilder flat;
        flat.addPage(kBox, kSecond, helvetica);
        return {flat.build(), pdf.build()};
    }
    case Damage::RepairDuringPage:
        // Page 2's content stream (object 5) is not where the table says:
        // MuPDF repairs the file while it reads page 2.
        return {intact, withShiftedEntry(intact, 5, 5)};
    case Damage::NeedAppearances:
        // Drawn from the values as if no appearance were stored.
        return {formDocument(false), formDocument(true)};
    case Damage::SubsetWithoutProgram:
        // An embedded subset's name, its descriptor's font program gone.
        return {intact, threePageDocument(kSecond, "<< /Font << /F1 << /Type /Font /Subtype "
                                                   "/TrueType /BaseFont /ABCDEF+Arial >> >> >>")};
    case Damage::ImageWithoutColourSpace:
    case Damage::IccProfileMissing: {
        const QByteArray space = kind == Damage::IccProfileMissing
                                     ? "/ColorSpace [/ICCBased 99 0 R] "
                                     : "";
        return {intact, threePageDocument("q 100 0 0 100 0 0 cm /Im Do Q",
                                          "<< /XObject << /Im 3 0 R >> >>",
                                          {"<< /Type /XObject /Subtype /Image /Width 2 /Height 2 "
                                           + space + "/BitsPerComponent 8 /Length 4 >>\nstream\n"
                                           "\x10\x80\xc0\xff\nendstream"})};
    }
    }
    return {};
}

void TestConverter::damageKinds_data()
{
    QTest::addColumn<Damage>("kind");
    QTest::addColumn<QByteArray>("operation"); // MissingName: what page 2 draws
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<QString>("problem"); // in the line about page 2; empty: status 0

    const QStringList all{"p-001.jpg", "p-002.jpg", "p-003.jpg"};
    const QStringList without2{"p-001.jpg", "p-003.jpg"};
    QTest::newRow("content: Flate checksum fails")
        << Damage::ContentChecksum << QByteArray() << without2 << "incorrect data check";
    QTest::newRow("content: Flate data error")
        << Damage::ContentDataError << QByteArray() << without2 << "zlib error";
    QTest::newRow("content: stray bytes after the Flate data")
        << Damage::StrayBytes << QByteArray() << all << QString();
    QTest::newRow("embedded font does not load")
        << Damage::FontDoesNotLoad << QByteArray() << without2 << "FT_New_Memory_Face";
    QTest::newRow("embedded font's glyphs damaged")
        << Damage::FontGlyphs << QByteArray() << without2 << "FT_Load_Glyph";
    QTest::newRow("page 2's font in a damaged object stream")
        << Damage::ObjectStream << QByteArray() << without2
        << "font /F1 9 0 R is kept in object stream 10 0 R, which is damaged";
    QTest::newRow("page tree in a damaged object stream")
        << Damage::PageTreeInObjectStream << QByteArray() << QStringList{}
        << "page tree node 2 0 R is kept in object stream 10 0 R, which is damaged";
    QTest::newRow("image cut off, no endstream")
        << Damage::CutImage << QByteArray() << without2 << "XObject /Im";
    const QList<QPair<const char *, QByteArray>> names{
        {"Tf", "BT /F9 24 Tf 20 20 Td (Two) Tj ET"},
        {"Do", "/X9 Do"},
        {"gs", "/G9 gs 0 0 1 rg 10 10 20 20 re f"},
        {"sh", "/S9 sh"},
        {"cs", "/C9 cs 1 sc 10 10 20 20 re f"},
        {"CS", "/C9 CS 1 SC 10 10 20 20 re S"},
        {"scn", "/Pattern cs /P9 scn 10 10 20 20 re f"},
        {"SCN", "/Pattern CS /P9 SCN 10 10 20 20 re S"},
    };
    const QStringList categories{"font /F9", "XObject /X9", "graphics state /G9", "shading /S9",
                                 "colour space /C9", "colour space /C9", "pattern /P9",
                                 "pattern /P9"};
    for (int i = 0; i < names.size(); ++i)
        QTest::addRow("name not in the resources: %s", names[i].first)
            << Damage::MissingName << names[i].second << without2
            << categories[i] + " is not in the resources";
    // The same names written otherwise resolve: nothing is lost.
    QTest::newRow("names that resolve: escaped, in strings and inline images")
        << Damage::MissingName
        << QByteArray("BT /F#31 24 Tf 20 20 Td (/F9 24 Tf \\) /X9 Do) Tj ET "
                      "BI /W 2 /H 1 /CS /G /BPC 8 ID \x10\x80 EI % /X9 Do")
        << all << QString();
    QTest::newRow("subset font without its font program")
        << Damage::SubsetWithoutProgram << QByteArray() << without2
        << "font /F1 names an embedded subset but has no font program";
    QTest::newRow("image without a colour space")
        << Damage::ImageWithoutColourSpace << QByteArray() << without2
        << "XObject /Im is an image without a colour space";
    QTest::newRow("image's ICC profile missing")
        << Damage::IccProfileMissing << QByteArray() << without2
        << "XObject /Im: ICC profile 99 0 R is missing from the file";
    QTest::newRow("font cut away with the end of the file")
        << Damage::FontCutAway << QByteArray() << without2 << "font /F1";
    QTest::newRow("forms nested 200 deep")
        << Damage::NestedForms << QByteArray() << without2 << "exception stack overflow";
    // Not handed to poppler, which would draw the page white.
    QTest::newRow("forms nested 200 deep, the only page")
        << Damage::NestedFormsOnlyPage << QByteArray() << QStringList{}
        << "exception stack overflow";
    QTest::newRow("repair while page 2 is read: run again")
        << Damage::RepairDuringPage << QByteArray() << all << QString();
    QTest::newRow("NeedAppearances: fields drawn from their values")
        << Damage::NeedAppearances << QByteArray() << QStringList{"p-001.jpg"} << QString();
}

// Each kind of damage fails the pages it touches, and only them; every
// page that comes out is the intact document's page, byte for byte.
void TestConverter::damageKinds()
{
    QFETCH(Damage, kind);
    QFETCH(QByteArray, operation);
    QFETCH(QStringList, images);
    QFETCH(QString, problem);
    const QString font = "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf";
    if (kind == Damage::FontDoesNotLoad || kind == Damage::FontGlyphs)
        QVERIFY2(QFile::exists(font), "fonts-liberation is needed for an embedded font (scripts/setup.sh installs it)");
    // A row without a problem draws its operation in both documents, with
    // the name written plainly in the intact one.
    const QByteArray plain = problem.isEmpty() ? QByteArray(operation).replace("/F#31", "/F1")
                                               : kSecond;
    const Fixture fixture = kind == Damage::MissingName
                                ? Fixture{threePageDocument(plain, kHelvetica),
                                          threePageDocument(operation, kHelvetica)}
                                : damageFixture(kind, font);
    QVERIFY(!fixture.damaged.isEmpty());
    QVERIFY(QDir(stage()).mkpath("intact") && QDir(stage()).mkpath("damaged"));
    QVERIFY(PdfFixtures::writeBytes(stage() + "/intact.pdf", fixture.intact));
    QVERIFY(PdfFixtures::writeBytes(stage() + "/damaged.pdf", fixture.damaged));

    const Result intact = run(renderer(), {"-r", "50", stage() + "/intact.pdf",
                                           stage() + "/intact/p"});
    QVERIFY2(intact.exitCode == 0, intact.err.constData());
    const Result r = run(renderer(), {"-r", "50", stage() + "/damaged.pdf",
                                      stage() + "/damaged/p"});
    QVERIFY(r.finished);
    QCOMPARE(entries(stage() + "/damaged"), images);
    if (problem.isEmpty()) {
        QVERIFY2(r.exitCode == 0 && r.err.isEmpty(), r.err.constData());
    } else {
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("its content is lost: ") && r.err.contains(problem.toUtf8()),
                 r.err.constData());
    }
    for (const QString &name : images) {
        QFile got(stage() + "/damaged/" + name);
        QFile expected(stage() + "/intact/" + name);
        QVERIFY(got.open(QIODevice::ReadOnly) && expected.open(QIODevice::ReadOnly));
        // The records differ (another document); the pages must not.
        QVERIFY2(pageWithoutRecord(got.readAll()) == pageWithoutRecord(expected.readAll()),
                 qPrintable(name));
    }
    if (kind == Damage::NeedAppearances) {
        // The field's value is drawn: dark pixels inside the text field.
        const QImage page(stage() + "/damaged/p-001.jpg");
        const int scale = 50;
        bool text = false;
        for (int y = (200 - 140) * scale / 72; y < (200 - 100) * scale / 72 && !text; ++y)
            for (int x = 20 * scale / 72; x < 280 * scale / 72 && !text; ++x)
                text = qGray(page.pixel(x, y)) < 100;
        QVERIFY(text);
    }
}

void TestConverter::environmentOverrides_data()
{
    QTest::addColumn<QString>("resolution"); // "-": not set
    QTest::addColumn<QString>("quality");
    QTest::addColumn<int>("status");
    QTest::addColumn<QSize>("size");        // of the US Letter page's image
    QTest::addColumn<int>("dcQuantizer");   // 3 at quality 90, 80 at quality 10

    const QSize at150(1275, 1650);
    QTest::newRow("not set: the script's values") << "-" << "-" << 0 << at150 << 3;
    QTest::newRow("empty: the script's values") << "" << "" << 0 << at150 << 3;
    QTest::newRow("72 dpi") << "72" << "-" << 0 << QSize(612, 792) << 3;
    QTest::newRow("quality 10") << "-" << "10" << 0 << at150 << 80;
    // The renderer checks the range: a usage error, nothing written.
    QTest::newRow("0 dpi") << "0" << "-" << 2 << QSize() << 0;
    QTest::newRow("quality 101") << "-" << "101" << 2 << QSize() << 0;
    QTest::newRow("quality not a number") << "-" << "best" << 2 << QSize() << 0;
}

void TestConverter::environmentOverrides()
{
    QFETCH(QString, resolution);
    QFETCH(QString, quality);
    QFETCH(int, status);
    QFETCH(QSize, size);
    QFETCH(int, dcQuantizer);
    QVERIFY(PdfFixtures::writePdf(stage() + "/current.pdf", 1));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("RASTERWELL_RESOLUTION");
    env.remove("RASTERWELL_QUALITY");
    if (resolution != "-")
        env.insert("RASTERWELL_RESOLUTION", resolution);
    if (quality != "-")
        env.insert("RASTERWELL_QUALITY", quality);

    const Result r = convertWith(env);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, status);
    if (status != 0) {
        QCOMPARE(entries(stage()), QStringList{}); // current.pdf deleted all the same
        return;
    }
    QCOMPARE(entries(stage()), QStringList{"current-001.jpg"});
    const JpegInfo info = inspectJpegFile(stage() + "/current-001.jpg");
    QCOMPARE(QSize(info.width, info.height), size);
    QCOMPARE(info.dcQuantizer, dcQuantizer);
}

void TestConverter::sharedTokens_data()
{
    QTest::addColumn<bool>("folderExists");
    QTest::newRow("token folder") << true;
    // A folder that cannot hold tokens costs the tokens, not the pages.
    QTest::newRow("token folder missing") << false;
}

void TestConverter::sharedTokens()
{
    // Two converters side by side, each in its own staging folder, sharing
    // one token folder: every page of both documents arrives.
    QFETCH(bool, folderExists);
    const QString tokens = stage() + "/tokens";
    if (folderExists)
        QVERIFY(QDir().mkdir(tokens));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("RASTERWELL_RENDER_TOKENS", tokens);
    const QStringList folders{stage() + "/slot1", stage() + "/slot2"};
    std::vector<std::unique_ptr<QProcess>> converters;
    for (const QString &slot : folders) {
        QVERIFY(QDir().mkdir(slot));
        QVERIFY(PdfFixtures::writePdf(slot + "/current.pdf", 30));
        auto p = std::make_unique<QProcess>();
        p->setWorkingDirectory(slot);
        p->setProcessEnvironment(env);
        p->start(script(), {});
        QVERIFY(p->waitForStarted());
        converters.push_back(std::move(p));
    }
    for (std::size_t i = 0; i < converters.size(); ++i) {
        QProcess &p = *converters[i];
        QVERIFY(p.waitForFinished(120000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(entries(folders[int(i)]), pageNames(30));
        // Nothing to say, or one line that the tokens are not used.
        const QByteArray err = p.readAllStandardError();
        QCOMPARE(int(err.count('\n')), folderExists ? 0 : 1);
    }
    if (folderExists) {
        // One token per core.
        const QStringList files = entries(tokens);
        QVERIFY(!files.isEmpty());
        QCOMPARE(files.size(), QThread::idealThreadCount());
        QVERIFY(files.contains("token-0"));
    }
}

enum class Jpeg { Rgb, Gray, Inverted, Reduced };
Q_DECLARE_METATYPE(Jpeg)

// A JPEG of four quadrants (top left, top right, bottom left, bottom
// right), as a scanner or camera writes it: 4:2:0 for colour.
static QByteArray quadrantJpeg(const QList<QColor> &colors, bool gray, int side)
{
    QImage image(side, side, gray ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    QPainter painter(&image);
    const int half = side / 2;
    painter.fillRect(0, 0, half, half, colors[0]);
    painter.fillRect(half, 0, side - half, half, colors[1]);
    painter.fillRect(0, half, half, side - half, colors[2]);
    painter.fillRect(half, half, side - half, side - half, colors[3]);
    painter.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 92);
    return bytes;
}

void TestConverter::jpegImages_data()
{
    QTest::addColumn<Jpeg>("kind");
    QTest::addColumn<QList<QColor>>("expected"); // the four quadrants on the page
    const QList<QColor> colors{Qt::red, QColor(0, 160, 0), Qt::blue, QColor(240, 200, 40)};
    const QList<QColor> grays{QColor(20, 20, 20), QColor(90, 90, 90), QColor(170, 170, 170),
                              QColor(235, 235, 235)};
    QList<QColor> inverted;
    for (const QColor &c : colors)
        inverted << QColor(255 - c.red(), 255 - c.green(), 255 - c.blue());
    QTest::newRow("RGB") << Jpeg::Rgb << colors;
    QTest::newRow("gray") << Jpeg::Gray << grays;
    QTest::newRow("/Decode inverts") << Jpeg::Inverted << inverted;
    // Decoded at a quarter of its size: drawn far smaller than it is.
    QTest::newRow("reduced while decoding") << Jpeg::Reduced << colors;
    // (A JPEG cut short fails its page: see rendererOutcome.)
}

void TestConverter::jpegImages()
{
    // Each page is one JPEG image filling a 200 x 200 point box.
    QFETCH(Jpeg, kind);
    QFETCH(QList<QColor>, expected);
    const bool gray = kind == Jpeg::Gray;
    QList<QColor> colors = expected;
    if (kind == Jpeg::Inverted)
        for (QColor &c : colors)
            c = QColor(255 - c.red(), 255 - c.green(), 255 - c.blue());
    const QByteArray jpeg = quadrantJpeg(colors, gray, kind == Jpeg::Reduced ? 1600 : 400);
    const int side = kind == Jpeg::Reduced ? 1600 : 400;
    QByteArray dict = "/Type /XObject /Subtype /Image /Width " + QByteArray::number(side)
                      + " /Height " + QByteArray::number(side) + " /BitsPerComponent 8 /ColorSpace "
                      + (gray ? "/DeviceGray" : "/DeviceRGB") + " /Filter /DCTDecode";
    if (kind == Jpeg::Inverted)
        dict += " /Decode [1 0 1 0 1 0]";
    PdfBuilder pdf;
    const int image = pdf.addStream(dict, jpeg);
    pdf.addPage("[0 0 200 200]", "q 200 0 0 200 0 0 cm /Im Do Q",
                "<< /XObject << /Im " + QByteArray::number(image) + " 0 R >> >>");
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, pdf.build()));

    const Result r = run(renderer(), {"-r", kind == Jpeg::Reduced ? "50" : "150", in,
                                      stage() + "/current"});
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 0);
    const QImage page(stage() + "/current-001.jpg");
    QVERIFY(!page.isNull());
    const int w = page.width();
    const QList<QPoint> centres{{w / 4, w / 4}, {3 * w / 4, w / 4}, {w / 4, 3 * w / 4},
                                {3 * w / 4, 3 * w / 4}};
    for (int i = 0; i < 4; ++i) {
        const QColor got = page.pixelColor(centres[i]);
        const int distance = std::abs(got.red() - expected[i].red())
                             + std::abs(got.green() - expected[i].green())
                             + std::abs(got.blue() - expected[i].blue());
        QVERIFY2(distance < 40, qPrintable(QString("quadrant %1: %2, expected %3")
                                               .arg(i)
                                               .arg(got.name(), expected[i].name())));
    }
}

void TestConverter::oversizedPageIsScaledDown()
{
    // 10000 x 10000 points at 150 dpi would be 434 megapixels.
    PdfBuilder pdf;
    pdf.addPage("[0 0 10000 10000]");
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, pdf.build()));

    const Result r = run(renderer(), {in, stage() + "/current"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.contains("megapixels"), r.err.constData());
    const JpegInfo info = inspectJpegFile(stage() + "/current-001.jpg");
    QVERIFY(info.valid);
    QCOMPARE(info.width, info.height);
    QVERIFY(qint64(info.width) * info.height <= 100'000'000);
    QVERIFY(info.width > 9000); // the largest size that fits, not some small one
}

void TestConverter::lostPageTree_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<bool>("recover");
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<QList<int>>("widths"); // of those images

    const QStringList recovered{"current-recovered-001.jpg", "current-recovered-002.jpg",
                                "current-recovered-003.jpg"};
    // The catalog no longer names the tree: the pages can only be found in
    // file order, so none may come out under a page number (page 1 would
    // be page 3). On request they come out as recovered images.
    QTest::newRow("tree lost") << QByteArray("/Pages 2 0 R") << QByteArray("/Pagez 2 0 R") << false
                               << QStringList{} << QList<int>{};
    QTest::newRow("tree lost, RASTERWELL_RECOVER=1")
        << QByteArray("/Pages 2 0 R") << QByteArray("/Pagez 2 0 R") << true << recovered
        << QList<int>{100, 150, 200};
    // The tree is there, only its count is wrong: its order numbers the
    // pages.
    QTest::newRow("wrong /Count") << QByteArray("/Count 3") << QByteArray("/Count 0") << false
                                  << pageNames(3) << QList<int>{200, 150, 100};
}

void TestConverter::lostPageTree()
{
    // The page tree lists the pages in the reverse of their file order;
    // the row damages it. The document fails either way.
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(bool, recover);
    QFETCH(QStringList, images);
    QFETCH(QList<int>, widths);
    PdfBuilder pdf;
    for (int width : {100, 150, 200})
        pdf.addPage("[0 0 " + QByteArray::number(width) + " 200]");
    QByteArray bytes = pdf.build();
    // Same lengths: offsets stay right.
    bytes.replace("[4 0 R 6 0 R 8 0 R", "[8 0 R 6 0 R 4 0 R");
    bytes.replace(from, to);
    QVERIFY(PdfFixtures::writeBytes(stage() + "/current.pdf", bytes));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (recover)
        env.insert("RASTERWELL_RECOVER", "1");
    else
        env.remove("RASTERWELL_RECOVER");
    const Result r = convertWith(env);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(to == "/Count 0" ? "page counts are wrong" : "page tree is lost"),
             r.err.constData());
    QCOMPARE(entries(stage()), images);
    for (int i = 0; i < images.size(); ++i) {
        const JpegInfo info = inspectJpegFile(stage() + "/" + images[i]);
        QVERIFY(info.valid);
        QCOMPARE(QSize(info.width, info.height), QSize(pixels(widths[i]), pixels(200)));
    }
}

using PdfFixtures::PageTreeShape;
Q_DECLARE_METATYPE(PdfFixtures::PageTreeShape)

// Page trees that MuPDF's own lookup gets wrong, each in a document of the
// same four pages (see makePageTreePdf): a /Count that is too low dropped
// pages without a word, one too high read page-map entries that were never
// written, a node listed inside itself (or an ancestor inside a node) lost
// the pages after it. Walked, the tree gives every page its number; a wrong
// /Count fails the document.
static void pageTreeRows()
{
    QTest::addColumn<PageTreeShape>("shape");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("problem"); // the renderer's line about it

    QTest::newRow("/Count too low") << PageTreeShape::CountTooLow << 1
                                    << QByteArray("lists 4 page(s), its /Count says 2");
    QTest::newRow("/Count too high") << PageTreeShape::CountTooHigh << 1
                                     << QByteArray("lists 4 page(s), its /Count says 12");
    QTest::newRow("/Kids lists itself") << PageTreeShape::ListsItself << 0 << QByteArray();
    QTest::newRow("/Kids lists an ancestor") << PageTreeShape::ListsAncestor << 0 << QByteArray();
    QTest::newRow("two levels") << PageTreeShape::TwoLevel << 0 << QByteArray();
    QTest::newRow("two levels, /Count too low")
        << PageTreeShape::TwoLevelCountTooLow << 1
        << QByteArray("lists 4 page(s), its /Count says 3");
}

void TestConverter::pageTreeIsWalked_data()
{
    pageTreeRows();
}

void TestConverter::pageTreeIsWalked()
{
    QFETCH(PageTreeShape, shape);
    QFETCH(int, status);
    QFETCH(QByteArray, problem);
    QVERIFY(QDir(stage()).mkdir("intact"));
    QVERIFY(QDir(stage()).mkdir("damaged"));
    const QString intact = stage() + "/intact.pdf";
    const QString damaged = stage() + "/damaged.pdf";
    QVERIFY(PdfFixtures::writeBytes(intact, PdfFixtures::makePageTreePdf(PageTreeShape::Intact)));
    QVERIFY(PdfFixtures::writeBytes(damaged, PdfFixtures::makePageTreePdf(shape)));

    const Result reference = run(renderer(), {"-r", "72", intact, stage() + "/intact/current"});
    QVERIFY(reference.finished);
    QCOMPARE(reference.exitCode, 0);
    const Result r = run(renderer(), {"-r", "72", damaged, stage() + "/damaged/current"});
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, status);
    if (status == 0) {
        QVERIFY2(r.err.isEmpty(), r.err.constData());
    } else {
        // One line says why; no page is reported missing, none exists
        // beyond the four.
        QCOMPARE(r.err.count('\n'), 1);
        QVERIFY2(r.err.startsWith("rwrender: " + QFile::encodeName(damaged)
                                  + ": the page tree's page counts are wrong: it " + problem),
                 r.err.constData());
    }
    // Every page under its own number, drawn as in the intact document
    // (its text too: the font is inherited from the tree).
    QCOMPARE(entries(stage() + "/damaged"), pageNames(4));
    for (const QString &name : pageNames(4)) {
        const QImage expected(stage() + "/intact/" + name);
        const QImage actual(stage() + "/damaged/" + name);
        QVERIFY(!expected.isNull());
        QVERIFY2(actual == expected, qPrintable(name));
    }
    const QImage first(stage() + "/intact/current-001.jpg");
    QCOMPARE(first.size(), QSize(200, 300));
    QVERIFY(!isWhite(first.copy(0, 120, 200, 80))); // "Page 1"

    // The probe counts the same pages, and says what is wrong.
    const QString result = stage() + "/probe.txt";
    const Result p = run(probe(), {damaged, "data_dump", "output", result, "dont_ask"});
    QCOMPARE(p.exitCode, 0);
    QFile f(result);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray dump = f.readAll();
    QVERIFY2(dump.contains("NumberOfPages: 4\n"), dump.constData());
    QCOMPARE(dump.contains("Warning: the page tree " + problem), status != 0);
}

void TestConverter::damagedPageTreeUnderValgrind_data()
{
    pageTreeRows();
}

void TestConverter::damagedPageTreeUnderValgrind()
{
    // Memcheck fails the run on a read of memory never written, such as a
    // page-map entry past the pages the tree lists. The engine is run
    // itself, never through a render service (also in the service variant).
    // A sanitizer build cannot run under Valgrind: there the engine runs
    // alone and AddressSanitizer is the checker.
    QFETCH(PageTreeShape, shape);
    QFETCH(int, status);
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, PdfFixtures::makePageTreePdf(shape)));
    QStringList command{appDir() + "/ps/rwengine", "-r", "20", "-j", "2", in, stage() + "/current"};
#ifndef __SANITIZE_ADDRESS__
    QVERIFY2(haveTool("valgrind"), "valgrind is needed (scripts/setup.sh installs it)");
    command = QStringList{"valgrind", "-q", "--error-exitcode=99", "--track-origins=no"} + command;
#endif
    QProcessEnvironment standAlone = QProcessEnvironment::systemEnvironment();
    standAlone.remove("RASTERWELL_RENDER_SERVICE");
    const Result r = run(command.takeFirst(), command, stage(), 120000, standAlone);
    QVERIFY(r.finished);
    QVERIFY2(!r.err.contains("=="), r.err.constData());
    QCOMPARE(r.exitCode, status);
    QCOMPARE(entries(stage()), pageNames(4) << "in.pdf");
}

void TestConverter::slowPagesGiveUpTheDocument()
{
    // Four small pages sharing a chain of 40 forms, each drawing the next
    // four times: every page runs into the time limit. After three of them
    // the document is given up; the fourth is not started.
    PdfBuilder pdf;
    int form = pdf.addStream("/Type /XObject /Subtype /Form /BBox [0 0 1 1]", "0 0 1 1 re f");
    for (int level = 0; level < 40; ++level)
        form = pdf.addStream("/Type /XObject /Subtype /Form /BBox [0 0 1 1] /Resources "
                             "<< /XObject << /X "
                                 + QByteArray::number(form) + " 0 R >> >>",
                             "/X Do /X Do /X Do /X Do");
    for (int page = 0; page < 4; ++page)
        pdf.addPage("[0 0 200 200]", "q 100 0 0 100 0 0 cm /X Do Q",
                    "<< /XObject << /X " + QByteArray::number(form) + " 0 R >> >>");
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, pdf.build()));

    const Result r = run(renderer(), {"-t", "0.5", in, stage() + "/current"}, {}, 60000);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(entries(stage()), QStringList{"in.pdf"});
    QCOMPARE(int(r.err.count("abandoned, over the time limit")), 3);
    QVERIFY2(r.err.contains("giving up the document after 3 pages over the time limit; 1 page(s) "
                            "not attempted"),
             r.err.constData());
    QCOMPARE(r.err.trimmed().split('\n').last(),
             QByteArray("rwrender: 4 of 4 pages could not be rendered: 1-4"));
}

// The running processes whose parent is `parent`.
static QStringList childrenOf(qint64 parent)
{
    QStringList children;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> rest = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (rest.size() > 1 && rest[0] != "Z" && rest[1].toLongLong() == parent)
            children << entry;
    }
    return children;
}

// A document that takes a few seconds: many large pages.
static QByteArray slowDocument()
{
    PdfBuilder pdf;
    for (int i = 0; i < 150; ++i)
        pdf.addPage("[0 0 1500 1500]", "0 0 1 rg 10 10 1400 1400 re f");
    return pdf.build();
}

void TestConverter::interruptedScriptLeavesNothing()
{
    QVERIFY(PdfFixtures::writeBytes(stage() + "/current.pdf", slowDocument()));
    QProcess p;
    p.setWorkingDirectory(stage());
    p.start(script(), {});
    QVERIFY(p.waitForStarted());
    WAIT_FOR_IMAGES_OR_SKIP(stage(), 1, p, "the conversion ended before it could be interrupted");
    // The script's renderer (or the client of a render service).
    const QStringList renderers = childrenOf(p.processId());
    QVERIFY(!renderers.isEmpty());
    p.terminate(); // SIGTERM
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 143);
    QCOMPARE(entries(stage()), QStringList{});
    // The renderer went with the script: once it is gone, nothing has
    // appeared.
    for (const QString &pid : renderers)
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists("/proc/" + pid + "/exe"), 10000);
    QCOMPARE(entries(stage()), QStringList{});
}

void TestConverter::killedRendererLeavesOnlyCompletePages()
{
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, slowDocument()));
    QProcess p;
    p.start(renderer(), {in, stage() + "/current"});
    QVERIFY(p.waitForStarted());
    WAIT_FOR_IMAGES_OR_SKIP(stage(), 3, p, "the conversion ended before it could be interrupted");
    p.kill(); // SIGKILL: no chance to clean up
    QVERIFY(p.waitForFinished(30000));

    // Every final name is a complete image of the page it names (pages
    // finish in any order); anything else is a hidden temporary name that
    // cannot match current*.jpg.
    const QStringList images = QDir(stage()).entryList({"current*.jpg"}, QDir::Files, QDir::Name);
    QVERIFY(images.size() >= 3);
    QVERIFY(images.size() < 150);
    const QStringList all = pageNames(150);
    for (const QString &name : images) {
        QVERIFY2(all.contains(name), qPrintable(name));
        QVERIFY2(inspectJpegFile(stage() + "/" + name).valid, qPrintable(name));
    }
    for (const QString &name : entries(stage()))
        QVERIFY2(name == "in.pdf" || name.startsWith("current-") || name.startsWith(".tmp-"),
                 qPrintable(name));
}

void TestConverter::removeInput_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("remove");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("left");
    QTest::newRow("rendered") << PdfFixtures::makePdf(2) << true << 0
                              << QStringList{"current-001.jpg", "current-002.jpg"};
    QTest::newRow("failed") << QByteArray("no PDF\n") << true << 1 << QStringList{};
    QTest::newRow("not asked") << PdfFixtures::makePdf(1) << false << 0
                               << QStringList{"current-001.jpg", "in.pdf"};
}

// --remove-input (what the converter script asks for) deletes the document
// once the images are in place, or once rendering failed.
void TestConverter::removeInput()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, remove);
    QFETCH(int, status);
    QFETCH(QStringList, left);
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, document));
    QStringList args{in, stage() + "/current"};
    if (remove)
        args.prepend("--remove-input");
    const Result r = run(renderer(), args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, status);
    QCOMPARE(entries(stage()), left);
}

void TestConverter::rendererBadCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no arguments") << QStringList{};
    QTest::newRow("input only") << QStringList{"IN"};
    QTest::newRow("unknown option") << QStringList{"-x", "IN", "PREFIX"};
    QTest::newRow("option without value") << QStringList{"IN", "PREFIX", "-q"};
    QTest::newRow("quality 101") << QStringList{"-q", "101", "IN", "PREFIX"};
    QTest::newRow("resolution not a number") << QStringList{"-r", "high", "IN", "PREFIX"};
    QTest::newRow("prefix is a folder") << QStringList{"IN", "DIR/"};
    QTest::newRow("page 0") << QStringList{"--pages", "0", "IN", "PREFIX"};
    QTest::newRow("pages backwards") << QStringList{"--pages", "3-1", "IN", "PREFIX"};
    QTest::newRow("pages with a gap") << QStringList{"--pages", "1,,3", "IN", "PREFIX"};
    QTest::newRow("pages without a value") << QStringList{"IN", "PREFIX", "--pages"};
    QTest::newRow("scale-to 0") << QStringList{"--scale-to", "0", "IN", "PREFIX"};
    QTest::newRow("scale-to fractional") << QStringList{"--scale-to", "10.5", "IN", "PREFIX"};
    QTest::newRow("format tiff") << QStringList{"--format", "tiff", "IN", "PREFIX"};
}

// The settings the program passes through the script: only the pages
// asked for (under their own numbers; those past the end named in one
// note), the long side, grey, PNG. Unset or empty, every page in colour as
// JPEG at the script's resolution.
void TestConverter::imageSettings_data()
{
    QTest::addColumn<QStringList>("environment"); // NAME=value
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<QSize>("size");              // of each image
    QTest::addColumn<bool>("gray");
    QTest::addColumn<QString>("note");            // on stderr; empty: none
    const QSize at150(1275, 1650);
    const QStringList empty{"RASTERWELL_PAGES=", "RASTERWELL_SCALE_TO=", "RASTERWELL_GRAY=", "RASTERWELL_FORMAT="};
    QTest::newRow("empty: as always") << empty << pageNames(4) << at150 << false << "";
    QTest::newRow("some pages") << QStringList{"RASTERWELL_PAGES=1,3-"}
                                << QStringList{"current-001.jpg", "current-003.jpg", "current-004.jpg"} << at150
                                << false << "";
    QTest::newRow("past the end") << QStringList{"RASTERWELL_PAGES=2,4-6,9-"}
                                  << QStringList{"current-002.jpg", "current-004.jpg"} << at150 << false
                                  << "past the last page (4): 5-6, 9-";
    QTest::newRow("scale-to") << QStringList{"RASTERWELL_SCALE_TO=330", "RASTERWELL_PAGES=1"}
                              << QStringList{"current-001.jpg"} << QSize(255, 330) << false << "";
    QTest::newRow("gray") << QStringList{"RASTERWELL_GRAY=1", "RASTERWELL_PAGES=4"}
                          << QStringList{"current-004.jpg"} << at150 << true << "";
    QTest::newRow("png") << QStringList{"RASTERWELL_FORMAT=png", "RASTERWELL_PAGES=2-3", "RASTERWELL_SCALE_TO=100"}
                         << QStringList{"current-002.png", "current-003.png"} << QSize(78, 100) << false << "";
    QTest::newRow("gray png") << QStringList{"RASTERWELL_FORMAT=png", "RASTERWELL_GRAY=1", "RASTERWELL_PAGES=1"}
                              << QStringList{"current-001.png"} << at150 << true << "";
}

void TestConverter::imageSettings()
{
    QFETCH(QStringList, environment);
    QFETCH(QStringList, images);
    QFETCH(QSize, size);
    QFETCH(bool, gray);
    QFETCH(QString, note);
    QVERIFY(PdfFixtures::writePdf(stage() + "/current.pdf", 4));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : environment)
        env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    const Result r = convertWith(env);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(entries(stage()), images);
    for (const QString &name : images) {
        QImageReader reader(stage() + "/" + name);
        QCOMPARE(reader.format(), name.endsWith(".png") ? QByteArray("png") : QByteArray("jpeg"));
        const QImage image = reader.read();
        QCOMPARE(image.size(), size);
        QCOMPARE(image.format() == QImage::Format_Grayscale8, gray);
        // The record names the settings, so that --update can compare them.
        QFile file(stage() + "/" + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString record = QString::fromLatin1(file.read(4096));
        QCOMPARE(record.contains(" gray=1 "), gray);
        const QString pages = environment.filter("RASTERWELL_PAGES=").value(0).section('=', 1);
        QCOMPARE(record.contains(" sel=" + pages + " "), !pages.isEmpty());
    }
    const QStringList notes = QString::fromUtf8(r.err).split(QLatin1Char('\n')).filter("past the last page");
    QCOMPARE(notes.size(), note.isEmpty() ? 0 : 1);
    if (!note.isEmpty())
        QVERIFY2(notes[0].contains(note), qPrintable(r.err));
}

void TestConverter::rendererBadCommandLine()
{
    QFETCH(QStringList, args);
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writePdf(in, 1));
    args.replaceInStrings("IN", in)
        .replaceInStrings("PREFIX", stage() + "/current")
        .replaceInStrings("DIR", stage());

    const Result r = run(renderer(), args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("usage"));
    QCOMPARE(entries(stage()), QStringList{"in.pdf"});
}

QTEST_GUILESS_MAIN(TestConverter)
#include "tst_converter.moc"
