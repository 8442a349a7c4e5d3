#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

// The files shipped beside the program agree with it: the manual page
// describes every option that --help names, and every place that records the
// version records the program's own.
class TestPackageData : public QObject {
    Q_OBJECT

    static QString sourceFile(const QString &relative)
    {
        return qEnvironmentVariable("RW_SOURCE_DIR") + "/" + relative;
    }

    static QString readText(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    // Standard output of the built program run with one argument, or a null
    // string when it does not end normally with status 0.
    static QString programOutput(const QString &argument)
    {
        QProcess p;
        p.start(qEnvironmentVariable("RW_APP_DIR") + "/rasterwell", {argument});
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return {};
        return QString::fromUtf8(p.readAllStandardOutput());
    }

    // The manual page's source as the reader sees its words: "\-" is a
    // dash, font changes vanish.
    static QString manPageText()
    {
        QString text = readText(sourceFile("data/rasterwell.1"));
        text.replace(QStringLiteral("\\-"), QStringLiteral("-"));
        text.remove(QRegularExpression(QStringLiteral("\\\\f[BIRP]")));
        return text;
    }

private slots:
    void helpOptionsInManPage_data()
    {
        QTest::addColumn<QString>("option");
        const QString help = programOutput(QStringLiteral("--help"));
        QVERIFY2(!help.isEmpty(), "rasterwell --help failed");
        // An option starts a word: one or two dashes and a letter.
        static const QRegularExpression optionPattern(
            QStringLiteral("(?:^|[\\s\\[(|,/])(--?[A-Za-z][A-Za-z0-9-]*)"));
        QStringList options;
        for (const auto &m : optionPattern.globalMatch(help))
            if (!options.contains(m.captured(1)))
                options << m.captured(1);
        QVERIFY2(options.contains(QStringLiteral("--help")), qPrintable(help));
        for (const QString &option : options)
            QTest::newRow(qPrintable(option)) << option;
    }

    void helpOptionsInManPage()
    {
        QFETCH(QString, option);
        const QString text = manPageText();
        QVERIFY2(!text.isEmpty(), "data/rasterwell.1 cannot be read");
        const QRegularExpression word("(?:^|[^A-Za-z0-9-])" + QRegularExpression::escape(option)
                                      + "(?:[^A-Za-z0-9-]|$)");
        QVERIFY2(text.contains(word),
                 qPrintable(option + " is named by --help but not in data/rasterwell.1"));
    }

    void versionEverywhere_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("pattern"); // its first capture is the version
        QTest::newRow("manual page") << "data/rasterwell.1"
                                     << "^\\.TH RASTERWELL 1 \"[^\"]*\" \"Rasterwell ([^\"]+)\"";
        QTest::newRow("AppStream, newest release") << "data/org.rasterwell.Rasterwell.metainfo.xml"
                                                   << "<release version=\"([^\"]+)\"";
        QTest::newRow("Debian changelog, newest entry") << "packaging/debian/changelog"
                                                        << "^rasterwell \\(([^)]+)\\)";
    }

    void versionEverywhere()
    {
        QFETCH(QString, file);
        QFETCH(QString, pattern);
        const QString version = programOutput(QStringLiteral("--version")).section('\n', 0, 0).trimmed();
        QVERIFY2(version.startsWith("Rasterwell "), qPrintable(version));
        const QString text = readText(sourceFile(file));
        QVERIFY2(!text.isEmpty(), qPrintable(file + " cannot be read"));
        const auto m = QRegularExpression(pattern, QRegularExpression::MultilineOption).match(text);
        QVERIFY2(m.hasMatch(), qPrintable(file + " records no version"));
        QCOMPARE(m.captured(1), version.mid(int(qstrlen("Rasterwell "))));
    }
};

QTEST_GUILESS_MAIN(TestPackageData)
#include "tst_packagedata.moc"
