#include "tunnelpacket.h"

#include <QIODevice>
#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QTcpSocket>

namespace {

// Input is taken in pieces of this size so that one huge read never sits in memory at once.
constexpr qint64 ReadChunkBytes = 64 * 1024;

qint32 readBigEndian(const char *p)
{
    const quint32 value = (quint32(quint8(p[0])) << 24) | (quint32(quint8(p[1])) << 16) |
                          (quint32(quint8(p[2])) << 8) | quint32(quint8(p[3]));
    return qint32(value);
}

} // namespace

QByteArray intToBytes(int value)
{
    const quint32 v = quint32(value);
    QByteArray bytes(4, '\0');
    bytes[0] = char((v >> 24) & 0xff);
    bytes[1] = char((v >> 16) & 0xff);
    bytes[2] = char((v >> 8) & 0xff);
    bytes[3] = char(v & 0xff);
    return bytes;
}

int bytesToInt(const QByteArray &bytes)
{
    if (bytes.size() < 4)
        return 0;
    return readBigEndian(bytes.constData());
}

TunnelPacket::TunnelPacket(QObject *parent) : QObject(parent) {}

TunnelPacket::TunnelPacket(const QJsonObject &json, QByteArray data, QTcpSocket *socket,
                           QMutex *mutex)
    : mutex(mutex), socket(socket), jsonBytes(jsonText(json)), dataBytes(std::move(data))
{
    jsonLength = jsonBytes.size();
    dataLength = dataBytes.size();
}

TunnelPacket::TunnelPacket(const QJsonObject &json, QByteArray data, SOCKET socket, QMutex *mutex)
    : mutex(mutex), rawSocket(socket), jsonBytes(jsonText(json)), dataBytes(std::move(data))
{
    jsonLength = jsonBytes.size();
    dataLength = dataBytes.size();
}

QByteArray TunnelPacket::jsonText(const QJsonObject &json)
{
    QByteArray text = QJsonDocument(json).toJson();
    const int nul = text.indexOf('\0');
    if (nul >= 0)
        text.truncate(nul);
    return text;
}

QByteArray TunnelPacket::frameBytes() const
{
    return intToBytes(jsonLength) + intToBytes(dataLength) + jsonBytes + dataBytes;
}

void TunnelPacket::SendPacket()
{
    QMutexLocker locker(mutex);
    if (socket) {
        socket->write(intToBytes(jsonLength));
        socket->write(intToBytes(dataLength));
        socket->write(jsonBytes);
        socket->write(dataBytes);
        socket->flush();
    } else if (rawSocket != platform::InvalidSocket) {
        // Results are not checked: a dead data connection is noticed by its relay workers.
        const QByteArray jsonHeader = intToBytes(jsonLength);
        const QByteArray dataHeader = intToBytes(dataLength);
        platform::sendAll(rawSocket, jsonHeader.constData(), jsonHeader.size());
        platform::sendAll(rawSocket, dataHeader.constData(), dataHeader.size());
        platform::sendAll(rawSocket, jsonBytes.constData(), jsonBytes.size());
        platform::sendAll(rawSocket, dataBytes.constData(), dataBytes.size());
    }
}

bool TunnelPacket::splitFrame(const QByteArray &q, QByteArray *jsonPart, QByteArray *dataPart)
{
    if (q.size() < HeaderBytes)
        return false;
    const qint64 jl = readBigEndian(q.constData());
    const qint64 dl = readBigEndian(q.constData() + 4);
    if (jl < 0 || dl < 0 || HeaderBytes + jl + dl != q.size())
        return false;
    if (jsonPart)
        *jsonPart = q.mid(HeaderBytes, int(jl));
    if (dataPart)
        *dataPart = q.mid(HeaderBytes + int(jl), int(dl));
    return true;
}

bool TunnelPacket::UnPacket(QIODevice *device)
{
    if (!device || device->bytesAvailable() <= 0)
        return true;
    // A receiver may drop the session (and with it this reader or the device) while a frame is
    // being delivered: stop touching either once they are gone.
    QPointer<TunnelPacket> self(this);
    QPointer<QIODevice> source(device);
    while (source && source->bytesAvailable() > 0) {
        const QByteArray chunk = source->read(ReadChunkBytes);
        if (chunk.isEmpty())
            break;
        buffer.append(chunk);
        const bool ok = cutFrames();
        if (!self)
            return true;
        if (!ok) {
            buffer.clear();
            // The rest of the stream cannot be framed any more: discard what has arrived.
            while (source && source->bytesAvailable() > 0 &&
                   !source->read(ReadChunkBytes).isEmpty()) {
            }
            return false;
        }
    }
    return true;
}

// Emits every complete frame at the front of the buffer. A header alone (8 bytes or fewer in
// the buffer) always waits for more input, even a frame whose two lengths are 0.
bool TunnelPacket::cutFrames()
{
    QPointer<TunnelPacket> self(this);
    int pos = 0;
    bool ok = true;
    while (buffer.size() - pos > HeaderBytes) {
        const char *header = buffer.constData() + pos;
        const qint64 jl = readBigEndian(header);
        const qint64 dl = readBigEndian(header + 4);
        if (jl < 0 || dl < 0 || HeaderBytes + jl + dl > MaxFrameBytes) {
            ok = false;
            break;
        }
        const int total = int(HeaderBytes + jl + dl);
        if (total > buffer.size() - pos)
            break;
        QByteArray frame;
        if (pos == 0 && total == buffer.size()) {
            frame = buffer;
            buffer.clear();
        } else {
            frame = buffer.mid(pos, total);
            pos += total;
        }
        emit packetSignal(frame);
        if (!self)
            return true;
        if (buffer.isEmpty())
            return true;
    }
    if (pos > 0)
        buffer.remove(0, pos);
    return ok;
}
