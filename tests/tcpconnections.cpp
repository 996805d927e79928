#include "tcpconnections.h"

#ifdef Q_OS_WIN
#include <winsock2.h>
// After winsock2.h, which it builds on.
#include <ws2tcpip.h>
#else
#include <QDir>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// The port of a socket address over IPv4 or IPv6, or 0.
static quint16 portOf(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port);
    return 0;
}

#ifdef Q_OS_WIN

// Handle values are multiples of 4; a test process holds a few hundred
// handles, well below this.
static constexpr quintptr HandleBound = 16384;

QList<TcpConnection> tcpConnections()
{
    QList<TcpConnection> connections;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return connections;
    for (quintptr value = 4; value < HandleBound; value += 4) {
        const auto socket = SOCKET(value);
        sockaddr_storage peer = {};
        int length = sizeof peer;
        if (getpeername(socket, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
            continue; // no socket, or not connected
        sockaddr_storage local = {};
        length = sizeof local;
        int type = 0;
        int typeLength = sizeof type;
        DWORD noDelay = 0;
        int noDelayLength = sizeof noDelay;
        if (getsockname(socket, reinterpret_cast<sockaddr *>(&local), &length) != 0
            || getsockopt(socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &typeLength)
                    != 0
            || type != SOCK_STREAM
            || getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&noDelay),
                          &noDelayLength)
                    != 0)
            continue;
        connections.append({portOf(local), portOf(peer), noDelay != 0});
    }
    WSACleanup();
    return connections;
}

#else

QList<TcpConnection> tcpConnections()
{
    QList<TcpConnection> connections;
    const QStringList numbers =
            QDir(QStringLiteral("/proc/self/fd"))
                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &number : numbers) {
        // Through a duplicate: Qt's threads may close the descriptor
        // meanwhile, and the number go to another file.
        const int fd = fcntl(number.toInt(), F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            continue;
        int protocol = 0;
        socklen_t protocolLength = sizeof protocol;
        sockaddr_storage local = {};
        sockaddr_storage peer = {};
        socklen_t localLength = sizeof local;
        socklen_t peerLength = sizeof peer;
        int noDelay = 0;
        socklen_t noDelayLength = sizeof noDelay;
        if (getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &protocolLength) == 0
            && protocol == IPPROTO_TCP
            && getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localLength) == 0
            && getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) == 0
            && getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &noDelayLength) == 0)
            connections.append({portOf(local), portOf(peer), noDelay != 0});
        close(fd);
    }
    return connections;
}

#endif
