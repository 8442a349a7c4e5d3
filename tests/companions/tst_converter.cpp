// The converter script ps/pdf2tiff.bat and the renderer behind it: names,
// order, sizes and content of the page images, failures, interruptions.

#include "tests/companions/companiontest.h"
#include "tests/support/pdffixtures.h"

#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

using namespace CompanionTest;

class TestConverter : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void convertsEveryPageInOrder();
    void namesHaveEnoughDigits_data();
    void namesHaveEnoughDigits();
    void pageSizeMatchesPdftoppm_data();
    void pageSizeMatchesPdftoppm();
    void failingInput_data();
    void failingInput();
    void failedPageKeepsLaterNumbers_data();
    void failedPageKeepsLaterNumbers();
    void oversizedPageIsScaledDown();
    void lostPageTreeIsRebuilt();
    void interruptedScriptLeavesNothing();
    void killedRendererLeavesOnlyCompletePages();
    void rendererBadCommandLine_data();
    void rendererBadCommandLine();

private:
    // A fresh staging folder per test function.
    QString stage() const { return tmp_->path(); }
    Result convert(const QString &script = CompanionTest::script())
    {
        return run(script, {}, stage());
    }
    QStringList pageNames(int count, int digits = 3) const
    {
        QStringList names;
        for (int i = 1; i <= count; ++i)
            names << QString("current-%1.jpg").arg(i, digits, 10, QChar('0'));
        return names;
    }

    std::unique_ptr<QTemporaryDir> tmp_;
};

void TestConverter::initTestCase()
{
    QVERIFY2(QFileInfo(script()).isExecutable(), qPrintable(script()));
    QVERIFY2(QFileInfo(renderer()).isExecutable(), qPrintable(renderer()));
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
        QSKIP("pdftoppm is the reference for page sizes");
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
            QSKIP("qpdf is needed to make an encrypted fixture");
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

void TestConverter::failedPageKeepsLaterNumbers_data()
{
    QTest::addColumn<QString>("layout"); // n: normal page, E: endless page
    QTest::addColumn<QStringList>("images");
    QTest::newRow("middle page fails")
        << "nEn" << QStringList{"current-001.jpg", "current-002.jpg", "current-003.jpg"};
    QTest::newRow("last page fails") << "nE" << QStringList{"current-001.jpg"};
}

void TestConverter::failedPageKeepsLaterNumbers()
{
    QFETCH(QString, layout);
    QFETCH(QStringList, images);
    PdfBuilder pdf;
    for (QChar c : layout) {
        if (c == 'E')
            pdf.addEndlessPage();
        else
            pdf.addPage("[0 0 612 792]");
    }
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, pdf.build()));

    const Result r = run(renderer(), {"-t", "1", in, stage() + "/current"});
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("page 2: abandoned"), r.err.constData());
    images << "in.pdf";
    QCOMPARE(entries(stage()), images);

    // A page that failed before a rendered one is a blank page of its size.
    if (layout == "nEn") {
        const QImage rendered(stage() + "/current-001.jpg");
        const QImage blank(stage() + "/current-002.jpg");
        QCOMPARE(blank.size(), rendered.size());
        QVERIFY(rendered.pixelColor(pixels(20), rendered.height() - pixels(20)).blue() > 200);
        QVERIFY(blank.pixelColor(pixels(20), blank.height() - pixels(20)).red() > 245);
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

void TestConverter::lostPageTreeIsRebuilt()
{
    // The catalog no longer names the page tree: the pages still in the
    // file are rendered in file order, and the status says the result may
    // be incomplete.
    PdfBuilder pdf;
    for (int width : {100, 150, 200})
        pdf.addPage("[0 0 " + QByteArray::number(width) + " 200]");
    QByteArray bytes = pdf.build();
    bytes.replace("/Pages 2 0 R", "/Pagez 2 0 R"); // same length: offsets stay right
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, bytes));

    const Result r = run(renderer(), {in, stage() + "/current"});
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("page tree is lost"), r.err.constData());
    const QList<int> widths{100, 150, 200};
    for (int i = 0; i < 3; ++i) {
        const JpegInfo info = inspectJpegFile(stage() + "/" + pageNames(3)[i]);
        QVERIFY(info.valid);
        QCOMPARE(QSize(info.width, info.height), QSize(pixels(widths[i]), pixels(200)));
    }
}

// A document that takes a few seconds: many large pages.
static QByteArray slowDocument()
{
    PdfBuilder pdf;
    for (int i = 0; i < 150; ++i)
        pdf.addPage("[0 0 1500 1500]", "0 0 1 rg 10 10 1400 1400 re f");
    return pdf.build();
}

static bool waitForImages(const QString &dir, int count, QProcess &p)
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

void TestConverter::interruptedScriptLeavesNothing()
{
    QVERIFY(PdfFixtures::writeBytes(stage() + "/current.pdf", slowDocument()));
    QProcess p;
    p.setWorkingDirectory(stage());
    p.start(script(), {});
    QVERIFY(p.waitForStarted());
    if (!waitForImages(stage(), 1, p))
        QSKIP("the conversion ended before it could be interrupted");
    p.terminate(); // SIGTERM
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 143);
    QCOMPARE(entries(stage()), QStringList{});
    // The renderer went with the script: nothing appears afterwards.
    QThread::msleep(300);
    QCOMPARE(entries(stage()), QStringList{});
}

void TestConverter::killedRendererLeavesOnlyCompletePages()
{
    const QString in = stage() + "/in.pdf";
    QVERIFY(PdfFixtures::writeBytes(in, slowDocument()));
    QProcess p;
    p.start(renderer(), {in, stage() + "/current"});
    QVERIFY(p.waitForStarted());
    if (!waitForImages(stage(), 3, p))
        QSKIP("the conversion ended before it could be interrupted");
    p.kill(); // SIGKILL: no chance to clean up
    QVERIFY(p.waitForFinished(30000));

    // The final names are pages 1..k without a gap, each one complete;
    // anything else is a hidden temporary name that cannot match current*.jpg.
    const QStringList images = QDir(stage()).entryList({"current*.jpg"}, QDir::Files, QDir::Name);
    QVERIFY(images.size() >= 3);
    QVERIFY(images.size() < 150);
    QCOMPARE(images, pageNames(int(images.size())));
    for (const QString &name : images)
        QVERIFY2(inspectJpegFile(stage() + "/" + name).valid, qPrintable(name));
    for (const QString &name : entries(stage()))
        QVERIFY2(name == "in.pdf" || name.startsWith("current-") || name.startsWith(".tmp-"),
                 qPrintable(name));
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
