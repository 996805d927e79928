// The cost of one console line as the log grows: prints, after 10, 100 and
// 1,000 lines, the mean microseconds of the next lines and the document's size.
#include "console/console.h"
#include "app/mainwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTextDocument>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    auto *console = window.findChild<Console *>(QStringLiteral("terminal"));

    // A line as long as the update check's own ("Comparando con ...").
    const QString text = QStringLiteral("Comparando con la version instalada del software %1");
    const int sample = 20;
    int written = 0;
    std::printf("lines\tus_per_line\tchars\tblocks\thtml_bytes\n");
    for (int mark : {10, 100, 1000}) {
        while (written < mark)
            window.printConsole(text.arg(written++), 2);
        QCoreApplication::processEvents();

        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < sample; ++i)
            window.printConsole(text.arg(written + i), 2);
        const double usPerLine = timer.nsecsElapsed() / 1000.0 / sample;
        written += sample;

        const QTextDocument *doc = console->document();
        std::printf("%d\t%.1f\t%d\t%d\t%d\n", mark, usPerLine, doc->characterCount(),
                    doc->blockCount(), int(doc->toHtml().toUtf8().size()));
        std::fflush(stdout);
    }
    return 0;
}
