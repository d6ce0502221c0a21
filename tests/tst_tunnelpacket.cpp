#include "rawsockets.h"
#include "tunnel/tunnelpacket.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QMutex>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

QByteArray frame(const QByteArray &json, const QByteArray &data)
{
    return intToBytes(json.size()) + intToBytes(data.size()) + json + data;
}

QByteArray header(qint32 jsonLength, qint32 dataLength)
{
    return intToBytes(jsonLength) + intToBytes(dataLength);
}

// Feeds one read's worth of bytes to the reader, as a socket's readyRead would.
bool feed(TunnelPacket &reader, const QByteArray &bytes)
{
    QBuffer device;
    device.setData(bytes);
    device.open(QIODevice::ReadOnly);
    const bool ok = reader.UnPacket(&device);
    if (device.bytesAvailable() != 0)
        qWarning("reader left bytes in the device");
    return ok;
}

QList<QByteArray> frames(const QSignalSpy &spy)
{
    QList<QByteArray> out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toByteArray();
    return out;
}

} // namespace

class TstTunnelPacket : public QObject
{
    Q_OBJECT

private slots:
    void integerConversions_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("zero") << 0 << QByteArray::fromHex("00000000");
        QTest::newRow("24") << 24 << QByteArray::fromHex("00000018");
        QTest::newRow("multi-byte") << 0x01020304 << QByteArray::fromHex("01020304");
        QTest::newRow("max") << 0x7fffffff << QByteArray::fromHex("7fffffff");
        QTest::newRow("minus one") << -1 << QByteArray::fromHex("ffffffff");
        QTest::newRow("min") << int(0x80000000) << QByteArray::fromHex("80000000");
    }
    void integerConversions()
    {
        QFETCH(int, value);
        QFETCH(QByteArray, bytes);
        QCOMPARE(intToBytes(value), bytes);
        QCOMPARE(bytesToInt(bytes), value);
        QCOMPARE(bytesToInt(bytes + "tail"), value); // only the first four bytes count
    }

    void shortInputReadsAsZero() { QCOMPARE(bytesToInt(QByteArray::fromHex("0102")), 0); }

    void heartbeatFrameIsExact()
    {
        QJsonObject heart;
        heart.insert("type", "HEART");
        const QByteArray bytes =
            TunnelPacket(heart, "heart", static_cast<QTcpSocket *>(nullptr), nullptr).frameBytes();
        const QByteArray expected = QByteArray::fromHex("0000001800000005") +
                                    QByteArray("{\n    \"type\": \"HEART\"\n}\n") + "heart";
        QCOMPARE(bytes.size(), 37);
        QCOMPARE(bytes, expected);
    }

    void jsonMembersSortedAndIndented()
    {
        QJsonObject login;
        login.insert("version", "1.0.0");
        login.insert("uuid", "{u}");
        login.insert("type", "LOGIN");
        login.insert("token", "tök");
        QCOMPARE(TunnelPacket::jsonText(login),
                 QByteArray("{\n    \"token\": \"t\xc3\xb6k\",\n    \"type\": \"LOGIN\",\n"
                            "    \"uuid\": \"{u}\",\n    \"version\": \"1.0.0\"\n}\n"));
        QJsonObject conn;
        conn.insert("uid", "");
        conn.insert("type", "CONN");
        QCOMPARE(TunnelPacket::jsonText(conn),
                 QByteArray("{\n    \"type\": \"CONN\",\n    \"uid\": \"\"\n}\n"));
    }

    void sendOnQtSocket()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress("127.0.0.10"), 0));
        QTcpSocket client;
        client.connectToHost(server.serverAddress(), server.serverPort());
        QVERIFY(client.waitForConnected(3000));
        QVERIFY(server.waitForNewConnection(3000));
        QTcpSocket *peer = server.nextPendingConnection();
        QVERIFY(peer);

        QMutex mutex;
        QJsonObject conn;
        conn.insert("type", "CONN");
        conn.insert("uid", "abc");
        TunnelPacket packet(conn, "conn", &client, &mutex);
        const QByteArray expected = packet.frameBytes();
        packet.SendPacket();
        QTRY_COMPARE_WITH_TIMEOUT(peer->bytesAvailable(), qint64(expected.size()), 5000);
        QCOMPARE(peer->readAll(), expected);
        QVERIFY(mutex.tryLock()); // released after the write
        mutex.unlock();
    }

    void sendOnRawSocketUnderMutex()
    {
        SOCKET fds[2];
        QVERIFY(rawsock::pair(fds));
        QMutex mutex;
        QJsonObject heart;
        heart.insert("type", "HEART");
        TunnelPacket packet(heart, "heart", fds[0], &mutex);
        const QByteArray expected = packet.frameBytes();

        // While someone else holds the session's lock, the frame must not go out.
        mutex.lock();
        std::atomic<bool> sent{false};
        std::thread sender([&] {
            packet.SendPacket();
            sent = true;
        });
        QTest::qWait(100);
        QVERIFY(!sent.load());
        mutex.unlock();
        sender.join();
        QVERIFY(sent.load());
        QCOMPARE(rawsock::recvExactly(fds[1], expected.size()), expected);
        rawsock::close(fds[0]);
        rawsock::close(fds[1]);
    }

    void twoFramesInOneRead()
    {
        TunnelPacket reader;
        QSignalSpy spy(&reader, &TunnelPacket::packetSignal);
        const QByteArray a = frame("{\"type\":\"HEART\"}", "x");
        const QByteArray b = frame("{\"type\":\"CONN\",\"uid\":\"1\"}", "");
        QVERIFY(feed(reader, a + b));
        QCOMPARE(frames(spy), (QList<QByteArray>{a, b}));
        QCOMPARE(reader.bufferedBytes(), 0);
    }

    void frameSplitEverywhere()
    {
        const QByteArray a = frame("{\"type\":\"HEART\"}", "heart");
        // Every split point, the header included, and a byte-by-byte feed.
        for (int cut = 1; cut < a.size(); ++cut) {
            TunnelPacket reader;
            QSignalSpy spy(&reader, &TunnelPacket::packetSignal);
            QVERIFY(feed(reader, a.left(cut)));
            QCOMPARE(spy.count(), 0);
            QVERIFY(feed(reader, a.mid(cut)));
            QCOMPARE(frames(spy), QList<QByteArray>{a});
        }
        TunnelPacket reader;
        QSignalSpy spy(&reader, &TunnelPacket::packetSignal);
        for (char c : a)
            QVERIFY(feed(reader, QByteArray(1, c)));
        QCOMPARE(frames(spy), QList<QByteArray>{a});
    }

    void frameFollowedByStartOfNext()
    {
        TunnelPacket reader;
        QSignalSpy spy(&reader, &TunnelPacket::packetSignal);
        const QByteArray a = frame("{\"a\":1}", "");
        const QByteArray b = frame("{\"b\":2}", "data");
        QVERIFY(feed(reader, a + b.left(5)));
        QCOMPARE(frames(spy), QList<QByteArray>{a});
        QCOMPARE(reader.bufferedBytes(), 5);
        QVERIFY(feed(reader, b.mid(5)));
        QCOMPARE(frames(spy), (QList<QByteArray>{a, b}));
    }

    void emptyFrameWaitsForMoreBytes()
    {
        TunnelPacket reader;
        QSignalSpy spy(&reader, &TunnelPacket::packetSignal);
        const QByteArray empty = header(0, 0);
        QVERIFY(feed(reader, empty));
        QCOMPARE(spy.count(), 0);
        QCOMPARE(reader.bufferedBytes(), 8);
        const QByteArray next = frame("{}", "");
        QVERIFY(feed(reader, next));
        QCOMPARE(frames(spy), (QList<QByteArray>{empty, next}));
    }

    void emptyDeviceIsLeftAlone()
    {
        TunnelPacket reader;
        QSignalSpy spy(&reader, &TunnelPacket::packetSignal);
        QVERIFY(feed(reader, header(0, 0)));
        QVERIFY(feed(reader, QByteArray()));
        QCOMPARE(spy.count(), 0);
        QCOMPARE(reader.bufferedBytes(), 8);
        QVERIFY(reader.UnPacket(nullptr));
    }

    void hostileHeaders_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("negative json length") << header(-1, 0) + "x";
        QTest::newRow("negative data length") << header(2, -5) + "{}x";
        QTest::newRow("sum overflows 32 bits") << header(0x7fffffff, 0x7fffffff) + "x";
        QTest::newRow("sum wraps to small") << header(0x7ffffff8, 0x7ffffff8 + 0) + "{}";
        QTest::newRow("over one MiB") << header(1024 * 1024, 0) + "{";
        QTest::newRow("after a good frame") << frame("{}", "") + header(int(0x80000000), 1) + "z";
    }
    void hostileHeaders()
    {
        QFETCH(QByteArray, input);
        TunnelPacket reader;
        QSignalSpy spy(&reader, &TunnelPacket::packetSignal);
        QVERIFY(!feed(reader, input));
        QCOMPARE(reader.bufferedBytes(), 0);
        QVERIFY(spy.count() <= 1);
        // The reader starts afresh on the next input.
        spy.clear();
        const QByteArray good = frame("{\"type\":\"HEART\"}", "");
        QVERIFY(feed(reader, good + header(0, 1)));
        QCOMPARE(frames(spy), QList<QByteArray>{good});
    }

    void largestFrameAccepted()
    {
        TunnelPacket reader;
        QSignalSpy spy(&reader, &TunnelPacket::packetSignal);
        const int dataLength = int(TunnelPacket::MaxFrameBytes) - 8 - 2;
        const QByteArray big = frame("{}", QByteArray(dataLength, 'd'));
        QCOMPARE(big.size(), int(TunnelPacket::MaxFrameBytes));
        // Arrives in pieces, as a socket would deliver it.
        for (int pos = 0; pos < big.size(); pos += 50000)
            QVERIFY(feed(reader, big.mid(pos, 50000)));
        QCOMPARE(frames(spy), QList<QByteArray>{big});
    }

    void manySmallFramesInOneRead()
    {
        TunnelPacket reader;
        QSignalSpy spy(&reader, &TunnelPacket::packetSignal);
        QByteArray input;
        for (int i = 0; i < 20000; ++i)
            input += frame(QByteArray::number(i), "");
        QVERIFY(feed(reader, input + header(0, 0)));
        QCOMPARE(spy.count(), 20000);
        QCOMPARE(spy.last().at(0).toByteArray(), frame("19999", ""));
    }

    void splitFrameOfDeliveredFrames()
    {
        QByteArray json, data;
        QVERIFY(TunnelPacket::splitFrame(frame("{}", "abc"), &json, &data));
        QCOMPARE(json, QByteArray("{}"));
        QCOMPARE(data, QByteArray("abc"));
        QVERIFY(!TunnelPacket::splitFrame("short", &json, &data));
        QVERIFY(!TunnelPacket::splitFrame(header(5, 0) + "{}", &json, &data));
        QVERIFY(!TunnelPacket::splitFrame(header(-1, 0), &json, &data));
    }

    void resetForgetsPartialFrame()
    {
        TunnelPacket reader;
        QSignalSpy spy(&reader, &TunnelPacket::packetSignal);
        QVERIFY(feed(reader, frame("{\"old\":1}", "").left(10)));
        reader.resetBuffer();
        const QByteArray fresh = frame("{\"new\":1}", "");
        QVERIFY(feed(reader, fresh + header(0, 0)));
        QCOMPARE(frames(spy), QList<QByteArray>{fresh});
    }

    void receiverMayDeleteReader()
    {
        auto *reader = new TunnelPacket;
        int delivered = 0;
        connect(reader, &TunnelPacket::packetSignal, this, [&](const QByteArray &) {
            ++delivered;
            delete reader;
        });
        const QByteArray a = frame("{}", "");
        QVERIFY(feed(*reader, a + a + a));
        QCOMPARE(delivered, 1);
    }
};

QTEST_GUILESS_MAIN(TstTunnelPacket)
#include "tst_tunnelpacket.moc"
