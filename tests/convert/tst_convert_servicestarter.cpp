// The run's render service: how it is started, what the companions are
// told, and that it ends with the run.

#include "convert/servicestarter.h"
#include "tests/support/fakes.h"

#include <QtTest>

class TestRenderService : public QObject {
    Q_OBJECT

private slots:
    void startsAndNamesTheService_data()
    {
        QTest::addColumn<QByteArray>("ours"); // RASTERWELL_RENDER_SERVICE of ours
        QTest::addColumn<bool>("startFails");
        QTest::addColumn<int>("socketLength");
        QTest::addColumn<bool>("started");
        QTest::newRow("default") << QByteArray() << false << 40 << true;
        // A value of the user's own is never handed on.
        QTest::newRow("someone else's socket") << QByteArray("/tmp/x.sock") << false << 40 << true;
        QTest::newRow("turned off") << QByteArray("off") << false << 40 << false;
        QTest::newRow("cannot start") << QByteArray() << true << 40 << false;
        QTest::newRow("socket path too long") << QByteArray() << false << 108 << false;
    }
    void startsAndNamesTheService()
    {
        QFETCH(QByteArray, ours);
        QFETCH(bool, startFails);
        QFETCH(int, socketLength);
        QFETCH(bool, started);
        const QByteArray saved = qgetenv("RASTERWELL_RENDER_SERVICE");
        const bool wasSet = qEnvironmentVariableIsSet("RASTERWELL_RENDER_SERVICE");
        if (ours.isEmpty())
            qunsetenv("RASTERWELL_RENDER_SERVICE");
        else
            qputenv("RASTERWELL_RENDER_SERVICE", ours);
        const QString socket = "/w/" + QString(socketLength - 3, 's');

        Fakes::ScriptedProcesses processes;
        if (startFails)
            processes.startError = Platform::StartError::FileNotFound;
        {
            const RenderService service(processes, "/app/ps/rwrender", socket, "/w");
            QCOMPARE(service.environmentEntry(),
                     "RASTERWELL_RENDER_SERVICE=" + (started ? socket : QString("off")));
            if (ours == "off" || socketLength > 107) {
                QCOMPARE(processes.starts.size(), std::size_t(0));
            } else {
                QCOMPARE(processes.starts.size(), std::size_t(1));
                QCOMPARE(processes.starts[0].argv,
                         (QStringList{"/app/ps/rwrender", "--serve", socket}));
                QCOMPARE(processes.starts[0].workingFolder, QString("/w"));
            }
            QVERIFY(processes.terminated.empty());
        }
        // It ends with the run.
        QCOMPARE(processes.terminated,
                 started ? std::vector<qint64>{4242} : std::vector<qint64>{});

        if (wasSet)
            qputenv("RASTERWELL_RENDER_SERVICE", saved);
        else
            qunsetenv("RASTERWELL_RENDER_SERVICE");
    }

    // The service gets no more workers than the run has staging folders.
    void workersAreCappedAtTheSlots()
    {
        const QByteArray saved = qgetenv("RASTERWELL_RENDER_SERVICE");
        const bool wasSet = qEnvironmentVariableIsSet("RASTERWELL_RENDER_SERVICE");
        qunsetenv("RASTERWELL_RENDER_SERVICE");
        Fakes::ScriptedProcesses processes;
        {
            const RenderService service(processes, "/app/ps/rwrender", "/w/s.sock", "/w", 3);
            QCOMPARE(processes.starts.size(), std::size_t(1));
            QCOMPARE(processes.starts[0].argv,
                     (QStringList{"/app/ps/rwrender", "--serve", "/w/s.sock", "--workers", "3"}));
        }
        if (wasSet)
            qputenv("RASTERWELL_RENDER_SERVICE", saved);
    }
};

QTEST_GUILESS_MAIN(TestRenderService)
#include "tst_convert_servicestarter.moc"
