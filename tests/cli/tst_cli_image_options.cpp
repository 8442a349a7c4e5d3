#include "tests/cli/clitest.h"
#include "tests/support/pdffixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

// -o/--output, --pages, --scale-to, --gray and --format, with the program
// and its real companions run as they are used: a separate process without
// a display.
class TestCliImageOptions : public QObject {
    Q_OBJECT

    struct Outcome {
        int status = -1;
        QString out;
        QString err;
    };

    // Runs the built program; as `nobody` when asked and this test runs as
    // root (where file modes do not bite). Its working folder, when the
    // application folder is not writable, is `state`.
    static Outcome run(const QStringList &args, const QString &state, bool asNobody = false)
    {
        const CliTest::Finished f = CliTest::run(CliTest::builtProgram(), args,
                                                 CliTest::runEnvironment({"XDG_STATE_HOME=" + state}), asNobody);
        return {f.status, QString::fromUtf8(f.out), QString::fromUtf8(f.err)};
    }

    // Every file beneath `folder`, relative to it, sorted.
    static QStringList filesUnder(const QString &folder)
    {
        QStringList files;
        QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << QDir(folder).relativeFilePath(it.next());
        files.sort();
        return files;
    }

    // The report's lines as objects.
    static QList<QJsonObject> reportOf(const QString &out)
    {
        QList<QJsonObject> lines;
        for (const QString &line : out.split('\n', Qt::SkipEmptyParts))
            lines << QJsonDocument::fromJson(line.toUtf8()).object();
        return lines;
    }

private slots:
    // A read-only tree converted by an unprivileged user into a folder of
    // its own: the tree mirrored beneath it, nothing written in the tree.
    void outputFromReadOnlyTree()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString tree = dir.path() + "/share";
        QVERIFY(QDir().mkpath(tree + "/sub/deeper"));
        QVERIFY(PdfFixtures::writePdf(tree + "/a.pdf", 2));
        QVERIFY(PdfFixtures::writePdf(tree + "/sub/deeper/b.pdf", 1));
        QVERIFY(PdfFixtures::writePdf(dir.path() + "/c.pdf", 1));
        const QString out = dir.path() + "/out";
        const QString state = dir.path() + "/state";
        QVERIFY(QDir().mkpath(out) && QDir().mkpath(state));
        for (const QString &f : {tree + "/a.pdf", tree + "/sub/deeper/b.pdf", dir.path() + "/c.pdf"})
            QVERIFY(::chmod(QFile::encodeName(f).constData(), 0444) == 0);
        for (const QString &f : {tree + "/sub", tree, dir.path()})
            QVERIFY(::chmod(QFile::encodeName(f).constData(), 0555) == 0);
        // Closed to the group: the folders made for its document are too.
        QVERIFY(::chmod(QFile::encodeName(tree + "/sub/deeper").constData(), 0505) == 0);
        if (::geteuid() == 0)
            QVERIFY(::chown(QFile::encodeName(out).constData(), 65534, 65534) == 0
                    && ::chown(QFile::encodeName(state).constData(), 65534, 65534) == 0);

        const Outcome o = run({"--convert", "-o", out + "/", tree, dir.path() + "/c.pdf"}, state, true);
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        QVERIFY2(o.status == 0, qPrintable(o.out + o.err));
        QCOMPARE(filesUnder(out), (QStringList{"a-001.jpg", "a-002.jpg", "c-001.jpg", "sub/deeper/b-001.jpg"}));
        QCOMPARE(filesUnder(tree), (QStringList{"a.pdf", "sub/deeper/b.pdf"}));
        QImage image(out + "/sub/deeper/b-001.jpg");
        QVERIFY(!image.isNull());
        // The folders made are no more readable than the document's own.
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(out + "/sub").constData(), &st) == 0);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        QCOMPARE(st.st_mode & 0777, mode_t(0705 & ~mask));
        if (::geteuid() == 0)
            QCOMPARE(st.st_uid, uid_t(65534));
        for (const QString &f : {tree + "/sub/deeper", tree + "/sub", tree})
            ::chmod(QFile::encodeName(f).constData(), 0755);
    }

    // A link planted in the output folder is never followed; two documents
    // whose images would have the same names: the second is refused.
    void outputRefusesLinksAndClashes()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString tree = dir.path() + "/tree";
        QVERIFY(QDir().mkpath(tree + "/sub") && QDir().mkpath(dir.path() + "/elsewhere")
                && QDir().mkpath(dir.path() + "/other") && QDir().mkpath(dir.path() + "/out"));
        QVERIFY(PdfFixtures::writePdf(tree + "/sub/b.pdf", 1));
        QVERIFY(PdfFixtures::writePdf(tree + "/x.pdf", 1));
        QVERIFY(PdfFixtures::writePdf(dir.path() + "/other/x.pdf", 1));
        QVERIFY(QFile::link(dir.path() + "/elsewhere", dir.path() + "/out/sub"));

        const Outcome o = run({"--convert", "-o", dir.path() + "/out", "--report", dir.path() + "/r.jsonl", tree,
                               dir.path() + "/other/x.pdf"},
                              dir.path() + "/state");
        QCOMPARE(o.status, 1);
        QCOMPARE(filesUnder(dir.path() + "/elsewhere"), QStringList{});
        QCOMPARE(filesUnder(dir.path() + "/out"), QStringList{"x-001.jpg"});
        QFile reportFile(dir.path() + "/r.jsonl");
        QVERIFY(reportFile.open(QIODevice::ReadOnly));
        const QList<QJsonObject> report = reportOf(QString::fromUtf8(reportFile.readAll()));
        QCOMPARE(report.size(), 3);
        QMap<QString, QJsonObject> byPath;
        for (const QJsonObject &line : report)
            byPath[line["path"].toString()] = line;
        QCOMPARE(byPath[tree + "/x.pdf"]["outcome"].toString(), QString("converted"));
        QCOMPARE(byPath[tree + "/sub/b.pdf"]["outcome"].toString(), QString("failed"));
        QVERIFY2(byPath[tree + "/sub/b.pdf"]["reason"].toString().contains("link"),
                 qPrintable(byPath[tree + "/sub/b.pdf"]["reason"].toString()));
        QCOMPARE(byPath[dir.path() + "/other/x.pdf"]["outcome"].toString(), QString("refused"));
        QVERIFY2(byPath[dir.path() + "/other/x.pdf"]["reason"].toString().contains("would replace"),
                 qPrintable(byPath[dir.path() + "/other/x.pdf"]["reason"].toString()));
        QCOMPARE(byPath[tree + "/x.pdf"]["options"].toObject()["output"].toString(), dir.path() + "/out");
    }

    // A report under a page image's name in the output folder would be
    // replaced by an image: refused before anything is converted.
    void reportUnderAnImageNameInTheOutputFolder()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir().mkpath(dir.path() + "/out/sub"));
        QVERIFY(PdfFixtures::writePdf(dir.path() + "/x.pdf", 1));
        const Outcome o = run({"--convert", "-o", dir.path() + "/out", "--report", dir.path() + "/out/sub/y-001.png",
                               dir.path() + "/x.pdf"},
                              dir.path() + "/state");
        QCOMPARE(o.status, 2);
        QVERIFY2(o.err.contains("output folder"), qPrintable(o.err));
        QCOMPARE(filesUnder(dir.path() + "/out"), QStringList{});
    }

    // Only the pages asked for, under their own numbers; pages past the
    // end named once, and the document still converted.
    void pagesOfAFourPageDocument_data()
    {
        QTest::addColumn<QString>("pages");
        QTest::addColumn<QStringList>("images");
        QTest::addColumn<QString>("pastEnd"); // in the note; empty: no note
        QTest::newRow("some and an open end") << "1,3-" << QStringList{"d-001.jpg", "d-003.jpg", "d-004.jpg"} << "";
        QTest::newRow("past the end") << "2,4-9,12" << QStringList{"d-002.jpg", "d-004.jpg"} << "5-9, 12";
        QTest::newRow("all past the end") << "7-" << QStringList{} << "7-";
    }
    void pagesOfAFourPageDocument()
    {
        QFETCH(QString, pages);
        QFETCH(QStringList, images);
        QFETCH(QString, pastEnd);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(PdfFixtures::writePdf(dir.path() + "/d.pdf", 4));
        const Outcome o = run({"--convert", "--pages", pages, "--report", "-", dir.path() + "/d.pdf"},
                              dir.path() + "/state");
        QVERIFY2(o.status == 0, qPrintable(o.out + o.err));
        QCOMPARE(QDir(dir.path()).entryList({"*.jpg"}, QDir::Files, QDir::Name), images);
        const QList<QJsonObject> report = reportOf(o.out);
        QCOMPARE(report.size(), 1);
        QCOMPARE(report[0]["outcome"].toString(), QString("converted"));
        QCOMPARE(report[0]["images"].toInt(), int(images.size()));
        QCOMPARE(report[0]["options"].toObject()["pages"].toString(), pages);
        const QStringList notes = o.err.split('\n').filter("past its last page");
        QCOMPARE(notes.size(), pastEnd.isEmpty() ? 0 : 1);
        if (!pastEnd.isEmpty())
            QVERIFY2(notes[0].endsWith(": " + pastEnd), qPrintable(notes[0]));
    }

    // The images' size, channels and format, as an image reader sees them.
    void sizeColourAndFormat_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("gray");
        // A 300 x 600 point page: 313 x 625 pixels at 75 dpi.
        QTest::newRow("resolution") << QStringList{"-r", "75"} << "p-001.jpg" << QByteArray("jpeg")
                                    << QSize(313, 625) << false;
        QTest::newRow("scale-to") << QStringList{"--scale-to", "200"} << "p-001.jpg" << QByteArray("jpeg")
                                  << QSize(100, 200) << false;
        QTest::newRow("gray") << QStringList{"-r", "75", "--gray"} << "p-001.jpg" << QByteArray("jpeg")
                              << QSize(313, 625) << true;
        QTest::newRow("png") << QStringList{"--scale-to", "120", "--format", "png"} << "p-001.png"
                             << QByteArray("png") << QSize(60, 120) << false;
        QTest::newRow("gray png") << QStringList{"--scale-to", "120", "--format", "png", "--gray"} << "p-001.png"
                                  << QByteArray("png") << QSize(60, 120) << true;
    }
    void sizeColourAndFormat()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, image);
        QFETCH(QByteArray, format);
        QFETCH(QSize, size);
        QFETCH(bool, gray);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(PdfFixtures::writePdf(dir.path() + "/p.pdf", 1, {300, 600}));
        const Outcome o = run(QStringList{"--convert"} + options + QStringList{dir.path() + "/p.pdf"},
                              dir.path() + "/state");
        QVERIFY2(o.status == 0, qPrintable(o.out + o.err));
        QCOMPARE(QDir(dir.path()).entryList({"p-*"}, QDir::Files), QStringList{image});
        QImageReader reader(dir.path() + "/" + image);
        QCOMPARE(reader.format(), format);
        const QImage read = reader.read();
        QVERIFY(!read.isNull());
        QCOMPARE(read.size(), size);
        QCOMPARE(read.format() == QImage::Format_Grayscale8, gray);
    }

    // --update: a document converted with other images settings, or into
    // another folder, is converted again; with the same, it is up to date.
    void updateTakesTheOptionsIntoAccount_data()
    {
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<QString>("outcome");
        const QStringList pages{"--pages", "1-2"};
        QTest::newRow("same pages") << pages << pages << "up-to-date";
        QTest::newRow("other pages") << pages << QStringList{"--pages", "1"} << "converted";
        QTest::newRow("every page") << pages << QStringList{} << "converted";
        QTest::newRow("same scale") << QStringList{"--scale-to", "90"} << QStringList{"--scale-to", "90"}
                                    << "up-to-date";
        QTest::newRow("other scale") << QStringList{"--scale-to", "90"} << QStringList{"--scale-to", "80"}
                                     << "converted";
        QTest::newRow("gray") << QStringList{"-r", "20"} << QStringList{"-r", "20", "--gray"} << "converted";
        QTest::newRow("png, another quality") << QStringList{"-r", "20", "--format", "png"}
                                              << QStringList{"-r", "20", "--format", "png", "-q", "50"}
                                              << "up-to-date";
        QTest::newRow("png after jpg") << QStringList{"-r", "20"} << QStringList{"-r", "20", "--format", "png"}
                                       << "converted";
        QTest::newRow("same output folder") << QStringList{"-r", "20", "-o", "%D/out"}
                                            << QStringList{"-r", "20", "-o", "%D/out"} << "up-to-date";
        QTest::newRow("images elsewhere") << QStringList{"-r", "20", "-o", "%D/out"} << QStringList{"-r", "20"}
                                          << "converted";
    }
    void updateTakesTheOptionsIntoAccount()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(QString, outcome);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(PdfFixtures::writePdf(dir.path() + "/u.pdf", 3));
        first.replaceInStrings("%D", dir.path());
        second.replaceInStrings("%D", dir.path());
        const QString document = dir.path() + "/u.pdf";
        const Outcome before = run(QStringList{"--convert"} + first + QStringList{document}, dir.path() + "/state");
        QVERIFY2(before.status == 0, qPrintable(before.out + before.err));
        const Outcome after = run(QStringList{"--convert", "--update", "--report", "-"} + second
                                      + QStringList{document},
                                  dir.path() + "/state");
        QVERIFY2(after.status == 0, qPrintable(after.out + after.err));
        const QList<QJsonObject> report = reportOf(after.out);
        QCOMPARE(report.size(), 1);
        QCOMPARE(report[0]["outcome"].toString(), outcome);
    }
};

QTEST_GUILESS_MAIN(TestCliImageOptions)
#include "tst_cli_image_options.moc"
