#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "update/manifesturl.h"

#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QProgressBar>
#include <QTextCursor>

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
    const QImage logo = QPixmap(QStringLiteral(":/images/logo.png")).toImage();
    cursor.insertImage(logo, QString());
    ui->terminal->setTextCursor(cursor);

    cursor = ui->terminal->textCursor();
    cursor.movePosition(QTextCursor::NextWord, QTextCursor::KeepAnchor);
    cursor.insertText(QStringLiteral("\n"));
    cursor.movePosition(QTextCursor::End, QTextCursor::MoveAnchor);
    ui->terminal->setTextCursor(cursor);
}
