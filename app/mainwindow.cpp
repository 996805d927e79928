#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "update/manifesturl.h"

#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QProgressBar>
#include <QTextCursor>
#include <QtMath>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
#ifdef Q_OS_WIN
    , cmdProgram(QStringLiteral("cmd"))
    , cmdArguments({QString()})
#else
    // No argument at all: sh would take an empty one for the name of a
    // script to run and exit instead of reading commands from its input.
    , cmdProgram(QStringLiteral("/bin/sh"))
#endif
{
    ui->setupUi(this);
    // The address belongs to the build, not to the form: it is set here so
    // that it follows the build's configuration and retranslateUi, which
    // sets only the form's texts, leaves it alone.
    ui->urlRepositorio->setText(repositoryUrl());
    showConsoleBanner();
    connect(this, &MainWindow::errorGeneral, ui->progressBar, &QProgressBar::setValue);
}

MainWindow::~MainWindow()
{
    // An update script's interpreter that still runs is killed with the
    // window's children, after the form is gone, and QProcess reads what it
    // wrote meanwhile as it ends: that must not reach the deleted console.
    const auto processes = findChildren<QProcess *>(QString(), Qt::FindDirectChildrenOnly);
    for (QProcess *process : processes)
        process->disconnect(this);
    delete ui;
}

void MainWindow::showConsoleBanner()
{
    ui->terminal->clear();

    QTextCursor cursor = ui->terminal->textCursor();
    cursor.movePosition(QTextCursor::NextWord, QTextCursor::KeepAnchor);
    // A missing logo gives a null image, which inserts nothing; the empty
    // line below still follows, so the first message lands where it always does.
    // The logo is chosen once, for the screen the window first appears on: a
    // window moved to a screen of another ratio keeps it, at the same size.
    cursor.insertImage(consoleLogo(devicePixelRatioF()), QString());
    ui->terminal->setTextCursor(cursor);

    cursor = ui->terminal->textCursor();
    cursor.movePosition(QTextCursor::NextWord, QTextCursor::KeepAnchor);
    cursor.insertText(QStringLiteral("\n"));
    cursor.movePosition(QTextCursor::End, QTextCursor::MoveAnchor);
    ui->terminal->setTextCursor(cursor);
}

QImage MainWindow::consoleLogo(qreal devicePixelRatio)
{
    // Where a point has more than one device pixel, the 1x picture would be
    // enlarged pixel by pixel beside sharply drawn text; the one drawn for
    // twice the size is shown instead.
    if (devicePixelRatio <= 1)
        return QPixmap(QStringLiteral(":/images/logo.png")).toImage();
    QImage logo = QPixmap(QStringLiteral(":/images/logo@2x.png")).toImage();
    if (devicePixelRatio >= 2 || logo.isNull()) {
        // The image reader gives an "@2x" file this ratio by itself, unless
        // QT_HIGHDPI_DISABLE_2X_IMAGE_LOADING is set; the logo keeps its size
        // in either case.
        logo.setDevicePixelRatio(2);
        return logo;
    }
    // At 125, 150 or 175 % the console would shrink the 2x picture as it
    // paints, pixel by pixel, and its edges would turn jagged. It is shrunk
    // here once, smoothly, to the device pixels it covers, and the console
    // copies it as it is (ConsoleImageHandler). The size is rounded up: the
    // layout truncates the picture's size in points, which must stay that of
    // the 1x logo.
    const QSize points = logo.size() / 2;
    const QSize pixels(qCeil(points.width() * devicePixelRatio),
                       qCeil(points.height() * devicePixelRatio));
    QImage scaled = logo.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    scaled.setDevicePixelRatio(devicePixelRatio);
    return scaled;
}
