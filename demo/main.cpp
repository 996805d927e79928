// The updater of ./scripts/run: the program as main() starts it, fetching its
// manifest from the demo's server, which also writes every line of its
// console to a file as the line appears, one line of text per console line
// with its colour before a tab ("blue\tHay actualizaciones disponibles"), and
// a last line, "-- end of the update check", once File > Start's check has
// printed its verdict. The script shows these lines in the terminal and
// judges the verdict from them; the window stays open until it is closed.
//   telvora-demo <lines file>
#include "app/mainwindow.h"
#include "consolelines.h"
#include "net/downloadmanager.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <cstdio>

namespace {

QString colourName(const QColor &colour)
{
    for (const char *name : {"red", "blue", "green"}) {
        if (colour == QColor(QString::fromLatin1(name)))
            return QString::fromLatin1(name);
    }
    return colour.isValid() ? colour.name() : QStringLiteral("mixed");
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_XCB_GL_INTEGRATION", "none");

    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: telvora-demo <lines file>\n");
        return 2;
    }
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s: %s\n", argv[1], qPrintable(out.errorString()));
        return 1;
    }

    MainWindow window;
    int written = 0;
    auto writeNewLines = [&] {
        const QList<ConsoleLine> lines = consoleLines(window);
        for (; written < lines.size(); ++written) {
            const ConsoleLine &line = lines.at(written);
            out.write((colourName(line.colour) + QLatin1Char('\t') + line.text + QLatin1Char('\n'))
                              .toUtf8());
        }
        out.flush();
    };

    // Written from the event loop once the step that printed them is over, so
    // that the lines of one verdict reach the file together.
    QTimer pending;
    pending.setSingleShot(true);
    pending.setInterval(0);
    QObject::connect(&pending, &QTimer::timeout, writeNewLines);
    auto *console = window.findChild<QTextEdit *>(QStringLiteral("terminal"));
    QObject::connect(console->document(), &QTextDocument::contentsChanged, &pending,
                     qOverload<>(&QTimer::start));

    // Connected after the window's own slot, so the first Start has made the
    // check's download manager, and after the window's connection to it, so
    // its signal comes here when the verdict is printed.
    auto *start = window.findChild<QAction *>(QStringLiteral("actionStart"));
    bool watching = false;
    QObject::connect(start, &QAction::triggered, &window, [&] {
        auto *manager = window.findChild<DownloadManager *>();
        if (watching || !manager)
            return;
        watching = true;
        QObject::connect(manager, &DownloadManager::downFinished, &window, [&] {
            writeNewLines();
            out.write("-- end of the update check\n");
            out.flush();
        });
    });

    window.show();
    return app.exec();
}
