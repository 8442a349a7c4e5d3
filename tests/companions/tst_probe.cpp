// The password probe pdftk.exe: which documents get a result file, what the
// file says, how bad command lines are refused; and how the probe and the
// renderer refuse documents that are no regular file.

#include "tests/companions/companiontest.h"
#include "tests/support/pdffixtures.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace CompanionTest;

class TestProbe : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void verdict_data();
    void verdict();
    void resultFileContent();
    void badCommandLine_data();
    void badCommandLine();
    void notReadable_data();
    void notReadable();

private:
    QTemporaryDir dir_;
};

void TestProbe::initTestCase()
{
    QVERIFY(dir_.isValid());
    QVERIFY2(QFileInfo(probe()).isExecutable(), qPrintable(probe()));
}

enum class Fixture { Plain, RepairableXref, Truncated, ZeroBytes, Text, Rc4User, Aes256User,
                     Rc4OwnerOnly, Aes256OwnerOnly };
Q_DECLARE_METATYPE(Fixture)

void TestProbe::verdict_data()
{
    QTest::addColumn<Fixture>("fixture");
    QTest::addColumn<bool>("readable"); // a result file is expected
    QTest::addColumn<int>("pages");     // NumberOfPages in it

    QTest::newRow("plain") << Fixture::Plain << true << 3;
    QTest::newRow("wrong xref offset, repaired") << Fixture::RepairableXref << true << 3;
    // Files that cannot be parsed are not "protected": they get a result
    // file and the converter reports the failure.
    QTest::newRow("truncated") << Fixture::Truncated << true << 0;
    QTest::newRow("zero bytes") << Fixture::ZeroBytes << true << 0;
    QTest::newRow("text file") << Fixture::Text << true << 0;
    QTest::newRow("RC4 user password") << Fixture::Rc4User << false << 0;
    QTest::newRow("AES-256 user password") << Fixture::Aes256User << false << 0;
    QTest::newRow("RC4 owner password only") << Fixture::Rc4OwnerOnly << true << 3;
    QTest::newRow("AES-256 owner password only") << Fixture::Aes256OwnerOnly << true << 3;
}

void TestProbe::verdict()
{
    QFETCH(Fixture, fixture);
    QFETCH(bool, readable);
    QFETCH(int, pages);

    const QString base = dir_.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'));
    QVERIFY(QDir().mkpath(base));
    const QString doc = base + "/doc.pdf";
    const QString plain = base + "/plain.pdf";
    const QByteArray pdf = PdfFixtures::makePdf(3);
    QVERIFY(PdfFixtures::writeBytes(plain, pdf));

    switch (fixture) {
    case Fixture::Plain:
        QVERIFY(QFile::copy(plain, doc));
        break;
    case Fixture::RepairableXref: {
        QByteArray broken = pdf;
        const qsizetype at = broken.lastIndexOf("startxref\n") + 10;
        broken.replace(at, broken.indexOf('\n', at) - at, "17");
        QVERIFY(PdfFixtures::writeBytes(doc, broken));
        break;
    }
    case Fixture::Truncated:
        QVERIFY(PdfFixtures::writeBytes(doc, pdf.left(40)));
        break;
    case Fixture::ZeroBytes:
        QVERIFY(PdfFixtures::writeBytes(doc, {}));
        break;
    case Fixture::Text:
        QVERIFY(PdfFixtures::writeBytes(doc, "Just a note, not a PDF.\n"));
        break;
    case Fixture::Rc4User:
    case Fixture::Aes256User:
    case Fixture::Rc4OwnerOnly:
    case Fixture::Aes256OwnerOnly: {
        if (!haveTool("qpdf"))
            QFAIL("qpdf is needed to make encrypted fixtures (scripts/setup.sh installs it)");
        const bool aes = fixture == Fixture::Aes256User || fixture == Fixture::Aes256OwnerOnly;
        const bool user = fixture == Fixture::Rc4User || fixture == Fixture::Aes256User;
        QVERIFY(qpdfEncrypt(plain, doc, user ? "secret" : "", "owner", aes ? "256" : "128",
                            aes ? QStringList{} : QStringList{"--use-aes=n"}));
        break;
    }
    }

    const QString result = base + "/2348239bbb.txt";
    const Result r = run(probe(), {doc, "data_dump", "output", result, "dont_ask"});
    QVERIFY(r.finished);
    QCOMPARE(QFile::exists(result), readable);
    QCOMPARE(r.exitCode == 0, readable);
    if (readable) {
        QFile f(result);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().contains("NumberOfPages: " + QByteArray::number(pages) + "\n"));
    } else {
        QVERIFY(!r.err.isEmpty());
    }
    // Nothing else appears beside the result (no temporary files).
    QStringList expected{"doc.pdf", "plain.pdf"};
    if (readable)
        expected << "2348239bbb.txt";
    expected.sort();
    QCOMPARE(entries(base), expected);
}

void TestProbe::resultFileContent()
{
    // Document and result paths with spaces, double quotes and non-ASCII
    // letters each arrive as one argument; the title is decoded from
    // PDFDocEncoding to UTF-8; an old result file is replaced.
    const QString folder = dir_.filePath(QString::fromUtf8("Berichte für \"Jürgen\" 2024"));
    QVERIFY(QDir().mkpath(folder));
    const QString doc = folder + QString::fromUtf8("/Ångström \"draft\" – ñ.pdf");
    QByteArray pdf = PdfFixtures::makePdf(2);
    pdf.replace("/Root 1 0 R >>", "/Root 1 0 R /Info << /Title (Caf\\351 report)"
                                  " /Author (A. Person\\nSecond line) >> >>");
    QVERIFY(PdfFixtures::writeBytes(doc, pdf));
    const QString result = folder + "/result file.txt";
    QVERIFY(PdfFixtures::writeBytes(result, "stale content\n"));

    const Result r = run(probe(), {doc, "data_dump", "output", result, "dont_ask"});
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 0);
    QFile f(result);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(f.readAll());
    QVERIFY2(text.contains(QString::fromUtf8("InfoKey: Title\nInfoValue: Café report\n")),
             qPrintable(text));
    // A line break inside a value cannot start a new key.
    QVERIFY2(text.contains("InfoValue: A. Person Second line\n"), qPrintable(text));
    QVERIFY(text.contains("NumberOfPages: 2\n"));
    QVERIFY(!text.contains("stale"));
    QCOMPARE(entries(folder).size(), 2);
}

void TestProbe::badCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no arguments") << QStringList{};
    QTest::newRow("document only") << QStringList{"DOC"};
    QTest::newRow("no dont_ask") << QStringList{"DOC", "data_dump", "output", "RESULT"};
    QTest::newRow("extra argument")
        << QStringList{"DOC", "data_dump", "output", "RESULT", "dont_ask", "more"};
    QTest::newRow("other operation") << QStringList{"DOC", "dump_data", "output", "RESULT", "dont_ask"};
    QTest::newRow("empty document") << QStringList{"", "data_dump", "output", "RESULT", "dont_ask"};
}

void TestProbe::badCommandLine()
{
    QFETCH(QStringList, args);
    const QString doc = dir_.filePath("usage.pdf");
    const QString result = dir_.filePath("usage-result.txt");
    QVERIFY(PdfFixtures::writePdf(doc, 1));
    args.replaceInStrings("DOC", doc).replaceInStrings("RESULT", result);

    const Result r = run(probe(), args);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("usage"));
    QVERIFY(!QFile::exists(result));
}

Q_DECLARE_METATYPE(NotReadable)

void TestProbe::notReadable_data()
{
    QTest::addColumn<NotReadable>("kind");
    QTest::addColumn<bool>("probe"); // else the renderer
    const QList<std::pair<const char *, NotReadable>> kinds{
        {"FIFO", NotReadable::Fifo},
        {"link to /dev/zero", NotReadable::LinkToDevZero},
        {"folder", NotReadable::Folder},
        {"no read permission", NotReadable::NoPermission},
        {"missing", NotReadable::Missing}};
    for (const auto &[name, kind] : kinds) {
        QTest::addRow("probe: %s", name) << kind << true;
        QTest::addRow("renderer: %s", name) << kind << false;
    }
}

void TestProbe::notReadable()
{
    // A FIFO would block a reader that opens it normally, /dev/zero would
    // feed it forever: both must be refused at once, with exit 4 from the
    // probe (1 from the renderer), one line saying why and nothing written.
    QFETCH(NotReadable, kind);
    QFETCH(bool, probe);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString doc = dir.filePath("x.pdf");
    QVERIFY(makeNotReadable(kind, doc));
    const QString result = dir.filePath("2348239bbb.txt");
    const QStringList args = probe ? QStringList{doc, "data_dump", "output", result, "dont_ask"}
                                   : QStringList{doc, dir.filePath("current")};
    QStringList command = kind == NotReadable::NoPermission
                              ? asUser(probe ? CompanionTest::probe() : renderer(), args)
                              : QStringList{probe ? CompanionTest::probe() : renderer()} + args;

    const Result r = run(command.takeFirst(), command, {}, 20000);
    QVERIFY(r.finished);
    QCOMPARE(r.exitCode, probe ? 4 : 1);
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.contains(QFile::encodeName(doc) + ": cannot read: "), r.err.constData());
    QStringList left = entries(dir.path());
    left.removeAll("x.pdf");
    QCOMPARE(left, QStringList{});
}

QTEST_GUILESS_MAIN(TestProbe)
#include "tst_probe.moc"
