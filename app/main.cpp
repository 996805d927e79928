#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The window paints with the raster engine only. Without this, Qt's xcb
    // platform loads a GL implementation at start-up that nothing here uses,
    // which costs tens of milliseconds and about 50 MiB.
    qputenv("QT_XCB_GL_INTEGRATION", "none");

    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    return app.exec();
}
