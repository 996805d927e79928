#pragma once

#include <QList>
#include <QtGlobal>

// One of the process's TCP connections as the system holds it, read from the
// socket itself: for tests of what was set on a connection that Qt made and
// keeps to itself.
struct TcpConnection
{
    quint16 localPort = 0;
    quint16 peerPort = 0;
    bool noDelay = false; // Nagle's algorithm is off (TCP_NODELAY)
};

// The process's connected TCP sockets: on Linux those among its file
// descriptors; on Windows the socket handles among the first handle values
// (tried one by one: Windows lists no process's sockets), as under Wine.
QList<TcpConnection> tcpConnections();
