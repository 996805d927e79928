// One update check, or one bare GET of the same file, in a fresh process;
// prints the nanoseconds it took on standard output.
//   bench_check updater <ca.pem>        File > Start on the updater's window, in a
//                                       sample installation, until the verdict line;
//                                       if the download fails, until its red line,
//                                       which goes to standard error, and exits 1
//   bench_check get <ca.pem> <url>      a new QNetworkAccessManager's GET until finished
//   bench_check get-premade <ca.pem> <url>   the same with the manager made beforehand
#include "app/mainwindow.h"
#include "console/console.h"
#include "firstpaint.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTextDocument>

#include <cstdio>
#include <cstring>

static void trust(const char *caFile)
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificates(QString::fromLocal8Bit(caFile));
    QSslConfiguration::setDefaultConfiguration(config);
}

static int report(qint64 ns)
{
    std::printf("%lld\n", static_cast<long long>(ns));
    std::fflush(stdout);
    return 0;
}

static int bareGet(const char *url, bool premade)
{
    // The updater makes its manager when File > Start is chosen, so the floor
    // makes its own inside the measurement too; "premade" shows what that costs.
    auto *manager = premade ? new QNetworkAccessManager(qApp) : nullptr;
    const qint64 start = FirstPaint::monotonicNs();
    if (!manager)
        manager = new QNetworkAccessManager(qApp);
    QNetworkRequest request(QUrl(QString::fromLocal8Bit(url)));
    // The updater asks for HTTP/1.1 only; Qt 6 would otherwise offer HTTP/2
    // in the TLS handshake, and both sides should make the same request.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    QNetworkReply *reply = manager->get(request);
    QObject::connect(reply, &QNetworkReply::finished, qApp, [reply, start] {
        const qint64 end = FirstPaint::monotonicNs();
        const bool ok = reply->error() == QNetworkReply::NoError && !reply->readAll().isEmpty();
        reply->deleteLater();
        QCoreApplication::exit(ok ? report(end - start) : 1);
    });
    return QCoreApplication::exec();
}

static int updateCheck()
{
    // A sample installation: the installed manifest one level above the
    // working folder, as the updater expects.
    QTemporaryDir installation;
    QDir(installation.path()).mkdir(QStringLiteral("updater"));
    QFile manifest(installation.filePath(QStringLiteral("telvora-version.xml")));
    if (!manifest.open(QIODevice::WriteOnly))
        return 1;
    manifest.write("<telvora><nversion>1.0</nversion></telvora>\n");
    manifest.close();
    QDir::setCurrent(installation.filePath(QStringLiteral("updater")));

    MainWindow window;
    auto *console = window.findChild<Console *>(QStringLiteral("terminal"));
    auto *start = window.findChild<QAction *>(QStringLiteral("actionStart"));
    qint64 started = 0;
    bool ended = false;

    // The verdict is complete with its last line, the published version. A
    // failed download ends the check too: its red line goes to standard
    // error, so that a driver can tell which limit ended it, and the time
    // to it to standard output.
    QObject::connect(console->document(), &QTextDocument::contentsChanged, qApp, [&] {
        if (!started || ended)
            return;
        const QString text = console->toPlainText();
        if (text.contains(QLatin1String("Version disponible: "))) {
            ended = true;
            QCoreApplication::exit(report(FirstPaint::monotonicNs() - started));
            return;
        }
        const int failure = text.indexOf(QLatin1String("^ [Download"));
        if (failure >= 0) {
            ended = true;
            const qint64 ns = FirstPaint::monotonicNs() - started;
            const int end = text.indexOf(QLatin1Char('\n'), failure);
            std::fprintf(stderr, "%s\n",
                         qPrintable(text.mid(failure, end < 0 ? -1 : end - failure)));
            report(ns);
            QCoreApplication::exit(1);
        }
    });
    auto *firstPaint = new FirstPaint(&window);
    QObject::connect(firstPaint, &FirstPaint::painted, start, [&] {
        started = FirstPaint::monotonicNs();
        start->trigger();
    });
    window.show();
    return QApplication::exec();
}

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 2;
    if (std::strncmp(argv[1], "get", 3) == 0 && argc > 3) {
        QCoreApplication app(argc, argv);
        trust(argv[2]);
        return bareGet(argv[3], std::strcmp(argv[1], "get-premade") == 0);
    }
    QApplication app(argc, argv);
    trust(argv[2]);
    return updateCheck();
}
