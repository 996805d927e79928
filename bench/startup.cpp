// Opens one window, prints the monotonic clock's reading (nanoseconds) at the
// end of its first paint on standard output, and quits.
//   bench_startup updater     the updater's window, banner included, started as main() starts it
//   bench_startup form        the updater's form alone on a plain QMainWindow, started the same way
//   bench_startup bare        an empty QMainWindow of the same size, as Qt starts by default
//   bench_startup bare-nogl   the same, without Qt's xcb GL integration, like the updater
#include "app/mainwindow.h"
#include "firstpaint.h"
#include "ui_mainwindow.h"

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char *argv[])
{
    const char *mode = argc > 1 ? argv[1] : "updater";
    if (std::strcmp(mode, "bare") != 0)
        qputenv("QT_XCB_GL_INTEGRATION", "none"); // as the updater's main() does

    QApplication app(argc, argv);
    std::unique_ptr<QMainWindow> window;
    // Holds only pointers to widgets that the window owns.
    Ui::MainWindow form;
    if (std::strncmp(mode, "bare", 4) == 0) {
        window = std::make_unique<QMainWindow>();
        window->resize(750, 433);
    } else if (std::strcmp(mode, "form") == 0) {
        // What the window costs without the program: no repository address,
        // no banner, no connections but the form's own.
        window = std::make_unique<QMainWindow>();
        form.setupUi(window.get());
    } else {
        window = std::make_unique<MainWindow>();
    }

    auto *firstPaint = new FirstPaint(window.get());
    QObject::connect(firstPaint, &FirstPaint::painted, &app, [](qint64 ns) {
        std::printf("%lld\n", static_cast<long long>(ns));
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    window->show();
    return app.exec();
}
