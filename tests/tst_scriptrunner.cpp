#include "app/mainwindow.h"
#include "console/console.h"
#include "testfiles.h"
#include "testinstallation.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTextBlock>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <utility>

// The update script runner with a real interpreter, sh or on Windows cmd, and
// a real update script where the program looks for it, and the box that
// reports a download.
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

#ifdef Q_OS_WIN
const QString ScriptFolderPath = QStringLiteral("C:/Users/operador/Desktop/soft");
const QString ScriptName = QStringLiteral("update.bat");
// What cmd shows before it reads a command, once it is in the script's folder.
const QString ScriptPrompt = QStringLiteral("C:\\Users\\operador\\Desktop\\soft>");
// Makes an interpreter write without end.
const QByteArray EndlessOutput = "for /l %i in (1,0,2) do @echo late\r\n";
#else
const QString ScriptName = QStringLiteral("update.sh");
const QByteArray EndlessOutput = "while :; do echo late; done\n";
#endif

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

// The folder where the program looks for the update script, with a temporary
// installation made current. Elsewhere that is the installation's application
// folder; on Windows it is a fixed folder of the machine's, so whatever the
// test adds there, folders included, goes again when this is destroyed.
class ScriptFolder
{
public:
    ScriptFolder();
    ~ScriptFolder();
    ScriptFolder(const ScriptFolder &) = delete;
    ScriptFolder &operator=(const ScriptFolder &) = delete;

    bool isValid() const { return m_valid; }
    QString file(const QString &name);

private:
    TestInstallation m_installation;
    bool m_valid = false;
#ifdef Q_OS_WIN
    QStringList m_madeFolders; // deepest first
    QStringList m_files;
#endif
};

ScriptFolder::ScriptFolder()
{
#ifdef Q_OS_WIN
    for (QString path = ScriptFolderPath; !QFileInfo::exists(path); path = QFileInfo(path).path())
        m_madeFolders << path;
    m_valid = m_installation.isValid() && QDir().mkpath(ScriptFolderPath);
#else
    m_valid = m_installation.isValid();
#endif
}

ScriptFolder::~ScriptFolder()
{
#ifdef Q_OS_WIN
    for (const QString &path : std::as_const(m_files))
        QFile::remove(path);
    for (const QString &path : std::as_const(m_madeFolders))
        QDir().rmdir(path);
#endif
}

QString ScriptFolder::file(const QString &name)
{
#ifdef Q_OS_WIN
    const QString path = ScriptFolderPath + QLatin1Char('/') + name;
    if (!m_files.contains(path))
        m_files << path;
    return path;
#else
    return m_installation.appFile(name);
#endif
}

// The console line at which the output of a script just started will begin,
// or -1 when the interpreter was not ready for it. sh adds nothing to the
// earlier lines; cmd greets, and prompts before every command it reads, so
// the script's output follows the prompt in its folder, which
// runUpdateScript() waits for.
int scriptOutputStart(MainWindow &window, int earlierLines)
{
    const QVector<Line> lines = consoleLines(window);
#ifdef Q_OS_WIN
    // However cmd's writes fell into bursts.
    QString since;
    for (int i = earlierLines; i < lines.size(); ++i)
        since += lines.at(i).text;
    const bool ready = since.trimmed().endsWith(ScriptPrompt);
#else
    const bool ready = lines.size() == earlierLines;
#endif
    return ready ? lines.size() : -1;
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
#ifdef Q_OS_WIN
    QVERIFY(!QStandardPaths::findExecutable(QStringLiteral("cmd")).isEmpty());
#else
    QVERIFY(QFile::exists(QStringLiteral("/bin/sh")));
#endif
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
            // Under Wine, type (like more, find and cscript) itself stops at the
            // NUL, so there this row shows only that nothing after it arrives.
            {"NUL cuts the burst", false, QByteArray("kept\0dropped\n", 13), QStringLiteral("kept")},
            {"standard error in the local code page", true, LocalBytes + '\n',
             QString::fromLocal8Bit(LocalBytes) + QLatin1Char(' ')},
            {"markup shown literally", false, "<b>not bold</b> &amp; <i>\n",
             QStringLiteral("<b>not bold</b> &amp; <i> ")},
            {"markup on standard error", true, "<font color=\"red\">x</font>\n",
             QStringLiteral("<font color=\"red\">x</font> ")},
    };

    ScriptFolder folder;
    QVERIFY(folder.isValid());

    // Each burst is printed by one command, then the script waits for the test
    // to have seen it, so that bursts cannot run together in the pipe. The wait
    // is bounded, so a failed test leaves no script behind for long.
#ifdef Q_OS_WIN
    // cmd has no sleep; a ping of the loopback address stands in for one.
    QByteArray script = "@echo off\r\n"
                        "goto bursts\r\n"
                        ":wait_for\r\n"
                        "set /a i=0\r\n"
                        ":poll\r\n"
                        "if exist %1 goto :eof\r\n"
                        "if %i% geq 600 goto :eof\r\n"
                        "set /a i+=1\r\n"
                        "ping -n 1 127.0.0.1 >NUL\r\n"
                        "goto poll\r\n"
                        ":bursts\r\n";
    const QByteArray show = "type burst", toStdErr = " 1>&2", waitFor = "call :wait_for seen",
                     end = "\r\n";
#else
    QByteArray script = "wait_for() {\n"
                        "  i=0\n"
                        "  while [ ! -e \"$1\" ] && [ \"$i\" -lt 600 ]; do\n"
                        "    sleep 0.05; i=$((i + 1))\n"
                        "  done\n"
                        "}\n";
    const QByteArray show = "cat burst", toStdErr = " >&2", waitFor = "wait_for seen", end = "\n";
#endif
    for (int i = 0; i < bursts.size(); ++i) {
        const QByteArray n = QByteArray::number(i);
        QVERIFY(writeFile(folder.file(QStringLiteral("burst%1").arg(i)), bursts[i].bytes));
        script += show + n + (bursts[i].toStdErr ? toStdErr : QByteArray()) + end;
        script += waitFor + n + end;
    }
    QVERIFY(writeFile(folder.file(ScriptName), script));

    MainWindow window;
    QVERIFY(consoleLines(window).isEmpty());
    window.runUpdateScript();
    const int first = scriptOutputStart(window, 0);
    QVERIFY(first >= 0);

    for (int i = 0; i < bursts.size(); ++i) {
        const Burst &burst = bursts[i];
        QTRY_COMPARE_WITH_TIMEOUT(consoleLines(window).size(), first + i + 1, 10000);
        const Line line = consoleLines(window).at(first + i);
        QVERIFY2(line.text == burst.shown,
                 qPrintable(QStringLiteral("%1: got \"%2\"").arg(burst.name, line.text)));
        QVERIFY2(allGreen(line), burst.name);
        QVERIFY2(!line.bold, burst.name);
        QVERIFY(writeFile(folder.file(QStringLiteral("seen%1").arg(i)), QByteArray()));
    }

    QVERIFY(endShells(window));
    QCoreApplication::processEvents();
#ifdef Q_OS_WIN
    // Back from the script, cmd prompts for the next command.
    QCOMPARE(consoleLines(window).size(), first + bursts.size() + 1);
    QCOMPARE(consoleLines(window).last().text, ScriptPrompt);
#else
    QCOMPARE(consoleLines(window).size(), bursts.size());
#endif
}

void tst_ScriptRunner::missingScriptIsReportedAndEveryRunHasItsOwnShell()
{
    ScriptFolder folder;
    QVERIFY(folder.isValid());
    QVERIFY(!QFile::exists(folder.file(ScriptName)));

    MainWindow window;
    window.runUpdateScript();

    // The shell's own complaint, through standard error; cmd prompts again
    // after it.
#ifdef Q_OS_WIN
    const int linesPerRun = 2;
#else
    const int linesPerRun = 1;
#endif
    // cmd's prompt comes on standard output, so it may come before the
    // complaint as well as after it.
    const auto complaint = [&window, linesPerRun](int start) {
        const QVector<Line> lines = consoleLines(window).mid(start, linesPerRun);
        const auto found = std::find_if(lines.cbegin(), lines.cend(), [](const Line &line) {
            return line.text.contains(ScriptName);
        });
        return found == lines.cend() ? Line() : *found;
    };
    int start = scriptOutputStart(window, 0);
    QVERIFY(start >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(consoleLines(window).size(), start + linesPerRun, 10000);
    Line line = complaint(start);
    QVERIFY2(line.text.contains(ScriptName), qPrintable(line.text));
    QVERIFY(allGreen(line));

    const auto first = window.findChildren<QProcess *>();
    QCOMPARE(first.size(), 1);
    QCOMPARE(first.at(0)->parent(), &window);

    window.runUpdateScript();

    start = scriptOutputStart(window, start + linesPerRun);
    QVERIFY(start >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(consoleLines(window).size(), start + linesPerRun, 10000);
    line = complaint(start);
    QVERIFY2(line.text.contains(ScriptName), qPrintable(line.text));

    // The earlier shell is neither stopped nor replaced.
    const auto both = window.findChildren<QProcess *>();
    QCOMPARE(both.size(), 2);
    QVERIFY(both.contains(first.at(0)));
    for (QProcess *process : both) {
        QCOMPARE(process->parent(), &window);
        QCOMPARE(process->state(), QProcess::Running);
    }

    // The window goes with both interpreters still writing: they are killed
    // with it, and what they write meanwhile must not reach a console that
    // has gone first.
    for (QProcess *process : both)
        process->write(EndlessOutput);
    QTRY_VERIFY_WITH_TIMEOUT(consoleLines(window).last().text.contains(QStringLiteral("late")),
                             10000);
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
