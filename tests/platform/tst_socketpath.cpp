#include "platform/pathcodec.h"
#include "platform/socketpath.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// Which socket paths fit a Unix socket's address: counted in bytes, as the
// path is encoded for the system, and checked against a real bind.
class TestSocketPath : public QObject {
    Q_OBJECT

private slots:
    void fitsSocketAddress_data()
    {
        QTest::addColumn<QString>("filler");   // repeated to reach the length
        QTest::addColumn<int>("bytes");        // the whole path's length in bytes
        QTest::addColumn<bool>("fits");
        QTest::newRow("107 bytes") << "x" << 107 << true;
        QTest::newRow("108 bytes") << "x" << 108 << false;
        QTest::newRow("two-byte characters, 107 bytes") << QString::fromUtf8("\xc3\xa9") << 107 << true;
        QTest::newRow("two-byte characters, 108 bytes") << QString::fromUtf8("\xc3\xa9") << 108 << false;
        QTest::newRow("undecodable bytes, 107 bytes") << Platform::decodePath("\xff") << 107 << true;
        QTest::newRow("undecodable bytes, 108 bytes") << Platform::decodePath("\xff") << 108 << false;
    }
    void fitsSocketAddress()
    {
        QFETCH(QString, filler);
        QFETCH(int, bytes);
        QFETCH(bool, fits);
        QTemporaryDir dir(QStringLiteral("/tmp/rw-sock-XXXXXX"));
        QVERIFY(dir.isValid());
        QString path = dir.path() + QLatin1Char('/');
        const qsizetype fillerBytes = Platform::encodePath(filler).size();
        while (Platform::encodePath(path).size() + fillerBytes <= bytes)
            path += filler;
        while (Platform::encodePath(path).size() < bytes)
            path += QLatin1Char('x');
        QCOMPARE(Platform::encodePath(path).size(), bytes);
        QCOMPARE(Platform::fitsSocketAddress(path), fits);

        // A path that fits binds; one that does not cannot even be named.
        const QByteArray encoded = Platform::encodePath(path);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        QCOMPARE(size_t(encoded.size()) < sizeof address.sun_path, fits);
        if (!fits)
            return;
        std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()) + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        const int bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        const int bindError = errno;
        ::close(fd);
        QVERIFY2(bound == 0, std::strerror(bindError));
    }
};

QTEST_GUILESS_MAIN(TestSocketPath)
#include "tst_socketpath.moc"
