#include "ownconnection.h"

#include <QUrl>

#ifdef Q_OS_LINUX

#include <QList>
#include <QNetworkProxy>
#include <QPair>

#include <algorithm>
#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// The numbers of the process's open file descriptors. Listed in full before
// any is looked at: a descriptor opened meanwhile would join the listing.
static QList<int> descriptors()
{
    QList<int> numbers;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return numbers;
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && number != dirfd(dir))
            numbers.append(int(number));
    }
    closedir(dir);
    return numbers;
}

// The inode number of the socket that fd is, or 0 for anything else.
static quint64 socketInode(int fd)
{
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode))
        return 0;
    return status.st_ino;
}

// The peer's port of a connected TCP socket over IPv4 or IPv6, or 0 for
// any other socket, and for one not (or no longer) connected.
static quint16 tcpPeerPort(int fd)
{
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &value, &length) != 0 || value != IPPROTO_TCP)
        return 0;
    sockaddr_storage peer = {};
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return 0;
    if (peer.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port);
    return 0;
}

#endif

OwnConnection::OwnConnection()
{
#ifdef Q_OS_LINUX
    for (int fd : descriptors()) {
        if (const quint64 inode = socketInode(fd))
            m_before.insert(inode);
    }
#endif
}

QList<int> OwnConnection::duplicates(const QUrl &url) const
{
    QList<int> own;
#ifdef Q_OS_LINUX
    // Each new connection is looked at, and changed, through a duplicate of
    // its descriptor: Qt's thread may close the original at any time and a
    // new file take its number, but the duplicate stays the same socket.
    QList<QPair<int, quint16>> connections; // duplicate, peer's port
    for (int fd : descriptors()) {
        const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0)
            continue; // closed meanwhile
        const quint64 inode = socketInode(copy);
        const quint16 port = inode && !m_before.contains(inode) ? tcpPeerPort(copy) : 0;
        if (port)
            connections.append({copy, port});
        else
            close(copy);
    }

    QSet<quint16> ports{quint16(url.port(url.scheme() == QLatin1String("https") ? 443 : 80))};
    const bool direct = std::any_of(connections.cbegin(), connections.cend(),
                                    [&](const auto &c) { return ports.contains(c.second); });
    // The proxy only when some new connection goes elsewhere: asking the
    // system's proxy configuration may take time (libproxy, with Qt 6).
    if (!direct && !connections.isEmpty()) {
        const QList<QNetworkProxy> proxies =
                QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
        for (const QNetworkProxy &proxy : proxies) {
            if (proxy.type() != QNetworkProxy::NoProxy && proxy.port() != 0)
                ports.insert(proxy.port());
        }
    }

    for (const auto &[fd, port] : connections) {
        if (ports.contains(port))
            own.append(fd);
        else
            close(fd);
    }
#else
    Q_UNUSED(url)
#endif
    return own;
}

void OwnConnection::sendWithoutDelay(const QUrl &url)
{
#ifdef Q_OS_LINUX
    for (int fd : duplicates(url)) {
        // A failure leaves the socket as it was, and there is nothing to do
        // about it: the request then waits as it always has.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        close(fd);
    }
#else
    Q_UNUSED(url)
#endif
}

void OwnConnection::shutDown(const QUrl &url)
{
#ifdef Q_OS_LINUX
    for (int fd : duplicates(url)) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
#else
    Q_UNUSED(url)
#endif
}
