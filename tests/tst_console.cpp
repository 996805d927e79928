#include "app/mainwindow.h"
#include "console/console.h"

#include <QContextMenuEvent>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

// The console widget on its own, and the coloured lines that the window
// writes into it.
class tst_Console : public QObject
{
    Q_OBJECT

private slots:
    void paletteIsGreenOnBlack();
    void keepsTheLastHundredParagraphs();
    void ignoresKeysWhileEchoIsOff_data();
    void ignoresKeysWhileEchoIsOff();
    void echoTypesLettersButNeverEditsOrMoves_data();
    void echoTypesLettersButNeverEditsOrMoves();
    void clickOnlyFocuses();
    void doubleClickSelectsNothing();
    void hasNoContextMenu();
    void writeHtmlScrollsToTheNewestLine_data();
    void writeHtmlScrollsToTheNewestLine();

    void printConsoleColoursByKind_data();
    void printConsoleColoursByKind();
    void printConsoleEndsEachMessageWithOneLineBreak();
    void printConsoleLetsCallerMarkupTakeEffect();
    void printConsoleShowsLineEndsAsWhiteSpace();
    void printConsoleKeepsTheCursorAtTheEnd();

private:
    static Console *terminalOf(MainWindow &window)
    {
        return window.findChild<Console *>(QStringLiteral("terminal"));
    }
};

// A console holding a few lines of plain text, the cursor at the end.
static void fill(Console &console, int lines)
{
    for (int i = 0; i < lines; ++i)
        console.append(QStringLiteral("line %1").arg(i));
    console.moveCursor(QTextCursor::End);
}

void tst_Console::paletteIsGreenOnBlack()
{
    Console console;
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        QCOMPARE(console.palette().color(group, QPalette::Base), QColor(Qt::black));
        QCOMPARE(console.palette().color(group, QPalette::Text), QColor(Qt::green));
    }
    QVERIFY(!console.isReadOnly());
    QVERIFY(!console.isEchoEnabled());
}

void tst_Console::keepsTheLastHundredParagraphs()
{
    Console console;
    QCOMPARE(console.document()->maximumBlockCount(), 100);
    fill(console, 150);
    QCOMPARE(console.document()->blockCount(), 100);
    QCOMPARE(console.document()->firstBlock().text(), QStringLiteral("line 50"));
    QCOMPARE(console.document()->lastBlock().text(), QStringLiteral("line 149"));
}

void tst_Console::ignoresKeysWhileEchoIsOff_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("letter") << int(Qt::Key_A) << int(Qt::NoModifier);
    QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier);
    QTest::newRow("Delete") << int(Qt::Key_Delete) << int(Qt::NoModifier);
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << int(Qt::NoModifier);
    QTest::newRow("Home") << int(Qt::Key_Home) << int(Qt::NoModifier);
    QTest::newRow("select all") << int(Qt::Key_A) << int(Qt::ControlModifier);
    QTest::newRow("Left") << int(Qt::Key_Left) << int(Qt::NoModifier);
    QTest::newRow("Up") << int(Qt::Key_Up) << int(Qt::NoModifier);
}

void tst_Console::ignoresKeysWhileEchoIsOff()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);

    Console console;
    fill(console, 3);
    const int position = console.textCursor().position();

    QTest::keyClick(&console, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

    QCOMPARE(console.toPlainText(), QStringLiteral("line 0\nline 1\nline 2"));
    QCOMPARE(console.textCursor().position(), position);
    QVERIFY(!console.textCursor().hasSelection());
}

void tst_Console::echoTypesLettersButNeverEditsOrMoves_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("cursorMove");
    const QString untouched = QStringLiteral("line 0\nline 1");
    QTest::newRow("letter") << int(Qt::Key_X) << QStringLiteral("lixne 0\nline 1") << 1;
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << untouched << 0;
    QTest::newRow("Left") << int(Qt::Key_Left) << untouched << 0;
    QTest::newRow("Up") << int(Qt::Key_Up) << untouched << 0;
    QTest::newRow("Right") << int(Qt::Key_Right) << untouched << 0;
    QTest::newRow("Down") << int(Qt::Key_Down) << untouched << 0;
}

void tst_Console::echoTypesLettersButNeverEditsOrMoves()
{
    QFETCH(int, key);
    QFETCH(QString, expected);
    QFETCH(int, cursorMove);

    Console console;
    console.setEchoEnabled(true);
    QVERIFY(console.isEchoEnabled());
    fill(console, 2);
    // Inside the first line, where every one of these keys could act.
    QTextCursor cursor = console.textCursor();
    cursor.setPosition(2);
    console.setTextCursor(cursor);

    QTest::keyClick(&console, Qt::Key(key), Qt::NoModifier);

    QCOMPARE(console.toPlainText(), expected);
    QCOMPARE(console.textCursor().position(), 2 + cursorMove);
}

void tst_Console::clickOnlyFocuses()
{
    QWidget window;
    auto *console = new Console(&window);
    auto *other = new Console(&window);
    other->move(0, 300);
    console->resize(300, 200);
    fill(*console, 5);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    other->setFocus();
    const int end = console->textCursor().position();

    QTest::mouseClick(console->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));

    QCOMPARE(window.focusWidget(), console);
    QCOMPARE(console->textCursor().position(), end);
    QVERIFY(!console->textCursor().hasSelection());
}

void tst_Console::doubleClickSelectsNothing()
{
    Console console;
    console.resize(300, 200);
    fill(console, 5);
    console.show();
    QVERIFY(QTest::qWaitForWindowExposed(&console));
    const int end = console.textCursor().position();

    QTest::mouseDClick(console.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));

    QCOMPARE(console.textCursor().position(), end);
    QVERIFY(!console.textCursor().hasSelection());
}

void tst_Console::hasNoContextMenu()
{
    Console console;
    console.resize(300, 200);
    fill(console, 5);
    console.show();
    QVERIFY(QTest::qWaitForWindowExposed(&console));

    // The text editor's own menu would run a nested loop; note and close it
    // from inside that loop, so that a regression fails instead of hanging.
    QWidget *popup = nullptr;
    QTimer::singleShot(0, &console, [&popup] {
        popup = QApplication::activePopupWidget();
        if (popup)
            popup->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            console.viewport()->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(console.viewport(), &event);
    QCoreApplication::processEvents();

    QVERIFY(!popup);
    QVERIFY(!QApplication::activePopupWidget());
}

void tst_Console::writeHtmlScrollsToTheNewestLine_data()
{
    QTest::addColumn<QString>("html");
    QTest::newRow("a line") << QStringLiteral("<b>newest</b><br>");
    QTest::newRow("empty string") << QString();
}

void tst_Console::writeHtmlScrollsToTheNewestLine()
{
    QFETCH(QString, html);

    Console console;
    console.resize(300, 120);
    fill(console, 60);
    console.show();
    QVERIFY(QTest::qWaitForWindowExposed(&console));
    QScrollBar *bar = console.verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    bar->setValue(0);

    console.writeHtml(html);

    QVERIFY(bar->value() > 0);
    QCOMPARE(bar->value(), bar->maximum());
}

void tst_Console::printConsoleColoursByKind_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("0 red") << 0 << QColor(QStringLiteral("red"));
    QTest::newRow("1 blue") << 1 << QColor(QStringLiteral("blue"));
    QTest::newRow("2 green") << 2 << QColor(QStringLiteral("green"));
    QTest::newRow("7 green") << 7 << QColor(QStringLiteral("green"));
    QTest::newRow("8 green") << 8 << QColor(QStringLiteral("green"));
    QTest::newRow("-1 green") << -1 << QColor(QStringLiteral("green"));
}

void tst_Console::printConsoleColoursByKind()
{
    QFETCH(int, kind);
    QFETCH(QColor, colour);

    MainWindow window;
    window.printConsole(QStringLiteral("abc"), kind);

    // The message lands in the empty paragraph that the banner left.
    QTextBlock line = terminalOf(window)->document()->lastBlock();
    QCOMPARE(line.text(), QStringLiteral("abc") + QChar(QChar::LineSeparator));
    const QTextFragment text = line.begin().fragment();
    QCOMPARE(text.text(), QStringLiteral("abc"));
    QCOMPARE(text.charFormat().foreground().color(), colour);
}

void tst_Console::printConsoleEndsEachMessageWithOneLineBreak()
{
    MainWindow window;
    Console *console = terminalOf(window);
    const int blocks = console->document()->blockCount();

    window.printConsole(QStringLiteral("one"), 2);
    window.printConsole(QString(), 1); // a blank line
    window.printConsole(QStringLiteral("three"), 0);

    // Line breaks, not paragraphs: the messages share the banner's last block.
    QCOMPARE(console->document()->blockCount(), blocks);
    const QChar br(QChar::LineSeparator);
    QCOMPARE(console->document()->lastBlock().text(),
             QStringLiteral("one") + br + br + QStringLiteral("three") + br);
}

void tst_Console::printConsoleLetsCallerMarkupTakeEffect()
{
    MainWindow window;
    window.printConsole(QStringLiteral("plain <b>bold</b>"), 1);

    QTextBlock line = terminalOf(window)->document()->lastBlock();
    QCOMPARE(line.text(), QStringLiteral("plain bold") + QChar(QChar::LineSeparator));
    QTextBlock::iterator it = line.begin();
    QCOMPARE(it.fragment().text(), QStringLiteral("plain "));
    QVERIFY(it.fragment().charFormat().fontWeight() < QFont::Bold);
    ++it;
    QCOMPARE(it.fragment().text(), QStringLiteral("bold"));
    QCOMPARE(it.fragment().charFormat().fontWeight(), int(QFont::Bold));
    QCOMPARE(it.fragment().charFormat().foreground().color(), QColor(QStringLiteral("blue")));
}

void tst_Console::printConsoleShowsLineEndsAsWhiteSpace()
{
    MainWindow window;
    window.printConsole(QStringLiteral("first\r\nsecond\r\n"), 8);

    QTextBlock line = terminalOf(window)->document()->lastBlock();
    QCOMPARE(line.text(), QStringLiteral("first second ") + QChar(QChar::LineSeparator));
}

void tst_Console::printConsoleKeepsTheCursorAtTheEnd()
{
    MainWindow window;
    Console *console = terminalOf(window);

    for (int kind : {0, 1, 2, 8}) {
        // Wherever the cursor was left, it ends at the end of the log, so
        // that the next message follows the newest one.
        console->moveCursor(QTextCursor::Start);
        window.printConsole(QStringLiteral("kind %1").arg(kind), kind);
        QVERIFY(console->textCursor().atEnd());
        QVERIFY(!console->textCursor().hasSelection());
        window.printConsole(QStringLiteral("next"), kind);
        QVERIFY(console->document()->lastBlock().text().endsWith(QStringLiteral("next")
                                                                 + QChar(QChar::LineSeparator)));
        QVERIFY(console->textCursor().atEnd());
    }
}

QTEST_MAIN(tst_Console)
#include "tst_console.moc"
