// The companions on the shared corpus of public PDF files (skipped when the
// corpus is not checked out beside the repository): the probe's verdict
// against the manifest, and every readable file converted to its pages or
// failing cleanly.

#include "tests/companions/companiontest.h"

#include <QHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace CompanionTest;

namespace {

struct Entry {
    QString path;  // relative to the corpus folder
    int pages = -1; // -1: unknown
    bool needsPassword = false;
    bool rendersOk = false; // the manifest says its pages can be rendered
};

// Files on which the tools disagree; the probe's answer and the reason.
// Readable: only embedded files are encrypted (streams and strings use the
// Identity crypt filter), so the pages need no key and render exactly.
// Readable: a 91-byte junk fragment is damaged, not protected; the
// converter then fails on it. Protected: issue15893_reduced's /Encrypt
// (RC4, user password "test") is real; qpdf loses it while repairing the
// broken startxref, but its content is encrypted and would render as
// garbage.
const QHash<QString, bool> contested{
    {"qpdf-qtest/enc-XI-R6,V5,U=attachment,encrypted-attachments.pdf", false},
    {"qpdf-qtest/nontrivial-crypt-filter.pdf", false},
    {"qpdf-qtest/issue-147.pdf", false},
    {"pdfjs-test/issue15893_reduced.pdf", true},
};

// Renderable files that lost part of their structure: the pages still in
// the file come out (status 1: the page count cannot be trusted).
// unreadablemetadata's page tree object is gone; 3 of its 4 page objects
// are left.
const QHash<QString, int> partial{
    {"py-pdf-sample-files/017-unreadable-meta-data/unreadablemetadata.pdf", 3},
};

QString corpusDir()
{
    return qEnvironmentVariable("RW_SOURCE_DIR") + "/../shared/corpus";
}

QList<Entry> manifest()
{
    QList<Entry> list;
    QFile f(corpusDir() + "/manifest.tsv");
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return list;
    f.readLine(); // header
    while (!f.atEnd()) {
        const QList<QByteArray> cols = f.readLine().split('\t');
        if (cols.size() < 3)
            continue;
        bool ok = false;
        const int pages = cols[1].toInt(&ok);
        list.append({QString::fromUtf8(cols[0]), ok ? pages : -1, cols[2] == "yes",
                     cols.size() > 3 && cols[3] == "yes"});
    }
    return list;
}

} // namespace

class TestCorpus : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void probeVerdict_data();
    void probeVerdict();
    void conversion_data();
    void conversion();

private:
    QTemporaryDir dir_;
};

void TestCorpus::initTestCase()
{
    if (manifest().isEmpty())
        QSKIP("no corpus beside the repository");
    QVERIFY(dir_.isValid());
}

void TestCorpus::probeVerdict_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("protectedExpected");
    for (const Entry &e : manifest())
        QTest::newRow(qPrintable(e.path))
            << e.path << contested.value(e.path, e.needsPassword);
}

void TestCorpus::probeVerdict()
{
    QFETCH(QString, path);
    QFETCH(bool, protectedExpected);
    const QString result = dir_.filePath("2348239bbb.txt");
    QFile::remove(result);
    const Result r = run(probe(), {corpusDir() + "/" + path, "data_dump", "output", result,
                                   "dont_ask"});
    QVERIFY(r.finished);
    QCOMPARE(!QFile::exists(result), protectedExpected);
    QCOMPARE(r.exitCode != 0, protectedExpected);
}

void TestCorpus::conversion_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("pages");
    QTest::addColumn<bool>("protectedExpected");
    QTest::addColumn<bool>("rendersOk");
    for (const Entry &e : manifest())
        QTest::newRow(qPrintable(e.path))
            << e.path << e.pages << contested.value(e.path, e.needsPassword) << e.rendersOk;
}

void TestCorpus::conversion()
{
    QFETCH(QString, path);
    QFETCH(int, pages);
    QFETCH(bool, protectedExpected);
    QFETCH(bool, rendersOk);
    QTemporaryDir stage;
    QVERIFY(QFile::copy(corpusDir() + "/" + path, stage.filePath("current.pdf")));
    QFile::setPermissions(stage.filePath("current.pdf"), QFile::ReadOwner | QFile::WriteOwner);

    const Result r = run(script(), {}, stage.path());
    QVERIFY(r.finished);
    QVERIFY(!QFile::exists(stage.filePath("current.pdf")));
    const QStringList all = entries(stage.path());
    QStringList images = all.filter(QRegularExpression("^current-\\d+\\.jpg$"));
    QCOMPARE(all, images); // no temporary files left

    // Every image is a valid JPEG named after a page of the document (a
    // failed page is missing, never filled in).
    const int digits = pages >= 1000 ? 4 : 3;
    for (const QString &name : images) {
        QCOMPARE(name.size(), int(qstrlen("current-.jpg")) + digits);
        const int number = name.mid(8, digits).toInt();
        QVERIFY2(number >= 1 && (pages < 0 || number <= pages), qPrintable(name));
        QVERIFY2(inspectJpegFile(stage.filePath(name)).valid, qPrintable(name));
    }
    if (protectedExpected) {
        // What the probe calls protected must never come out as pages.
        QVERIFY(r.exitCode != 0);
        QCOMPARE(images.size(), 0);
    } else if (partial.contains(path)) {
        QCOMPARE(r.exitCode, 1);
        QCOMPARE(int(images.size()), partial.value(path));
    } else if (rendersOk && pages > 0) {
        // Damaged or not, every page of a renderable file comes out.
        QVERIFY2(r.exitCode == 0, r.err.constData());
        QCOMPARE(int(images.size()), pages);
    } else if (r.exitCode == 0 && pages > 0) {
        QCOMPARE(int(images.size()), pages);
    } else if (r.exitCode != 0) {
        QVERIFY(!r.err.isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestCorpus)
#include "tst_corpus.moc"
