#include "app/mainwindow.h"
#include "console/console.h"
#include "testfiles.h"
#include "testinstallation.h"

#include <QAbstractButton>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QTest>
#include <QTextBlock>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif
#include <QTextDocument>
#include <QTimer>

#include <functional>

// The update script runner with a real shell and a real update.sh in a
// temporary installation, and the box that reports a download.
class tst_ScriptRunner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void scriptOutputReachesTheConsoleOneLinePerBurst();
    void missingScriptIsReportedAndEveryRunHasItsOwnShell();
    void execBatchFileShowsTheOutcomeAndLeavesTheConsole_data();
    void execBatchFileShowsTheOutcomeAndLeavesTheConsole();
};

namespace {

// "café €" in UTF-8; the ANSI code pages read other characters from its bytes.
const QByteArray LocalBytes = "error: caf\xc3\xa9 \xe2\x82\xac";

struct Line
{
    QString text;
    QList<QColor> colours; // one per character
    bool bold = false;
};

Console *terminalOf(MainWindow &window)
{
    return window.findChild<Console *>(QStringLiteral("terminal"));
}

// The printed lines: every message lands in the banner's last paragraph and
// ends in a line separator.
QVector<Line> consoleLines(MainWindow &window)
{
    QVector<Line> lines;
    Line current;
    const QTextBlock block = terminalOf(window)->document()->lastBlock();
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        const QTextCharFormat format = fragment.charFormat();
        for (const QChar c : fragment.text()) {
            if (c == QChar::LineSeparator) {
                lines << current;
                current = Line();
                continue;
            }
            current.text += c;
            current.colours << format.foreground().color();
            current.bold = current.bold || format.fontWeight() >= QFont::Bold;
        }
    }
    return lines;
}

bool allGreen(const Line &line)
{
    for (const QColor &colour : line.colours) {
        if (colour != QColor(QStringLiteral("green")))
            return false;
    }
    return !line.colours.isEmpty();
}

// Ends every shell the window started by closing its input, so that no
// interpreter outlives the test.
bool endShells(MainWindow &window)
{
    bool ended = true;
    const auto processes = window.findChildren<QProcess *>();
    for (QProcess *process : processes) {
        process->closeWriteChannel();
        ended = process->waitForFinished(10000) && ended;
    }
    return ended;
}

} // namespace

void tst_ScriptRunner::initTestCase()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Standard error is decoded with the local code page; pin it so that the
    // decoding of the two channels can be told apart.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
#endif
    // Qt 6 takes UTF-8 on Unix and the ANSI code page on Windows; either way
    // these bytes must read differently there than in Latin-1.
    QVERIFY(QString::fromLocal8Bit(LocalBytes) != QString::fromLatin1(LocalBytes));
    QVERIFY(QFile::exists(QStringLiteral("/bin/sh")));
}

void tst_ScriptRunner::scriptOutputReachesTheConsoleOneLinePerBurst()
{
    struct Burst
    {
        const char *name;
        bool toStdErr;
        QByteArray bytes;
        QString shown;
    };
    QByteArray high;
    for (int byte = 0x80; byte <= 0xFF; ++byte)
        high += char(byte);
    // U+0085 is a line end (NEXT LINE), and line ends show as white space.
    const QString highShown = QString::fromLatin1(high).replace(QChar(0x85), QLatin1Char(' '));
    const QVector<Burst> bursts = {
            {"several lines in one burst", false, "first line\nsecond line\r\n",
             QStringLiteral("first line second line ")},
            {"bytes 0x80 to 0xFF as Latin-1", false, high, highShown},
            {"NUL cuts the burst", false, QByteArray("kept\0dropped\n", 13), QStringLiteral("kept")},
            {"standard error in the local code page", true, LocalBytes + '\n',
             QString::fromLocal8Bit(LocalBytes) + QLatin1Char(' ')},
            {"markup shown literally", false, "<b>not bold</b> &amp; <i>\n",
             QStringLiteral("<b>not bold</b> &amp; <i> ")},
            {"markup on standard error", true, "<font color=\"red\">x</font>\n",
             QStringLiteral("<font color=\"red\">x</font> ")},
    };

    TestInstallation installation;
    QVERIFY(installation.isValid());

    // Each burst is printed by one command, then the script waits for the test
    // to have seen it, so that bursts cannot run together in the pipe. The wait
    // is bounded, so a failed test leaves no script behind for long.
    QByteArray script = "wait_for() {\n"
                        "  i=0\n"
                        "  while [ ! -e \"$1\" ] && [ \"$i\" -lt 600 ]; do\n"
                        "    sleep 0.05; i=$((i + 1))\n"
                        "  done\n"
                        "}\n";
    for (int i = 0; i < bursts.size(); ++i) {
        const QByteArray n = QByteArray::number(i);
        QVERIFY(writeFile(installation.appFile(QStringLiteral("burst%1").arg(i)), bursts[i].bytes));
        script += "cat burst" + n + (bursts[i].toStdErr ? " >&2\n" : "\n");
        script += "wait_for seen" + n + "\n";
    }
    QVERIFY(writeFile(installation.appFile(QStringLiteral("update.sh")), script));

    MainWindow window;
    QVERIFY(consoleLines(window).isEmpty());
    window.runUpdateScript();

    for (int i = 0; i < bursts.size(); ++i) {
        const Burst &burst = bursts[i];
        QTRY_COMPARE_WITH_TIMEOUT(consoleLines(window).size(), i + 1, 10000);
        const Line line = consoleLines(window).at(i);
        QVERIFY2(line.text == burst.shown,
                 qPrintable(QStringLiteral("%1: got \"%2\"").arg(burst.name, line.text)));
        QVERIFY2(allGreen(line), burst.name);
        QVERIFY2(!line.bold, burst.name);
        QVERIFY(writeFile(installation.appFile(QStringLiteral("seen%1").arg(i)), QByteArray()));
    }

    QVERIFY(endShells(window));
    QCoreApplication::processEvents();
    QCOMPARE(consoleLines(window).size(), bursts.size());
}

void tst_ScriptRunner::missingScriptIsReportedAndEveryRunHasItsOwnShell()
{
    TestInstallation installation;
    QVERIFY(installation.isValid());
    QVERIFY(!QFile::exists(installation.appFile(QStringLiteral("update.sh"))));

    MainWindow window;
    window.runUpdateScript();

    // The shell's own complaint, through standard error.
    QTRY_COMPARE_WITH_TIMEOUT(consoleLines(window).size(), 1, 10000);
    Line line = consoleLines(window).at(0);
    QVERIFY2(line.text.contains(QStringLiteral("update.sh")), qPrintable(line.text));
    QVERIFY(allGreen(line));

    const auto first = window.findChildren<QProcess *>();
    QCOMPARE(first.size(), 1);
    QCOMPARE(first.at(0)->parent(), &window);

    window.runUpdateScript();

    QTRY_COMPARE_WITH_TIMEOUT(consoleLines(window).size(), 2, 10000);
    line = consoleLines(window).at(1);
    QVERIFY2(line.text.contains(QStringLiteral("update.sh")), qPrintable(line.text));

    // The earlier shell is neither stopped nor replaced.
    const auto both = window.findChildren<QProcess *>();
    QCOMPARE(both.size(), 2);
    QVERIFY(both.contains(first.at(0)));
    for (QProcess *process : both) {
        QCOMPARE(process->parent(), &window);
        QCOMPARE(process->state(), QProcess::Running);
    }

    QVERIFY(endShells(window));
}

void tst_ScriptRunner::execBatchFileShowsTheOutcomeAndLeavesTheConsole_data()
{
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("true") << true << QStringLiteral("Success")
                          << QStringLiteral("Archivo descargado con exito!");
    QTest::newRow("false") << false << QStringLiteral("Failed")
                           << QStringLiteral("Error al descargar el archivo.");
}

void tst_ScriptRunner::execBatchFileShowsTheOutcomeAndLeavesTheConsole()
{
    QFETCH(bool, succeeded);
    QFETCH(QString, title);
    QFETCH(QString, text);

    struct SeenBox
    {
        QString title;
        QString text;
        QWidget *parent;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    };
    QVector<SeenBox> seen;
    bool watching = true;

    MainWindow window;
    const QString before = terminalOf(window)->document()->toHtml();

    // A box runs its own loop: note and close it from inside that loop, and
    // keep looking until the call returns, so that a second box is counted
    // instead of blocking the test.
    std::function<void()> closeBoxes = [&] {
        if (!watching)
            return;
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            seen.append({box->windowTitle(), box->text(), box->parentWidget(), box->icon(),
                         box->standardButtons()});
            box->button(QMessageBox::Ok)->click();
        }
        QTimer::singleShot(0, &window, closeBoxes);
    };
    QTimer::singleShot(0, &window, closeBoxes);
    window.execBatchFile(succeeded);
    watching = false;

    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].title, title);
    QCOMPARE(seen[0].text, text);
    QCOMPARE(seen[0].parent, &window);
    QCOMPARE(seen[0].icon, QMessageBox::Information);
    QCOMPARE(seen[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(!QApplication::activeModalWidget());

    QCOMPARE(terminalOf(window)->document()->toHtml(), before);
    QVERIFY(window.findChildren<QProcess *>().isEmpty());
}

QTEST_MAIN(tst_ScriptRunner)
#include "tst_scriptrunner.moc"
