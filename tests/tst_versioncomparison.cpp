#include "app/mainwindow.h"
#include "consolelines.h"
#include "testfiles.h"
#include "testinstallation.h"

#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTest>

#include <memory>

// The end of an update check: the download's outcome in, the verdict out,
// worked out in a temporary installation whose updater folder is the
// current directory.
class tst_VersionComparison : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void reportsTheVerdict_data();
    void reportsTheVerdict();
    void giveNoVerdictWithoutBothVersions_data();
    void giveNoVerdictWithoutBothVersions();
    void reportsMissingManifests_data();
    void reportsMissingManifests();
    void reportsAFailedDownloadAndFillsTheBar_data();
    void reportsAFailedDownloadAndFillsTheBar();

private:
    std::unique_ptr<TestInstallation> installation;
    QString installed;
    QString published;
};

static const QString comparing =
        QStringLiteral("Comparando con la version instalada del software ../telvora-version.xml");

static QByteArray manifest(const QByteArray &version)
{
    return "<?xml version=\"1.0\"?>\n<telvora><nversion>" + version + "</nversion></telvora>\n";
}

void tst_VersionComparison::init()
{
    // Markup in the folder name, so that a path put into a line unescaped shows.
    installation = std::make_unique<TestInstallation>(TestInstallation::markupFolderName());
    QVERIFY(installation->isValid());
    QVERIFY(QDir().mkpath(installation->tempDir()));
    installed = installation->installedManifest();
    published = installation->publishedManifest();
}

void tst_VersionComparison::cleanup()
{
    installation.reset();
}

void tst_VersionComparison::reportsTheVerdict_data()
{
    QTest::addColumn<QByteArray>("installedVersion");
    QTest::addColumn<QByteArray>("publishedVersion");
    QTest::addColumn<QList<ConsoleLine>>("verdict");

    // The console renders HTML, which shows the message's two blanks as one.
    const QList<ConsoleLine> latest{
            ConsoleLine::blue(QStringLiteral("Software en su version mas reciente!"))};
    auto updates = [](const QString &installedText, const QString &publishedText) {
        return QList<ConsoleLine>{
                ConsoleLine::blue(QStringLiteral("Hay actualizaciones disponibles")),
                ConsoleLine::green(QStringLiteral("Version actual: ") + installedText),
                ConsoleLine::green(QStringLiteral("Version disponible: ") + publishedText)};
    };

    QTest::newRow("same version") << QByteArray("1.0") << QByteArray("1.0") << latest;
    QTest::newRow("same text with blanks")
            << QByteArray(" 1.0 beta") << QByteArray(" 1.0 beta") << latest;
    QTest::newRow("newer published") << QByteArray("1.0") << QByteArray("1.1")
                                     << updates(QStringLiteral("1.0"), QStringLiteral("1.1"));
    QTest::newRow("no numeric ordering") << QByteArray("1.9") << QByteArray("1.10")
                                         << updates(QStringLiteral("1.9"), QStringLiteral("1.10"));
    QTest::newRow("older published") << QByteArray("2.0") << QByteArray("1.0")
                                     << updates(QStringLiteral("2.0"), QStringLiteral("1.0"));
    QTest::newRow("letter case differs")
            << QByteArray("1.0-rc") << QByteArray("1.0-RC")
            << updates(QStringLiteral("1.0-rc"), QStringLiteral("1.0-RC"));
    // The console collapses the blank into the line's end, but the versions differ.
    QTest::newRow("trailing blank differs")
            << QByteArray("1.0") << QByteArray("1.0 ")
            << updates(QStringLiteral("1.0"), QStringLiteral("1.0 "));
    QTest::newRow("markup in the published version shows literally")
            << QByteArray("1.0")
            << QByteArray("<![CDATA[<b>9.9</b></font><font color=\"red\">hidden<br>]]>")
            << updates(QStringLiteral("1.0"),
                       QStringLiteral("<b>9.9</b></font><font color=\"red\">hidden<br>"));
    QTest::newRow("escaped markup in the installed version shows literally")
            << QByteArray("&lt;i&gt;1.0&lt;/i&gt; &amp;amp;") << QByteArray("1.1")
            << updates(QStringLiteral("<i>1.0</i> &amp;"), QStringLiteral("1.1"));
}

void tst_VersionComparison::reportsTheVerdict()
{
    QFETCH(QByteArray, installedVersion);
    QFETCH(QByteArray, publishedVersion);
    QFETCH(QList<ConsoleLine>, verdict);

    QVERIFY(writeFile(installed, manifest(installedVersion)));
    QVERIFY(writeFile(published, manifest(publishedVersion)));
    MainWindow window;
    QSignalSpy progress(&window, &MainWindow::errorGeneral);

    // The message only matters for a failed download.
    window.compararVersiones(true, QStringLiteral("Download succeeded (saved to x)\n"));

    QCOMPARE(consoleLines(window), QList<ConsoleLine>{ConsoleLine::green(comparing)} + verdict);
    QCOMPARE(progress.count(), 0);
}

void tst_VersionComparison::giveNoVerdictWithoutBothVersions_data()
{
    QTest::addColumn<QByteArray>("installedContent");
    QTest::addColumn<QByteArray>("publishedContent");
    QTest::addColumn<QStringList>("readerLines");
    QTest::addColumn<bool>("installedUnknown");
    QTest::addColumn<bool>("publishedUnknown");

    const QByteArray good = manifest("1.0");
    const QByteArray empty = manifest("");
    const QByteArray without = "<telvora><version>1.0</version></telvora>";
    QFile page(QStringLiteral(TELVORA_TEST_DATA "/error-page.html"));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QByteArray html = page.readAll();
    const QString mismatch = QStringLiteral("Opening and ending tag mismatch.");

    QTest::newRow("published without nversion")
            << good << without << QStringList() << false << true;
    QTest::newRow("installed nversion empty") << empty << good << QStringList() << true << false;
    QTest::newRow("both without a version") << without << empty << QStringList() << true << true;
    QTest::newRow("published is a web page")
            << good << html << QStringList{mismatch} << false << true;
    QTest::newRow("installed is an empty file")
            << QByteArray() << good << QStringList{QStringLiteral("Premature end of document.")}
            << true << false;
    // Read published first, so its complaint comes first; the verdict lines
    // still name the installed side first.
    QTest::newRow("neither is XML")
            << QByteArray("version 1.0\n") << html
            << QStringList{mismatch, QStringLiteral("Start tag expected.")} << true << true;
}

void tst_VersionComparison::giveNoVerdictWithoutBothVersions()
{
    QFETCH(QByteArray, installedContent);
    QFETCH(QByteArray, publishedContent);
    QFETCH(QStringList, readerLines);
    QFETCH(bool, installedUnknown);
    QFETCH(bool, publishedUnknown);

    QVERIFY(writeFile(installed, installedContent));
    QVERIFY(writeFile(published, publishedContent));
    MainWindow window;

    window.compararVersiones(true, QString());

    QList<ConsoleLine> expected{ConsoleLine::green(comparing)};
    for (const QString &line : qAsConst(readerLines))
        expected << ConsoleLine::red(line);
    if (installedUnknown)
        expected << ConsoleLine::red(QStringLiteral("Version no encontrada en ") + installed);
    if (publishedUnknown)
        expected << ConsoleLine::red(QStringLiteral("Version no encontrada en ") + published);
    QCOMPARE(consoleLines(window), expected);
}

void tst_VersionComparison::reportsMissingManifests_data()
{
    QTest::addColumn<bool>("withInstalled");
    QTest::addColumn<bool>("withPublished");
    QTest::addColumn<bool>("atTheRoot");

    QTest::newRow("no published manifest") << true << false << false;
    QTest::newRow("no installed manifest") << false << true << false;
    QTest::newRow("neither") << false << false << false;
    // The root is its own parent, and its path already ends in a slash.
    QTest::newRow("neither, at the root") << false << false << true;
}

void tst_VersionComparison::reportsMissingManifests()
{
    QFETCH(bool, withInstalled);
    QFETCH(bool, withPublished);
    QFETCH(bool, atTheRoot);

    if (withInstalled)
        QVERIFY(writeFile(installed, manifest("1.0")));
    if (withPublished)
        QVERIFY(writeFile(published, manifest("1.1")));
    if (atTheRoot) {
        QVERIFY(QDir::setCurrent(QDir::rootPath()));
        installed = QDir::rootPath() + QStringLiteral("telvora-version.xml");
        published = QDir::rootPath() + QStringLiteral("temp/telvora-version.xml");
        if (QFile::exists(installed) || QFile::exists(published))
            QSKIP("this machine's root holds a manifest");
    }
    MainWindow window;

    window.compararVersiones(true, QString());

    QCOMPARE(consoleLines(window),
             QList<ConsoleLine>({ConsoleLine::green(comparing),
                                 ConsoleLine::red(QStringLiteral("Archivos XML no encontrado...")),
                                 ConsoleLine::red(installed), ConsoleLine::red(published)}));
}

void tst_VersionComparison::reportsAFailedDownloadAndFillsTheBar_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("line");

    // The message's own line feed is white space on the console.
    QTest::newRow("network error") << QStringLiteral("Download failed: Connection refused\n")
                                   << QStringLiteral("^ [Download failed: Connection refused ]");
    QTest::newRow("markup in the message")
            << QStringLiteral("Download failed: <b>Host</b> & <font color=\"green\">x</font>\n")
            << QStringLiteral("^ [Download failed: <b>Host</b> & <font color=\"green\">x</font> ]");
    QTest::newRow("empty message") << QString() << QStringLiteral("^ []");
}

void tst_VersionComparison::reportsAFailedDownloadAndFillsTheBar()
{
    QFETCH(QString, message);
    QFETCH(QString, line);

    // Manifests that would compare: a failed download must not look at them.
    QVERIFY(writeFile(installed, manifest("1.0")));
    QVERIFY(writeFile(published, manifest("1.1")));
    MainWindow window;
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(bar);
    QSignalSpy progress(&window, &MainWindow::errorGeneral);

    window.compararVersiones(false, message);

    QCOMPARE(consoleLines(window), QList<ConsoleLine>{ConsoleLine::red(line)});
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.first().first().toInt(), 100);
    QCOMPARE(bar->value(), 100);
}

QTEST_MAIN(tst_VersionComparison)
#include "tst_versioncomparison.moc"
