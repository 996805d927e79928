// Serves a published manifest (version 1.1) over HTTPS on 127.0.0.1 until it
// is killed. Once it listens it prints, on one line of standard output, the
// certificate authority that clients must trust and the manifest's address.
//   bench_server [--port N] [--endless-header-lines] [--answer-delay MS]
// --port listens elsewhere than on the port the bench's updater fetches from,
// e.g. behind bench/impair.py, 0 on a port the system chooses (the address
// printed tells which); --endless-header-lines answers the manifest
// with a status line and header lines without end, a header flood;
// --answer-delay answers each request only MS milliseconds after it, as a
// slow backend (a page that computes for seconds, a function that first has
// to start) answers.
#include "tests/httpsserver.h"
#include "tests/testcertificates.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption portOption(
            QStringLiteral("port"),
            QStringLiteral("Loopback port to listen on; 0: one the system chooses."),
            QStringLiteral("port"), QString::number(TELVORA_BENCH_PORT));
    const QCommandLineOption floodOption(QStringLiteral("endless-header-lines"),
                                         QStringLiteral("Answer with header lines without end."));
    const QCommandLineOption delayOption(
            QStringLiteral("answer-delay"),
            QStringLiteral("Milliseconds from each request to the start of its answer."),
            QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOptions({portOption, floodOption, delayOption});
    parser.process(app);
    bool ok = false;
    const int port = parser.value(portOption).toInt(&ok);
    if (!ok || port < 0 || port > 65535) {
        std::fprintf(stderr, "not a port: %s\n", qPrintable(parser.value(portOption)));
        return 2;
    }
    const int delay = parser.value(delayOption).toInt(&ok);
    if (!ok || delay < 0) {
        std::fprintf(stderr, "not a delay in milliseconds: %s\n",
                     qPrintable(parser.value(delayOption)));
        return 2;
    }

    TestCertificates certificates;
    if (!certificates.isValid()) {
        std::fprintf(stderr, "%s\n", qPrintable(certificates.errorString()));
        return 1;
    }
    HttpsServer server(certificates.serverCertificate(), certificates.serverKey());
    const QString path = QStringLiteral("/telvora-version.xml");
    HttpsServer::Response response;
    response.body = "<?xml version=\"1.0\"?>\n<telvora><nversion>1.1</nversion></telvora>\n";
    response.delay = delay;
    if (parser.isSet(floodOption)) {
        response.behaviour = HttpsServer::EndlessHeaderLines;
        // The tests' 64 MiB go out on loopback in about a second, and what a
        // flood costs the client is measured only if the client ends it, not
        // the server; 1 GiB is a bound all the same.
        server.setEndlessLimit(qint64(1) << 30);
    }
    server.setResponse(path, response);
    if (!server.start(quint16(port))) {
        std::fprintf(stderr, "cannot listen on port %d: %s\n", port,
                     qPrintable(server.errorString()));
        return 1;
    }

    const QString authority = QDir(certificates.folder()).filePath(QStringLiteral("authority.pem"));
    std::printf("%s %s\n", qPrintable(authority), qPrintable(server.url(path).toString()));
    std::fflush(stdout);
    return app.exec();
}
