#include "platform/gui/singleinstance.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/un.h>

// Which window a start hands its paths to: the display key of the channel.
class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void displayKey_data()
    {
        // Two starts, each as (platform, $WAYLAND_DISPLAY, $DISPLAY); do they
        // share one window? The runtime folder is /run/user/1000.
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<bool>("same");
        using L = QStringList;
        QTest::newRow("same display") << L{"", "", ":0"} << L{"", "", ":0"} << true;
        QTest::newRow(":0 and :0.0") << L{"", "", ":0"} << L{"", "", ":0.0"} << true;
        QTest::newRow(":0.0 and :0.1, one server") << L{"", "", ":0.0"} << L{"", "", ":0.1"} << true;
        QTest::newRow("unix:0 and :0") << L{"", "", "unix:0"} << L{"", "", ":0"} << true;
        QTest::newRow("another display") << L{"", "", ":0"} << L{"", "", ":1"} << false;
        QTest::newRow(":1 and :10") << L{"", "", ":1"} << L{"", "", ":10"} << false;
        QTest::newRow("forwarded localhost:10.0 and local :10") << L{"", "", "localhost:10.0"} << L{"", "", ":10"}
                                                                << false;
        QTest::newRow("localhost:10.0 and LOCALHOST:10") << L{"", "", "localhost:10.0"}
                                                         << L{"", "", "LOCALHOST:10"} << true;
        QTest::newRow("another host") << L{"", "", "alpha:0"} << L{"", "", "beta:0"} << false;
        QTest::newRow("a Wayland display by name and by path")
            << L{"", "wayland-0", ":0"} << L{"", "/run/user/1000/wayland-0", ":0"} << true;
        QTest::newRow("a Wayland display, path spelt loosely")
            << L{"", "wayland-1", ""} << L{"", "/run/user/1000//wayland-1", ""} << true;
        QTest::newRow("another Wayland display") << L{"", "wayland-0", ":0"} << L{"", "wayland-1", ":0"}
                                                 << false;
        QTest::newRow("Wayland, whatever X display") << L{"", "wayland-0", ":0"} << L{"", "wayland-0", ":1"}
                                                     << true;
        QTest::newRow("Wayland against its X server") << L{"", "wayland-0", ":0"} << L{"", "", ":0"} << false;
        QTest::newRow("X11 chosen: a nested X server counts")
            << L{"xcb", "wayland-0", ":0"} << L{"xcb", "wayland-0", ":2"} << false;
        QTest::newRow("X11 chosen: Wayland does not count")
            << L{"xcb", "wayland-0", ":0"} << L{"xcb", "wayland-1", ":0.0"} << true;
        QTest::newRow("Wayland chosen, default socket")
            << L{"wayland", "", ":0"} << L{"wayland-egl", "wayland-0", ":1"} << true;
        QTest::newRow("none and none") << L{"", "", ""} << L{"", "", ""} << true;
        QTest::newRow("none and a display") << L{"", "", ""} << L{"", "", ":0"} << false;
        QTest::newRow("offscreen and X11") << L{"offscreen", "", ":0"} << L{"xcb", "", ":0"} << false;
    }
    void displayKey()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(bool, same);
        const QString runtime = QStringLiteral("/run/user/1000");
        const QString a = Platform::displayKey(first[0], first[1], first[2], runtime);
        const QString b = Platform::displayKey(second[0], second[1], second[2], runtime);
        QCOMPARE(a == b, same);
        // Equal keys, equal sockets; different keys, different sockets.
        QCOMPARE(Platform::socketNameFor(a) == Platform::socketNameFor(b), same);
        const bool none = first == QStringList{"", "", ""};
        QCOMPARE(a.isEmpty(), none);
    }

    // A socket path stays within the system's limit for any display name.
    void socketNameIsShort()
    {
        const QString key = Platform::displayKey({}, QString(300, QLatin1Char('w')), {}, QStringLiteral("/run"));
        const QString name = Platform::socketNameFor(key);
        QVERIFY(name.startsWith(QStringLiteral("rasterwell-")));
        QVERIFY(name.size() < 40);
        QVERIFY(QString::fromLatin1("/run/user/4294967294/").size() + name.size() < qsizetype(sizeof(sockaddr_un::sun_path)));
    }

    // A start on another display does not find the window of the first: it
    // listens for its own display, beside it.
    void anotherDisplayListensBeside()
    {
        QTemporaryDir runtime;
        Platform::LocalInstanceChannel first(runtime.path(), QStringLiteral("x11::0"));
        QCOMPARE(first.start({}, false, {}), Platform::InstanceChannel::Outcome::Listening);
        Platform::LocalInstanceChannel second(runtime.path(), QStringLiteral("x11::1"));
        QCOMPARE(second.start({QStringLiteral("/x.pdf")}, true, {}), Platform::InstanceChannel::Outcome::Listening);
        QCOMPARE(second.problem(), QString());
        // A start without paths on the first display opens beside its window.
        Platform::LocalInstanceChannel third(runtime.path(), QStringLiteral("x11::0"));
        QCOMPARE(third.start({}, false, {}), Platform::InstanceChannel::Outcome::Alone);
    }
};

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
