#pragma once

#include <QSet>
#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QUrl;
QT_END_NAMESPACE

// Turns Nagle's algorithm off on a download's own connection, so that its
// request leaves as soon as Qt writes it, as curl's does.
//
// Over TLS 1.3 the client's last handshake message (Finished) and the
// request are two small writes. With Nagle's algorithm on, the system holds
// the request back until the server has acknowledged Finished: a round trip,
// and where the server sends nothing after Finished (Go's TLS, as in Caddy)
// its delayed acknowledgement on top, about 40 ms on Linux and up to 200 ms
// on Windows. Qt leaves the algorithm on for its HTTP connections, and
// Debian's Qt (5.15 and 6.4) offers no way to change that: the connection
// lives in Qt's HTTP thread, out of the program's sight. The Windows build's
// Qt turns it off itself.
//
// So on Linux this finds the connection from outside Qt, among the process's
// file descriptors: a TCP socket that was not there when this object was
// made, connected to the URL's port (or to its proxy's, when there is no
// such socket). Made before the request is, it leaves every older socket
// alone, and the tests' in-process servers' ends as well (their peers are
// the clients' ports). apply() belongs where Qt reports the TLS handshake
// done: Qt's HTTP thread waits for that report to be handled before it
// writes the request, so the request goes out at once.
//
// Two downloads to the same port at once may each turn it off on both
// connections, each made after the other began: both are downloads' own and
// want it. A socket that cannot take the option, or one gone meanwhile, is
// left as it is, and the download goes on as it would have.
class LowDelay
{
public:
    // Notes the sockets that the process has now; elsewhere than on Linux,
    // does nothing.
    LowDelay();

    // Turns Nagle's algorithm off on the connections made since to url's
    // port, or else to the proxy's that Qt uses for url.
    void apply(const QUrl &url);

private:
    QSet<quint64> m_before; // the inode numbers of the sockets there were
};
