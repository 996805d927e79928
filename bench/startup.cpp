// Opens one window, prints the monotonic clock's reading (nanoseconds) at the
// end of its first paint on standard output, and quits.
//   bench_startup updater     the updater's window, banner included, started as main() starts it
//   bench_startup bare        an empty QMainWindow of the same size, as Qt starts by default
//   bench_startup bare-nogl   the same, without Qt's xcb GL integration, like the updater
#include "app/mainwindow.h"
#include "firstpaint.h"

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char *argv[])
{
    const char *mode = argc > 1 ? argv[1] : "updater";
    const bool bare = std::strncmp(mode, "bare", 4) == 0;
    if (std::strcmp(mode, "bare") != 0)
        qputenv("QT_XCB_GL_INTEGRATION", "none"); // as the updater's main() does

    QApplication app(argc, argv);
    std::unique_ptr<QMainWindow> window;
    if (bare) {
        window = std::make_unique<QMainWindow>();
        window->resize(750, 433);
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
