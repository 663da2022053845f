#include "Netio.h"
#include "TestLog.h"

#include <QtNetwork>
#include <QtTest>

// Keeps every delivered message as the hook saw it: the length is taken from the message's own header.
class RecordingLink : public CNetio {
public:
    QList<QByteArray> messages;

protected:
    void ParseTcpMsg(quint8* pMsg) override
    {
        // The low 13 bits of the little-endian header; 0 stands for the largest message.
        const int length = (pMsg[0] | pMsg[1] << 8) & 0x1FFF;
        messages << QByteArray(reinterpret_cast<const char*>(pMsg), length == 0 ? 8194 : length);
    }
};

// Lengths above 4095 need the 13th length bit; their type bits (5 and 7) must not count as length.
const QByteArray k4096 = QByteArray::fromHex("00b0") + QByteArray(4094, '\x11');
const QByteArray k8191 = QByteArray::fromHex("ffff") + QByteArray(8189, '\x22');

class tst_Netio : public QObject {
    Q_OBJECT
private slots:
    void init() { m_Log.start(); }
    void cleanup() { m_Log.stop(); }

    void framer_data()
    {
        QTest::addColumn<QByteArrayList>("passes");
        QTest::addColumn<QVector<int>>("deliveredAfterPass");
        QTest::addColumn<QByteArrayList>("expected");

        const QByteArray six = QByteArray::fromHex("062001020304");
        QByteArrayList bytes;
        for (char c : six)
            bytes << QByteArray(1, c);
        QTest::addRow("one byte per pass") << bytes << QVector<int>{0, 0, 0, 0, 0, 1} << QByteArrayList{six};

        const QByteArray a = QByteArray::fromHex("04000100");
        const QByteArray b = QByteArray::fromHex("0560040007");
        QTest::addRow("two and the first byte of a third")
            << QByteArrayList{a + b + QByteArray::fromHex("02"), QByteArray::fromHex("e0")} << QVector<int>{2, 3}
            << QByteArrayList{a, b, QByteArray::fromHex("02e0")};
        QTest::addRow("header only") << QByteArrayList{QByteArray::fromHex("0260")} << QVector<int>{1}
                                     << QByteArrayList{QByteArray::fromHex("0260")};

        // The second pass ends on the first header byte of the next message.
        QByteArray big = QByteArray::fromHex("0080") + QByteArray(8192, '\x5a');
        big[8193] = '\x7e';
        QTest::addRow("length 0 is 8194") << QByteArrayList{big.left(8193), big.mid(8193) + QByteArray::fromHex("02"), QByteArray::fromHex("60")}
                                          << QVector<int>{0, 1, 2} << QByteArrayList{big, QByteArray::fromHex("0260")};

        QTest::addRow("lengths 4096 and 8191") << QByteArrayList{k4096 + k8191.left(4000), k8191.mid(4000) + a}
                                               << QVector<int>{1, 3} << QByteArrayList{k4096, k8191, a};
    }

    void framer()
    {
        QFETCH(QByteArrayList, passes);
        QFETCH(QVector<int>, deliveredAfterPass);
        QFETCH(QByteArrayList, expected);

        RecordingLink link;
        for (int i = 0; i < passes.size(); ++i) {
            link.FrameBytes(reinterpret_cast<const quint8*>(passes[i].constData()), passes[i].size());
            QCOMPARE(link.messages.size(), deliveredAfterPass[i]);
        }
        QCOMPARE(link.messages, expected);
    }

    void realPeer()
    {
        QTcpServer server;
        RecordingLink link;
        QTcpSocket* peer = connectPair(server, link);
        QVERIFY2(peer, qPrintable(server.errorString()));

        // SendTcpMsg writes the header's length and nothing of the bytes behind it.
        const QByteArray ten = QByteArray::fromHex("0ae00102030405060708");
        for (const QByteArray& m : {ten, k4096, k8191})
            link.SendTcpMsg(reinterpret_cast<const quint8*>((m + QByteArray(8, '\xEE')).constData()));
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += peer->readAll()).size() >= 10 + 4096 + 8191, 5000);
        QCOMPARE(got, ten + k4096 + k8191);

        // Three 8194-byte messages in one write: more than one 9999-byte read piece waiting at once.
        QByteArray burst;
        for (int i = 0; i < 3; ++i)
            burst += QByteArray::fromHex("0080") + QByteArray(8192, char('a' + i));
        peer->write(burst);
        QTRY_COMPARE_WITH_TIMEOUT(link.messages.size(), 3, 5000);
        QCOMPARE(link.messages[2].size(), 8194);
        QCOMPARE(link.messages[2].at(8193), 'c');
    }

    void supervision_data()
    {
        QTest::addColumn<bool>("answer");  // after 40 ticks, which reloads the supervision
        QTest::addRow("silent from the connection") << false;
        QTest::addRow("answer after 40 ticks") << true;
    }

    void supervision()
    {
        QFETCH(bool, answer);
        QTcpServer server;
        RecordingLink link;
        link.findChild<QTimer*>()->stop();  // ticks by hand so the count is exact
        QTcpSocket* peer = connectPair(server, link);
        QVERIFY2(peer, qPrintable(server.errorString()));

        if (answer) {
            for (int tick = 0; tick < 40; ++tick)
                link.OnTimer();
            peer->write(QByteArray::fromHex("0500050000"));
            QTRY_COMPARE_WITH_TIMEOUT(link.messages.size(), 1, 5000);
        }
        for (int tick = 0; tick < 50; ++tick)
            link.OnTimer();
        QCOMPARE(m_Log.count(QStringLiteral("TCP_Connect_Timeout")), 0);
        link.OnTimer();
        QCOMPARE(m_Log.count(QStringLiteral("TCP_Connect_Timeout")), 1);
        QTRY_COMPARE_WITH_TIMEOUT(peer->state(), QAbstractSocket::UnconnectedState, 5000);

        // A dropped link is not supervised any more.
        for (int tick = 0; tick < 100; ++tick)
            link.OnTimer();
        QCOMPARE(m_Log.count(QStringLiteral("TCP_Connect_Timeout")), 1);
    }

private:
    // Connects `link` to a fresh server and returns the server's end of the connection.
    static QTcpSocket* connectPair(QTcpServer& server, RecordingLink& link)
    {
        if (!server.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0))
            return nullptr;
        link.m_IPAdr = server.serverAddress();
        link.m_Port = server.serverPort();
        link.ConnectTcp();
        if (!server.waitForNewConnection(5000))
            return nullptr;
        QTcpSocket* peer = server.nextPendingConnection();
        return QTest::qWaitFor([&] { return link.m_TcpState == 2; }, 5000) ? peer : nullptr;
    }
    TestLog m_Log;
};

QTEST_GUILESS_MAIN(tst_Netio)
#include "tst_netio.moc"
