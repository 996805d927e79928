// Serves a published manifest (version 1.1) over HTTPS on 127.0.0.1 until it
// is killed. Once it listens it prints, on one line of standard output, the
// certificate authority that clients must trust and the manifest's address.
#include "tests/httpsserver.h"
#include "tests/testcertificates.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    TestCertificates certificates;
    if (!certificates.isValid()) {
        std::fprintf(stderr, "%s\n", qPrintable(certificates.errorString()));
        return 1;
    }
    HttpsServer server(certificates.serverCertificate(), certificates.serverKey());
    const QString path = QStringLiteral("/telvora-version.xml");
    server.setResponse(path,
                       "<?xml version=\"1.0\"?>\n<telvora><nversion>1.1</nversion></telvora>\n");
    if (!server.start(TELVORA_BENCH_PORT)) {
        std::fprintf(stderr, "cannot listen on port %d: %s\n", TELVORA_BENCH_PORT,
                     qPrintable(server.errorString()));
        return 1;
    }

    const QString authority = QDir(certificates.folder()).filePath(QStringLiteral("authority.pem"));
    std::printf("%s %s\n", qPrintable(authority), qPrintable(server.url(path).toString()));
    std::fflush(stdout);
    return app.exec();
}
