#include "app/mainwindow.h"
#include "consolelines.h"
#include "net/downloadmanager.h"
#include "testfiles.h"
#include "testinstallation.h"
#include "update/manifesturl.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <memory>

// File > Start and the progress bar. This test links the build that fetches
// its manifest from loopback, where nothing listens: whether and when that
// download ends is no concern here, so no assertion waits for it or depends
// on it, and nothing runs the event loop except a message box.
class tst_UpdateStart : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fetchesTheManifestFromLoopback();
    void firstStartPrintsItsStepsAndStartsOneDownload();
    void firstStartRunsARepeatingTwoSecondTimer();
    void ticksCreepToNinetyEightThenDiscardTheTimer();
    void progressBarSetValueSetsOtherValuesUnchanged();
    void failedDownloadKeepsTheFullBarAndStopsTheTimer();
    void laterStartShowsTheProgressInABox_data();
    void laterStartShowsTheProgressInABox();
    void existingTempIsLeftAlone();
    void tempThatCannotBeMadeIsReportedWithTheReason_data();
    void tempThatCannotBeMadeIsReportedWithTheReason();

private:
    std::unique_ptr<TestInstallation> installation;
};

static const ConsoleLine tempNotice =
        ConsoleLine::blue(QStringLiteral("Directorio temporal ../../temp"));
static const ConsoleLine ok = ConsoleLine::green(QStringLiteral("^ [OK]"));
static const ConsoleLine downloadNotice =
        ConsoleLine::blue(QStringLiteral("Descargando en ../temp/telvora-version.xml"));

static QAction *startAction(MainWindow &window)
{
    return window.findChild<QAction *>(QStringLiteral("actionStart"));
}

static QProgressBar *progressBar(MainWindow &window)
{
    return window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
}

static QList<QTimer *> timers(MainWindow &window)
{
    return window.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
}

// One tick, sent the way the timer itself sends it.
static bool tick(QTimer *timer)
{
    return QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);
}

// Runs the deletions that deleteLater scheduled, and nothing else.
static void runDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_UpdateStart::init()
{
    // Markup in the folder name, so that a path put into a line unescaped shows.
    installation = std::make_unique<TestInstallation>(TestInstallation::markupFolderName());
    QVERIFY(installation->isValid());
}

void tst_UpdateStart::cleanup()
{
    installation.reset();
}

void tst_UpdateStart::fetchesTheManifestFromLoopback()
{
    QCOMPARE(manifestUrl(),
             QStringLiteral("https://127.0.0.1:%1/telvora-version.xml")
                     .arg(TELVORA_TEST_MANIFEST_PORT));
    // This build sets no repository address; the manifest's folder stands in.
    MainWindow window;
    QCOMPARE(window.findChild<QLineEdit *>(QStringLiteral("urlRepositorio"))->text(),
             QStringLiteral("https://127.0.0.1:%1/").arg(TELVORA_TEST_MANIFEST_PORT));
}

void tst_UpdateStart::firstStartPrintsItsStepsAndStartsOneDownload()
{
    MainWindow window;
    QVERIFY(window.findChildren<DownloadManager *>().isEmpty());

    startAction(window)->trigger();

    // Whatever the download reports can only follow these.
    QCOMPARE(consoleLines(window).mid(0, 3), QList<ConsoleLine>({tempNotice, ok, downloadNotice}));
    QVERIFY(QFileInfo(installation->tempDir()).isDir());
    QCOMPARE(window.findChildren<DownloadManager *>().size(), 1);
    QCOMPARE(window.findChild<DownloadManager *>()->parent(), &window);
}

void tst_UpdateStart::firstStartRunsARepeatingTwoSecondTimer()
{
    MainWindow window;
    QVERIFY(timers(window).isEmpty());

    startAction(window)->trigger();

    QCOMPARE(timers(window).size(), 1);
    QTimer *timer = timers(window).first();
    QCOMPARE(timer->interval(), 2000);
    QVERIFY(!timer->isSingleShot());
    QVERIFY(timer->isActive());
    QCOMPARE(progressBar(window)->value(), 0);
}

void tst_UpdateStart::ticksCreepToNinetyEightThenDiscardTheTimer()
{
    MainWindow window;
    startAction(window)->trigger();
    QPointer<QTimer> timer = timers(window).value(0);
    QVERIFY(timer);
    QProgressBar *bar = progressBar(window);

    for (int value = 1; value <= 98; ++value) {
        QVERIFY(tick(timer));
        QCOMPARE(bar->value(), value);
    }
    QVERIFY(timer->isActive());

    // The tick that would pass 98 stops the timer and leaves the bar.
    QVERIFY(tick(timer));
    QCOMPARE(bar->value(), 98);
    QVERIFY(timer);
    QVERIFY(!timer->isActive());

    // Cut off as well: a stray tick of the dying timer moves nothing.
    window.progressBarSetValue(50);
    QVERIFY(tick(timer));
    QCOMPARE(bar->value(), 50);

    runDeferredDeletes();
    QVERIFY(timer.isNull());
    QVERIFY(timers(window).isEmpty());
}

void tst_UpdateStart::progressBarSetValueSetsOtherValuesUnchanged()
{
    MainWindow window;
    QProgressBar *bar = progressBar(window);

    window.progressBarSetValue(50);
    QCOMPARE(bar->value(), 50);
    window.progressBarSetValue(1);
    QCOMPARE(bar->value(), 51);
    window.progressBarSetValue(0);
    QCOMPARE(bar->value(), 0);
    window.progressBarSetValue(1);
    QCOMPARE(bar->value(), 1);
    window.progressBarSetValue(100);
    QCOMPARE(bar->value(), 100);

    // Without a Start there is no timer to stop; the bar stays.
    window.progressBarSetValue(98);
    window.progressBarSetValue(1);
    QCOMPARE(bar->value(), 98);
}

void tst_UpdateStart::failedDownloadKeepsTheFullBarAndStopsTheTimer()
{
    MainWindow window;
    startAction(window)->trigger();
    QPointer<QTimer> timer = timers(window).value(0);
    QVERIFY(timer);
    QProgressBar *bar = progressBar(window);
    for (int i = 0; i < 3; ++i)
        QVERIFY(tick(timer));
    QCOMPARE(bar->value(), 3);

    // What the comparison does for a failed download.
    emit window.errorGeneral(100);
    QCOMPARE(bar->value(), 100);

    QVERIFY(tick(timer));
    QCOMPARE(bar->value(), 100);
    QVERIFY(!timer->isActive());
    runDeferredDeletes();
    QVERIFY(timer.isNull());
}

void tst_UpdateStart::laterStartShowsTheProgressInABox_data()
{
    QTest::addColumn<int>("ticks");
    QTest::newRow("right after the first") << 0;
    QTest::newRow("eleven seconds later") << 5;
    QTest::newRow("at the top") << 98;
}

void tst_UpdateStart::laterStartShowsTheProgressInABox()
{
    QFETCH(int, ticks);

    MainWindow window;
    startAction(window)->trigger();
    QTimer *timer = timers(window).value(0);
    QVERIFY(timer);
    for (int i = 0; i < ticks; ++i)
        QVERIFY(tick(timer));

    struct
    {
        bool shown = false;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        QWidget *parent = nullptr;
    } box;
    // The box runs its own event loop; read and close it from inside.
    QTimer::singleShot(0, &window, [&box] {
        auto *shown = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!shown)
            return;
        box.shown = true;
        box.title = shown->windowTitle();
        box.text = shown->text();
        box.buttons = shown->standardButtons();
        box.parent = shown->parentWidget();
        shown->button(QMessageBox::Ok)->click();
    });

    startAction(window)->trigger();

    QVERIFY(box.shown);
    QCOMPARE(box.title, QStringLiteral("Importante_"));
    QCOMPARE(box.text, QStringLiteral("Actualizacion en curso %1%").arg(ticks));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, &window);
    QVERIFY(!QApplication::activeModalWidget());

    // Nothing else started: no second folder step, timer or download.
    QCOMPARE(consoleLines(window).count(tempNotice), 1);
    QCOMPARE(timers(window).size(), 1);
    QCOMPARE(window.findChildren<DownloadManager *>().size(), 1);
}

void tst_UpdateStart::existingTempIsLeftAlone()
{
    const QString temp = installation->tempDir();
    QVERIFY(QDir().mkdir(temp));
    QVERIFY(writeFile(temp + QStringLiteral("/telvora-version.xml"), "<nversion>0.9</nversion>"));

    MainWindow window;
    startAction(window)->trigger();

    QCOMPARE(consoleLines(window).mid(0, 3), QList<ConsoleLine>({tempNotice, ok, downloadNotice}));
    QCOMPARE(QDir(temp).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList{QStringLiteral("telvora-version.xml")});
}

void tst_UpdateStart::tempThatCannotBeMadeIsReportedWithTheReason_data()
{
    QTest::addColumn<bool>("fileNamedTemp");
    QTest::addColumn<int>("reason");

    QTest::newRow("a file named temp") << true << EEXIST;
    QTest::newRow("an updater folder that its user may not write") << false << EACCES;
}

void tst_UpdateStart::tempThatCannotBeMadeIsReportedWithTheReason()
{
    QFETCH(bool, fileNamedTemp);
    QFETCH(int, reason);

    const QString temp = installation->tempDir();
    const QString updater = QDir::currentPath();
    const QFile::Permissions permissions = QFile::permissions(updater);
    // Writable again whatever happens, so that the installation can be removed.
    const auto restore = qScopeGuard([&] { QFile::setPermissions(updater, permissions); });
    if (fileNamedTemp) {
        QVERIFY(writeFile(temp, "not a folder"));
    } else {
        QVERIFY(QFile::setPermissions(updater, QFile::ReadOwner | QFile::ExeOwner));
        // Root ignores the bits, and Windows reads them as a read-only
        // attribute that does not keep anyone from making a folder.
        if (QDir().mkdir(temp)) {
            QVERIFY(QDir().rmdir(temp));
            QSKIP("this user may make folders in a read-only folder");
        }
    }

    MainWindow window;
    startAction(window)->trigger();

    // The check goes on: the download reports its own failure later.
    const ConsoleLine error = ConsoleLine::red(
            QStringLiteral("^ [ERROR] No se pudo crear el directorio temporal ") + temp
            + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(reason)));
    QCOMPARE(consoleLines(window).mid(0, 3),
             QList<ConsoleLine>({tempNotice, error, downloadNotice}));
    QCOMPARE(window.findChildren<DownloadManager *>().size(), 1);
    if (fileNamedTemp) {
        QVERIFY(QFileInfo(temp).isFile());
        QCOMPARE(QFileInfo(temp).size(), qint64(12));
    } else {
        QVERIFY(!QFileInfo::exists(temp));
    }
}

QTEST_MAIN(tst_UpdateStart)
#include "tst_updatestart.moc"
