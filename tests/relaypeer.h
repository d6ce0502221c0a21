#pragma once

// A relay client written for the tests, independent of the client's engine: it frames
// messages byte for byte as the client does and reads the server's frames back.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpSocket>

#include <memory>
#include <vector>

#include "wirecodec.h"

inline QByteArray relayFrame(const QByteArray &json, const QByteArray &data)
{
    return wire::frame(json, data);
}

// The client's JSON writer: indented, keys in order.
inline QByteArray relayFrame(const QJsonObject &message, const QByteArray &data)
{
    return relayFrame(QJsonDocument(message).toJson(), data);
}

inline QByteArray loginFrame(const QString &token)
{
    return relayFrame(QJsonObject{{"token", token},
                                  {"type", "LOGIN"},
                                  {"uuid", "{7c2f0d1e-4a57-4bd6-9a51-0d8f3c1e2b7a}"},
                                  {"version", "1.0.0"}},
                      "login");
}

inline QByteArray connFrame(const QString &uid)
{
    return relayFrame(QJsonObject{{"type", "CONN"}, {"uid", uid}}, "conn");
}

class RelayPeer
{
public:
    RelayPeer() { socket.setReadBufferSize(0); }

    bool connectTo(const QString &address, quint16 port, int timeoutMs = 5000)
    {
        socket.connectToHost(address, port);
        return socket.waitForConnected(timeoutMs);
    }

    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }

    // The next whole frame's JSON part; an empty object when none came in time. The raw
    // frame (header included) is kept in lastFrame.
    QJsonObject nextFrame(int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (true) {
            buffer += socket.readAll();
            wire::Header header;
            if (wire::cut(buffer, &header, wire::AnyLength) == wire::Cut::Whole) {
                lastFrame = buffer.left(int(header.frameBytes()));
                buffer.remove(0, lastFrame.size());
                return QJsonDocument::fromJson(
                           lastFrame.mid(wire::HeaderBytes, int(header.jsonLength)))
                    .object();
            }
            const int left = timeoutMs - int(clock.elapsed());
            if (left <= 0 || socket.state() != QAbstractSocket::ConnectedState)
                return {};
            socket.waitForReadyRead(qMin(left, 200));
        }
    }

    // Sends a heartbeat; the type of the frame that answers it ("HEART" on a live control
    // connection, empty when nothing came).
    QString heartbeat()
    {
        send(relayFrame(QJsonObject{{"type", "HEART"}}, "heart"));
        return nextFrame().value("type").toString();
    }

    // True once the server has closed the connection.
    bool waitClosed(int timeoutMs = 5000)
    {
        QElapsedTimer clock;
        clock.start();
        while (socket.state() == QAbstractSocket::ConnectedState) {
            const int left = timeoutMs - int(clock.elapsed());
            if (left <= 0)
                return false;
            if (socket.waitForReadyRead(qMin(left, 200)))
                buffer += socket.readAll();
        }
        buffer += socket.readAll();
        return true;
    }

    // Reads raw bytes until n have arrived (or time runs out).
    QByteArray readRaw(int n, int timeoutMs = 10000)
    {
        QElapsedTimer clock;
        clock.start();
        while (buffer.size() < n) {
            buffer += socket.readAll();
            if (buffer.size() >= n)
                break;
            const int left = timeoutMs - int(clock.elapsed());
            if (left <= 0 ||
                (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0))
                break;
            socket.waitForReadyRead(qMin(left, 200));
        }
        const QByteArray out = buffer.left(n);
        buffer.remove(0, out.size());
        return out;
    }

    QTcpSocket socket;
    QByteArray buffer;
    QByteArray lastFrame;
};

// Plays the client on a signed-in control connection: every CONN request gets a data connection
// to the relay that echoes what its visitor sends.
class EchoingClient
{
public:
    EchoingClient(RelayPeer &control, const QString &relayAddress, quint16 relayPort)
        : control(control), relayAddress(relayAddress), relayPort(relayPort)
    {
        listening =
            QObject::connect(&control.socket, &QTcpSocket::readyRead, [this] { readRequests(); });
        readRequests();
    }
    ~EchoingClient()
    {
        QObject::disconnect(listening);
        for (auto &s : data)
            s->abort();
    }
    EchoingClient(const EchoingClient &) = delete;
    EchoingClient &operator=(const EchoingClient &) = delete;

    int requests = 0;

private:
    void readRequests()
    {
        control.buffer += control.socket.readAll();
        wire::Header header;
        while (wire::cut(control.buffer, &header, wire::AnyLength) == wire::Cut::Whole) {
            const QJsonObject m = QJsonDocument::fromJson(
                                      control.buffer.mid(wire::HeaderBytes, int(header.jsonLength)))
                                      .object();
            control.buffer.remove(0, int(header.frameBytes()));
            if (m.value("type").toString() != "CONN")
                continue;
            ++requests;
            auto s = std::make_unique<QTcpSocket>();
            QTcpSocket *raw = s.get();
            const QByteArray hello = connFrame(m.value("uid").toString());
            QObject::connect(raw, &QTcpSocket::connected, [raw, hello] { raw->write(hello); });
            QObject::connect(raw, &QTcpSocket::readyRead, [raw] { raw->write(raw->readAll()); });
            raw->connectToHost(relayAddress, relayPort);
            data.push_back(std::move(s));
        }
    }

    RelayPeer &control;
    QString relayAddress;
    quint16 relayPort;
    QMetaObject::Connection listening;
    std::vector<std::unique_ptr<QTcpSocket>> data;
};
