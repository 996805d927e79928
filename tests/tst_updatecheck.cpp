#include "app/mainwindow.h"
#include "consolelines.h"
#include "filesizelimit.h"
#include "httpsserver.h"
#include "inactivitymessages.h"
#include "net/downloadmanager.h"
#include "testcertificates.h"
#include "testfiles.h"
#include "testinstallation.h"
#include "update/manifesturl.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <memory>

Q_DECLARE_METATYPE(HttpsServer::Behaviour)
Q_DECLARE_METATYPE(HttpsServer::Response)

// A guard against a hang, never a measure of time: every wait below ends on
// a signal or a console line long before this.
static constexpr int Guard = 20000;

static const QString ManifestPath = QStringLiteral("/telvora-version.xml");

static const ConsoleLine tempNotice =
        ConsoleLine::blue(QStringLiteral("Directorio temporal ../../temp"));
static const ConsoleLine ok = ConsoleLine::green(QStringLiteral("^ [OK]"));
static const ConsoleLine downloadNotice =
        ConsoleLine::blue(QStringLiteral("Descargando en ../temp/telvora-version.xml"));
static const ConsoleLine comparing = ConsoleLine::green(
        QStringLiteral("Comparando con la version instalada del software ../telvora-version.xml"));
static const QList<ConsoleLine> started{tempNotice, ok, downloadNotice};

static QByteArray manifest(const QByteArray &version)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<telvora>\n    <nversion>" + version
            + "</nversion>\n</telvora>\n";
}

// What a published manifest left by an earlier check holds. A comparison
// that read it would report this version.
static const QByteArray staleManifest = manifest("0.9");

// The red line of a failed download. The message's line feed is white space
// to the console, which shows it as a blank before the bracket.
static ConsoleLine failureLine(QString message)
{
    return ConsoleLine::red(QStringLiteral("^ [") + message.replace(QLatin1Char('\n'), ' ')
                            + QStringLiteral("]"));
}

// Why the download manager cannot save to path: the error that the file
// it writes through reports there.
static QString saveError(const QString &path)
{
    QSaveFile probe(path);
    if (probe.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        probe.cancelWriting();
        return QStringLiteral("(could be saved)");
    }
    return probe.errorString();
}

static QString cannotSave(const QString &path, const QString &error)
{
    return QStringLiteral("Download failed: cannot save ") + path + QStringLiteral(": ") + error
            + QLatin1Char('\n');
}

// File > Start on a real window, in a temporary installation whose updater
// folder is the current directory, against an HTTPS server on the loopback
// port from which this build of the program fetches its manifest.
class tst_UpdateCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void reportsTheVerdict_data();
    void reportsTheVerdict();
    void missingInstalledManifestIsReported();
    void failedDownloadEndsTheCheckWithOneRedLine_data();
    void failedDownloadEndsTheCheckWithOneRedLine();
    void unsavedManifestEndsTheCheckWithOneRedLine();
    void unsavableTargetEndsTheCheckWithOneRedLine_data();
    void unsavableTargetEndsTheCheckWithOneRedLine();
    void stalledServerEndsTheCheckWithOneRedLine_data();
    void stalledServerEndsTheCheckWithOneRedLine();

private:
    // The outcome of one check, as the user sees it.
    struct Check
    {
        bool finished = false;
        QList<ConsoleLine> lines;
        int bar = -1;
        int ticks = -1;
        QList<int> errorGeneral;
    };

    Check runCheck();

    TestCertificates certificates;
    std::unique_ptr<HttpsServer> server;
    std::unique_ptr<TestInstallation> installation;
    QString installed;
    QString published;
};

void tst_UpdateCheck::initTestCase()
{
    QVERIFY2(certificates.isValid(), qPrintable(certificates.errorString()));
    certificates.trustAuthority();
    server = std::make_unique<HttpsServer>(certificates.serverCertificate(),
                                           certificates.serverKey());
    QVERIFY2(server->start(TELVORA_TEST_MANIFEST_PORT),
             qPrintable(QStringLiteral("cannot listen on 127.0.0.1:%1: %2")
                                .arg(TELVORA_TEST_MANIFEST_PORT)
                                .arg(server->errorString())));
    QCOMPARE(QUrl(manifestUrl()), server->url(ManifestPath));
}

void tst_UpdateCheck::init()
{
    if (!server->isListening())
        QVERIFY(server->start(TELVORA_TEST_MANIFEST_PORT));

    // Markup in the folder name, so that a path put into a line unescaped shows.
    installation = std::make_unique<TestInstallation>(TestInstallation::markupFolderName());
    QVERIFY(installation->isValid());
    installed = installation->installedManifest();
    published = installation->publishedManifest();
    QVERIFY(writeFile(installed, manifest("1.0")));
}

void tst_UpdateCheck::cleanup()
{
    installation.reset();
}

// Chooses File > Start on a new window and waits until the manifest's
// download has been reported to the comparison.
tst_UpdateCheck::Check tst_UpdateCheck::runCheck()
{
    Check check;
    MainWindow window;
    QSignalSpy errorGeneral(&window, &MainWindow::errorGeneral);
    auto *start = window.findChild<QAction *>(QStringLiteral("actionStart"));
    if (!start)
        return check;

    start->trigger();

    auto *manager = window.findChild<DownloadManager *>();
    auto *timer = window.findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    if (!manager || !timer)
        return check;
    QSignalSpy ticks(timer, &QTimer::timeout);
    // Connected after the window's own connection, so the comparison has
    // printed its lines when this spy sees the signal.
    QSignalSpy finished(manager, &DownloadManager::downFinished);
    check.finished = finished.wait(Guard) && finished.count() == 1;

    check.lines = consoleLines(window);
    check.bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"))->value();
    check.ticks = ticks.count();
    for (const QList<QVariant> &emitted : qAsConst(errorGeneral))
        check.errorGeneral << emitted.value(0).toInt();
    return check;
}

void tst_UpdateCheck::reportsTheVerdict_data()
{
    QTest::addColumn<QByteArray>("publishedVersion");
    QTest::addColumn<QList<ConsoleLine>>("verdict");

    QTest::newRow("updates available")
            << QByteArray("1.1")
            << QList<ConsoleLine>{
                       ConsoleLine::blue(QStringLiteral("Hay actualizaciones disponibles")),
                       ConsoleLine::green(QStringLiteral("Version actual: 1.0")),
                       ConsoleLine::green(QStringLiteral("Version disponible: 1.1"))};
    // The console renders HTML, which shows the message's two blanks as one.
    QTest::newRow("same version") << QByteArray("1.0")
                                  << QList<ConsoleLine>{ConsoleLine::blue(QStringLiteral(
                                             "Software en su version mas reciente!"))};
}

void tst_UpdateCheck::reportsTheVerdict()
{
    QFETCH(QByteArray, publishedVersion);
    QFETCH(QList<ConsoleLine>, verdict);

    // A file from an earlier check, which the download must replace, and a
    // copy of a manifest beside the updater, as at a drive root, where the
    // updater's folder is also the application's.
    QVERIFY(QDir().mkdir(QStringLiteral("temp")));
    QVERIFY(writeFile(published, staleManifest));
    QVERIFY(writeFile(QStringLiteral("telvora-version.xml"), manifest("9.9")));
    const QByteArray body = manifest(publishedVersion);
    server->setResponse(ManifestPath, body);
    const int requests = server->requestCount(ManifestPath);

    const Check check = runCheck();

    QVERIFY(check.finished);
    QCOMPARE(check.lines, started + QList<ConsoleLine>{comparing} + verdict);
    QCOMPARE(contentsOf(published), body);
    QCOMPARE(QDir(QStringLiteral("temp")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("telvora-version.xml")});
    QCOMPARE(server->requestCount(ManifestPath), requests + 1);
    // A successful check leaves the bar to its timer.
    QCOMPARE(check.errorGeneral, QList<int>());
    QCOMPARE(check.bar, check.ticks);
}

void tst_UpdateCheck::missingInstalledManifestIsReported()
{
    QVERIFY(QFile::remove(installed));
    server->setResponse(ManifestPath, manifest("1.1"));

    const Check check = runCheck();

    QVERIFY(check.finished);
    const QList<ConsoleLine> notFound{
            comparing, ConsoleLine::red(QStringLiteral("Archivos XML no encontrado...")),
            ConsoleLine::red(installed), ConsoleLine::red(published)};
    QCOMPARE(check.lines, started + notFound);
    QCOMPARE(contentsOf(published), manifest("1.1"));
    QCOMPARE(check.errorGeneral, QList<int>());
    QCOMPARE(check.bar, check.ticks);
}

void tst_UpdateCheck::failedDownloadEndsTheCheckWithOneRedLine_data()
{
    QTest::addColumn<HttpsServer::Response>("response");
    QTest::addColumn<bool>("serverDown");
    QTest::addColumn<QString>("message");

    HttpsServer::Response notFound;
    notFound.status = 404;
    notFound.body = "<html><body>no such file</body></html>";
    QTest::newRow("not found") << notFound << false
                               << QStringLiteral("Download failed: HTTP status 404 Not Found\n");

    HttpsServer::Response serverError;
    serverError.status = 500;
    serverError.body = manifest("1.1");
    QTest::newRow("server error, with a manifest as its page")
            << serverError << false
            << QStringLiteral("Download failed: HTTP status 500 Internal Server Error\n");

    // Not followed: a manifest that moved is not the one the build names.
    HttpsServer::Response moved;
    moved.status = 302;
    moved.headers = {{"Location",
                      "https://127.0.0.1:" + QByteArray::number(TELVORA_TEST_MANIFEST_PORT)
                              + "/elsewhere/telvora-version.xml"}};
    QTest::newRow("redirect") << moved << false
                              << QStringLiteral("Download failed: HTTP status 302 Found\n");

    const QString tooLarge =
            QStringLiteral("Download failed: the body is larger than 1048576 bytes (size limit)\n");
    HttpsServer::Response oversized;
    oversized.body = manifest("1.1") + QByteArray(DownloadManager::MaxBodySize, ' ');
    QTest::newRow("oversized body, announced") << oversized << false << tooLarge;
    oversized.framing = HttpsServer::Chunked;
    QTest::newRow("oversized body, unannounced") << oversized << false << tooLarge;
    HttpsServer::Response endless;
    endless.behaviour = HttpsServer::EndlessBody;
    QTest::newRow("endless body") << endless << false << tooLarge;
    HttpsServer::Response bomb;
    bomb.behaviour = HttpsServer::GzipBomb;
    QTest::newRow("gzip bomb") << bomb << false << tooLarge;

    // Only close_notify could tell this body whole, and Qt does not say
    // whether it came: with or without it, the stale file would be compared.
    HttpsServer::Response cut;
    cut.body = manifest("1.1");
    cut.framing = HttpsServer::ConnectionClose;
    cut.closeNotify = false;
    QTest::newRow("body without length, cut")
            << cut << false
            << QStringLiteral(
                       "Download failed: the body's end is not marked (no Content-Length, "
                       "not chunked), so a cut-off body could not be told from a whole one\n");

    QTest::newRow("nothing listens") << HttpsServer::Response() << true
                                     << QStringLiteral("Download failed: Connection refused\n");
}

void tst_UpdateCheck::failedDownloadEndsTheCheckWithOneRedLine()
{
    QFETCH(HttpsServer::Response, response);
    QFETCH(bool, serverDown);
    QFETCH(QString, message);

    QVERIFY(QDir().mkdir(QStringLiteral("temp")));
    QVERIFY(writeFile(published, staleManifest));
    const QString elsewhere = QStringLiteral("/elsewhere/telvora-version.xml");
    server->setResponse(elsewhere, manifest("1.1"));
    server->setResponse(ManifestPath, response);
    if (serverDown)
        server->stop();

    const Check check = runCheck();

    QVERIFY(check.finished);
    // No comparison at all: the stale file would otherwise report 0.9.
    QCOMPARE(check.lines, started + QList<ConsoleLine>{failureLine(message)});
    QCOMPARE(check.errorGeneral, QList<int>{100});
    QCOMPARE(check.bar, 100);
    QCOMPARE(contentsOf(published), staleManifest);
    QCOMPARE(QDir(QStringLiteral("temp")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("telvora-version.xml")});
    QCOMPARE(server->requestCount(elsewhere), 0);
}

void tst_UpdateCheck::unsavedManifestEndsTheCheckWithOneRedLine()
{
    QVERIFY(QDir().mkdir(QStringLiteral("temp")));
    QVERIFY(writeFile(published, staleManifest));
    server->setResponse(ManifestPath, manifest("1.1") + QByteArray(256 * 1024, ' '));

    if (!FileSizeLimit::isSupported())
        QSKIP("a full disk cannot be simulated on this system");
    FileSizeLimit fullDisk(64 * 1024);
    QVERIFY(fullDisk.isActive());
    const Check check = runCheck();
    QVERIFY(fullDisk.lift());

    QVERIFY(check.finished);
    QCOMPARE(check.lines,
             started
                     + QList<ConsoleLine>{failureLine(
                             cannotSave(published, QString::fromLocal8Bit(std::strerror(EFBIG))))});
    QCOMPARE(check.errorGeneral, QList<int>{100});
    QCOMPARE(check.bar, 100);
    QCOMPARE(contentsOf(published), staleManifest);
}

void tst_UpdateCheck::unsavableTargetEndsTheCheckWithOneRedLine_data()
{
    QTest::addColumn<bool>("tempIsAFile");

    QTest::newRow("the manifest's place is a folder") << false;
    QTest::newRow("temp is a file") << true;
}

void tst_UpdateCheck::unsavableTargetEndsTheCheckWithOneRedLine()
{
    QFETCH(bool, tempIsAFile);

    const QString temp = installation->tempDir();
    QList<ConsoleLine> expected;
    if (tempIsAFile) {
        QVERIFY(writeFile(temp, staleManifest));
        expected << tempNotice
                 << ConsoleLine::red(
                            QStringLiteral("^ [ERROR] No se pudo crear el directorio temporal ")
                            + temp + QStringLiteral(": ")
                            + QString::fromLocal8Bit(std::strerror(EEXIST)))
                 << downloadNotice;
    } else {
        QVERIFY(QDir().mkpath(published));
        expected << started;
    }
    const QString error = saveError(published);
    server->setResponse(ManifestPath, manifest("1.1"));

    const Check check = runCheck();

    QVERIFY(check.finished);
    QCOMPARE(check.lines, expected << failureLine(cannotSave(published, error)));
    QCOMPARE(check.errorGeneral, QList<int>{100});
    QCOMPARE(check.bar, 100);
    QCOMPARE(QFileInfo(published).isDir(), !tempIsAFile);
    QCOMPARE(QFileInfo(temp).isFile(), tempIsAFile);
}

void tst_UpdateCheck::stalledServerEndsTheCheckWithOneRedLine_data()
{
    QTest::addColumn<HttpsServer::Behaviour>("behaviour");
    QTest::addColumn<int>("inactivityTimeout");
    QTest::addColumn<int>("transferDeadline");
    QTest::addColumn<QStringList>("messages"); // each a true outcome

    // Each case shortens only its own limit, so another cannot end it first.
    // On a loaded machine, or under Wine, the connection, the TLS handshake or
    // the headers may take longer than 200 ms, and that limit ends the
    // download there instead.
    const int inactivity = DownloadManager::DefaultInactivityTimeout;
    const int deadline = DownloadManager::DefaultTransferDeadline;
    QTest::newRow("silent after the headers")
            << HttpsServer::StallAfterHeaders << 200 << deadline
            << inactivityMessages(200, DownloadStage::ReceivingBody, true);
    QTest::newRow("dripping byte by byte")
            << HttpsServer::Drip << inactivity << 300
            << QStringList{QStringLiteral(
                       "Download failed: not complete within 300 ms (transfer deadline)\n")};
    // Ended by its size, at once, in the window's own download.
#ifdef Q_OS_WIN
    const QString headersTooLarge =
            QStringLiteral("Download failed: Response header section too large\n");
#else
    const QString headersTooLarge =
            QStringLiteral("Download failed: the response headers were not complete within "
                           "4194304 bytes (header size limit)\n");
#endif
    QTest::newRow("flooding its headers") << HttpsServer::EndlessHeaderLines << inactivity
                                          << deadline << QStringList{headersTooLarge};
}

// The window's download gives up on a stalled server only after 30 s of
// silence or 120 s in all, and nothing shortens that for the download the
// window starts. So the window's own check is left stalled, and a download
// manager with short limits, wired to the comparison as the window wires its
// own, fetches the same address from the same server and delivers the
// stall's outcome. A flood of headers ends the window's own download.
void tst_UpdateCheck::stalledServerEndsTheCheckWithOneRedLine()
{
    QFETCH(HttpsServer::Behaviour, behaviour);
    QFETCH(int, inactivityTimeout);
    QFETCH(int, transferDeadline);
    QFETCH(QStringList, messages);
    const bool windowEndsItself = behaviour == HttpsServer::EndlessHeaderLines;

    QVERIFY(QDir().mkdir(QStringLiteral("temp")));
    QVERIFY(writeFile(published, staleManifest));
    HttpsServer::Response response;
    response.behaviour = behaviour;
    response.body = manifest("1.1") + QByteArray(10000, ' ');
    server->setResponse(ManifestPath, response);
    const int requests = server->requestCount(ManifestPath);

    MainWindow window;
    QSignalSpy errorGeneral(&window, &MainWindow::errorGeneral);
    window.findChild<QAction *>(QStringLiteral("actionStart"))->trigger();
    auto *manager = window.findChild<DownloadManager *>();
    QVERIFY(manager);
    QSignalSpy windowFinished(manager, &DownloadManager::downFinished);
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(ManifestPath), requests + 1, Guard);

    DownloadManager stalled;
    QSignalSpy stalledFinished(&stalled, &DownloadManager::downFinished);
    if (!windowEndsItself) {
        // Stalled: the check waits, with nothing concluded.
        QCOMPARE(consoleLines(window), started);
        stalled.setInactivityTimeout(inactivityTimeout);
        stalled.setTransferDeadline(transferDeadline);
        connect(&stalled, &DownloadManager::downFinished, &window, &MainWindow::compararVersiones);
        stalled.download(QUrl(manifestUrl(), QUrl::TolerantMode));
    }
    QSignalSpy &finished = windowEndsItself ? windowFinished : stalledFinished;
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, Guard);
    QCOMPARE(finished.first().value(0).toBool(), false);
    const QString message = finished.first().value(1).toString();
    QVERIFY2(messages.contains(message), qPrintable(message));

    QCOMPARE(consoleLines(window), started + QList<ConsoleLine>{failureLine(message)});
    QCOMPARE(errorGeneral.count(), 1);
    QCOMPARE(errorGeneral.first().value(0).toInt(), 100);
    QCOMPARE(window.findChild<QProgressBar *>(QStringLiteral("progressBar"))->value(), 100);
    QCOMPARE(contentsOf(published), staleManifest);
    QCOMPARE(windowFinished.count() + stalledFinished.count(), 1);
}

QTEST_MAIN(tst_UpdateCheck)
#include "tst_updatecheck.moc"
