// The name-resolving connect loop of the relay sockets, the same on every system: only the
// socket calls underneath differ (platform_linux.cpp, platform_win.cpp).
#if defined(_WIN32) && !defined(NOMINMAX)
#define NOMINMAX
#endif

#include "platform.h"
#include "platform_p.h"

#ifdef Q_OS_WIN
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace platform {

SOCKET connectTcp(const QString &host, int port, QString *error)
{
    if (port < 0 || port > 65535) {
        if (error)
            *error = QStringLiteral("端口无效");
        return InvalidSocket;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *result = nullptr;
    const QByteArray node = host.toLatin1();
    const QByteArray service = QByteArray::number(port);
    if (getaddrinfo(node.constData(), service.constData(), &hints, &result) != 0) {
        if (error)
            *error = QStringLiteral("无法解析地址");
        return InvalidSocket;
    }
    SOCKET connected = InvalidSocket;
    for (addrinfo *ai = result; ai; ai = ai->ai_next) {
        const SOCKET s = openStreamSocket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == InvalidSocket) {
            if (error)
                *error = lastSocketError();
            continue;
        }
        if (connectStreamSocket(s, ai->ai_addr, int(ai->ai_addrlen))) {
            connected = s;
            break;
        }
        if (error)
            *error = lastSocketError();
        closeSocket(s);
    }
    freeaddrinfo(result);
    if (connected != InvalidSocket)
        setNoDelay(connected);
    return connected;
}

} // namespace platform
