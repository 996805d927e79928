#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QImage;
class QProcess;
class QTimer;
QT_END_NAMESPACE

namespace Ui {
class MainWindow;
}

// The updater's one window and the hub of the program. Its operations are
// defined beside the subsystem they belong to: the window itself in app/,
// printConsole in console/, the update check and the script runner in update/.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Appends one line to the console: kind 0 red, 1 blue, anything else green.
    void printConsole(const QString &text, int kind);

    // The logo that heads the console on a screen of the given device pixel
    // ratio. Whatever the ratio, it is 659 x 79 in the window's coordinates.
    static QImage consoleLogo(qreal devicePixelRatio);

    // Starts the installation's update script in a new command interpreter
    // and streams its output into the console. Blocks for about five seconds.
    void runUpdateScript();

signals:
    // The int result is never read; the progress bar's setValue is the only receiver.
    int errorGeneral(int);

public slots:
    void execBatchFile(bool b);
    void readOutput();
    void readError();
    QString getVersionXML(const QString &file);
    void compararVersiones(bool downSucc, const QString &strError);
    void progressBarSetValue(int val);

private slots:
    void on_actionStart_triggered();

private:
    void showConsoleBanner();
    void createTempDir();
    void downloadVersionXML(const QString &url);

    Ui::MainWindow *ui;
    QProcess *cmdProcess = nullptr;
    QString cmdProgram;
    QStringList cmdArguments;
    bool updateRunning = false;
    QTimer *progressTimer = nullptr;
};
