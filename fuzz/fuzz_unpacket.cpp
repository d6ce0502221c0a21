// Feeds arbitrary bytes, in arbitrary read sizes, through the frame reader and hands every frame
// it delivers to the session's message parser. No network: the session has no record, so a CONN
// request opens nothing.

#include "tunnel/tunnel.h"
#include "tunnel/tunnelpacket.h"

#include <QBuffer>
#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

struct Harness
{
    TunnelPacket reader;
    Tunnel session;
    QByteArray delivered; // every frame delivered since the last violation, in order

    Harness()
    {
        QObject::connect(&reader, &TunnelPacket::packetSignal, &session, &Tunnel::PacketSlot,
                         Qt::DirectConnection);
        QObject::connect(&reader, &TunnelPacket::packetSignal, [this](const QByteArray &frame) {
            // Each delivery is one whole, well-formed frame.
            if (!TunnelPacket::splitFrame(frame, nullptr, nullptr))
                abort();
            delivered += frame;
        });
    }
};

Harness &harness()
{
    static int argc = 1;
    static char name[] = "fuzz_unpacket";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static Harness h;
    return h;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Harness &h = harness();
    h.reader.resetBuffer();
    h.delivered.clear();
    if (size < 2)
        return 0;
    // The first two bytes seed the sequence of read sizes.
    quint32 state = (quint32(data[0]) << 8 | data[1]) + 1;
    const char *stream = reinterpret_cast<const char *>(data + 2);
    const qint64 length = qint64(size) - 2;

    QByteArray accepted; // what went in since the last violation
    qint64 pos = 0;
    while (pos < length) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const qint64 piece = qMin<qint64>(length - pos, 1 + (state % (1u << (state % 15))));
        QBuffer device;
        device.setData(stream + pos, int(piece));
        device.open(QIODevice::ReadOnly);
        const bool ok = h.reader.UnPacket(&device);
        if (device.bytesAvailable() != 0)
            abort(); // the reader always takes everything
        accepted.append(stream + pos, int(piece));
        pos += piece;
        if (!ok) {
            if (h.reader.bufferedBytes() != 0)
                abort();
            accepted.clear();
            h.delivered.clear();
            continue;
        }
        // Nothing is lost or invented: frames delivered plus the kept rest is the input.
        if (h.delivered.size() + h.reader.bufferedBytes() != accepted.size() ||
            !accepted.startsWith(h.delivered))
            abort();
        // Bounded: at most one incomplete frame is held.
        if (h.reader.bufferedBytes() > TunnelPacket::MaxFrameBytes)
            abort();
    }
    return 0;
}
