#pragma once

#include "platform/platform.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>

class QIODevice;
class QMutex;
class QTcpSocket;

// The 4 bytes of value, most significant first.
QByteArray intToBytes(int value);
// The first 4 bytes of bytes read back as a signed big-endian integer (0 when fewer than 4).
int bytesToInt(const QByteArray &bytes);

// One frame of the relay protocol: an 8-byte header (json length, data length, both big-endian),
// the indented JSON text of one object, then raw data. A sending packet is built, sent once and
// dropped; a reader (built with the parent constructor) cuts a byte stream back into frames.
class TunnelPacket : public QObject
{
    Q_OBJECT

public:
    static constexpr int HeaderBytes = 8;
    // Frames are small JSON messages; a declared size past this is a protocol violation.
    static constexpr qint64 MaxFrameBytes = 1024 * 1024;

    explicit TunnelPacket(QObject *parent = nullptr);
    TunnelPacket(const QJsonObject &json, QByteArray data, QTcpSocket *socket, QMutex *mutex);
    TunnelPacket(const QJsonObject &json, QByteArray data, SOCKET socket, QMutex *mutex);

    // Writes the whole frame under the mutex, so frames never interleave on a connection.
    void SendPacket();
    // The frame as it goes on the wire.
    QByteArray frameBytes() const;

    // Takes every byte the device has and emits packetSignal once per complete frame, in order.
    // Returns false on a malformed header; the buffered input is then dropped.
    bool UnPacket(QIODevice *device);
    // Forgets a partial frame, e.g. when the stream it came from is replaced.
    void resetBuffer() { buffer.clear(); }
    int bufferedBytes() const { return buffer.size(); }

    // The indented JSON text the client writes for json.
    static QByteArray jsonText(const QJsonObject &json);
    // Splits a whole frame as delivered by packetSignal. False when q is not one whole frame.
    static bool splitFrame(const QByteArray &q, QByteArray *jsonPart, QByteArray *dataPart);

signals:
    void packetSignal(QByteArray q);

private:
    bool cutFrames();

    QMutex *mutex = nullptr;
    QByteArray buffer;
    QTcpSocket *socket = nullptr;
    SOCKET rawSocket = platform::InvalidSocket;
    int jsonLength = 0;
    int dataLength = 0;
    QByteArray jsonBytes;
    QByteArray dataBytes;
};
