#include "app/mainwindow.h"
#include "console/console.h"

#include <QAction>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextImageFormat>
#include <QTimer>
#include <QToolBar>
#include <QWindow>
#include <QtMath>

// The window as the user meets it: the form, the start-up banner, the
// progress signal and the two ways of closing it.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void windowHasFixedWidthAndFlexibleHeight();
    void widgetSitsInItsCell_data();
    void widgetSitsInItsCell();
    void formShowsItsTexts();
    void settingsTabSpacerFillsTheLastRow();
    void menusHoldTheirActionsInOrder_data();
    void menusHoldTheirActionsInOrder();
    void actionsAreBare();
    void toolBarIsEmptyAndFixed();
    void unwiredControlsChangeNothing();
    void bannerShowsTheLogoThenAnEmptyLine();
    void errorGeneralSetsTheProgressBar();
    void exitEndsTheEventLoop_data();
    void exitEndsTheEventLoop();
};

static QStringList menuTexts(const QMenu *menu)
{
    QStringList texts;
    const auto actions = menu->actions();
    for (const QAction *action : actions)
        texts << (action->isSeparator() ? QStringLiteral("---") : action->text());
    return texts;
}

void tst_MainWindow::windowHasFixedWidthAndFlexibleHeight()
{
    MainWindow window;
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Telvora - auto-updater"));
    QCOMPARE(window.size(), QSize(750, 433));
    QCOMPARE(window.minimumSize(), QSize(750, 360));
    QCOMPARE(window.maximumSize(), QSize(750, QWIDGETSIZE_MAX));

    window.resize(900, 1200);
    QCOMPARE(window.size(), QSize(750, 1200));
    window.resize(600, 100);
    QCOMPARE(window.size(), QSize(750, 360));
}

static void addCell(const char *name, const char *className, const char *parentName,
                    const char *layoutName, const QVector<int> &cell)
{
    QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(className)
                        << QString::fromLatin1(parentName) << QString::fromLatin1(layoutName)
                        << cell;
}

void tst_MainWindow::widgetSitsInItsCell_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QString>("layoutName");
    QTest::addColumn<QVector<int>>("cell"); // row, column, row span, column span

    addCell("tabWidget", "QTabWidget", "centralWidget", "gridLayout", {0, 0, 1, 1});
    addCell("terminal", "Console", "tab", "gridLayout_3", {0, 0, 1, 1});
    addCell("progressBar", "QProgressBar", "tab", "gridLayout_3", {1, 0, 1, 1});
    addCell("label", "QLabel", "tab_2", "gridLayout_2", {0, 0, 1, 1});
    addCell("urlRepositorio", "QLineEdit", "tab_2", "gridLayout_2", {0, 1, 1, 2});
    addCell("label_2", "QLabel", "tab_2", "gridLayout_2", {1, 0, 1, 1});
    addCell("comboB_versiones", "QComboBox", "tab_2", "gridLayout_2", {1, 1, 1, 2});
    addCell("btnActualizarInfo", "QPushButton", "tab_2", "gridLayout_2", {2, 1, 1, 1});
    addCell("btnAplicar", "QPushButton", "tab_2", "gridLayout_2", {2, 2, 1, 1});
}

void tst_MainWindow::widgetSitsInItsCell()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QString, layoutName);
    QFETCH(QVector<int>, cell);

    MainWindow window;
    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget()->objectName(), parentName);

    auto *layout = window.findChild<QGridLayout *>(layoutName);
    QVERIFY(layout);
    QCOMPARE(widget->parentWidget()->layout(), layout);
    int row, column, rowSpan, columnSpan;
    layout->getItemPosition(layout->indexOf(widget), &row, &column, &rowSpan, &columnSpan);
    QCOMPARE((QVector<int>{row, column, rowSpan, columnSpan}), cell);
    QCOMPARE(layout->spacing(), 6);
    QCOMPARE(layout->contentsMargins(), QMargins(11, 11, 11, 11));
}

void tst_MainWindow::formShowsItsTexts()
{
    MainWindow window;
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralWidget"));
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Consola"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Configuraciones"));
    QCOMPARE(tabs->widget(0)->objectName(), QStringLiteral("tab"));
    QCOMPARE(tabs->widget(1)->objectName(), QStringLiteral("tab_2"));
    QCOMPARE(tabs->currentIndex(), 0);

    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QVERIFY(!bar->invertedAppearance());

    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("label"))->text(),
             QStringLiteral("Repositorio actual: "));
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("label_2"))->text(),
             QStringLiteral("Versiones: "));
    QCOMPARE(window.findChild<QPushButton *>(QStringLiteral("btnAplicar"))->text(),
             QStringLiteral("Aplicar"));
    QCOMPARE(window.findChild<QPushButton *>(QStringLiteral("btnActualizarInfo"))->text(),
             QStringLiteral("Actualizar Informacion"));

    auto *combo = window.findChild<QComboBox *>(QStringLiteral("comboB_versiones"));
    QCOMPARE(combo->count(), 1);
    QCOMPARE(combo->itemText(0), QStringLiteral("Ultima version"));

    auto *url = window.findChild<QLineEdit *>(QStringLiteral("urlRepositorio"));
    QVERIFY(url->text().startsWith(QLatin1String("https://")));
    QVERIFY(url->text().endsWith(QLatin1Char('/')));
    QCOMPARE(url->alignment(), Qt::AlignCenter);

    // One 10-point font, set on the tab widget, the address and its label;
    // the second label only inherits it.
    QCOMPARE(tabs->font().pointSize(), 10);
    QVERIFY(tabs->testAttribute(Qt::WA_SetFont));
    QVERIFY(url->testAttribute(Qt::WA_SetFont));
    auto *label = window.findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY(label->testAttribute(Qt::WA_SetFont));
    QCOMPARE(label->alignment(), Qt::AlignCenter);
    auto *label2 = window.findChild<QLabel *>(QStringLiteral("label_2"));
    QVERIFY(!label2->testAttribute(Qt::WA_SetFont));
    QCOMPARE(label2->alignment(), Qt::AlignCenter);
    QCOMPARE(label2->font().pointSize(), 10);

    QVERIFY(window.statusBar()->currentMessage().isEmpty());
    QCOMPARE(window.statusBar()->objectName(), QStringLiteral("statusBar"));
}

void tst_MainWindow::settingsTabSpacerFillsTheLastRow()
{
    MainWindow window;
    auto *layout = window.findChild<QGridLayout *>(QStringLiteral("gridLayout_2"));
    QLayoutItem *item = layout->itemAtPosition(3, 0);
    QVERIFY(item);
    QSpacerItem *spacer = item->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), QSize(655, 226));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    int row, column, rowSpan, columnSpan;
    layout->getItemPosition(layout->indexOf(spacer), &row, &column, &rowSpan, &columnSpan);
    QCOMPARE(columnSpan, 3);
    QVERIFY(!layout->itemAtPosition(2, 0));
}

void tst_MainWindow::menusHoldTheirActionsInOrder_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("menuName");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("File") << 0 << "menuFile"
                          << "File" << QStringList{"Start", "Stop", "---", "Check for Updates...",
                                                   "---",   "Exit"};
    QTest::newRow("Tools") << 1 << "menuNew"
                           << "Tools" << QStringList{"Select Version"};
    QTest::newRow("Help") << 2 << "menuHelp"
                          << "Help" << QStringList{"Documentation", "Changelog...", "---", "About"};
}

void tst_MainWindow::menusHoldTheirActionsInOrder()
{
    QFETCH(int, position);
    QFETCH(QString, menuName);
    QFETCH(QString, title);
    QFETCH(QStringList, entries);

    MainWindow window;
    QMenuBar *menuBar = window.menuBar();
    QCOMPARE(menuBar->objectName(), QStringLiteral("menuBar"));
    QCOMPARE(menuBar->actions().size(), 3);
    QMenu *menu = menuBar->actions().at(position)->menu();
    QVERIFY(menu);
    QCOMPARE(menu->objectName(), menuName);
    QCOMPARE(menu->title(), title);
    QCOMPARE(menuTexts(menu), entries);
}

void tst_MainWindow::actionsAreBare()
{
    MainWindow window;
    const QStringList names{"actionExit",
                            "actionDocumentation",
                            "actionChangelog",
                            "actionAbout",
                            "actionCheck_for_Updates",
                            "actionVersions",
                            "actionStart",
                            "actionStop"};
    for (const QString &name : names) {
        auto *action = window.findChild<QAction *>(name);
        QVERIFY2(action, qPrintable(name));
        QCOMPARE(action->parent(), &window);
        QVERIFY(action->icon().isNull());
        QVERIFY(action->shortcut().isEmpty());
        QVERIFY(!action->isCheckable());
    }
}

void tst_MainWindow::toolBarIsEmptyAndFixed()
{
    MainWindow window;
    auto *toolBar = window.findChild<QToolBar *>(QStringLiteral("mainToolBar"));
    QVERIFY(toolBar);
    QVERIFY(toolBar->actions().isEmpty());
    QVERIFY(!toolBar->isMovable());
    QVERIFY(!toolBar->isFloatable());
    QCOMPARE(window.toolBarArea(toolBar), Qt::TopToolBarArea);
}

void tst_MainWindow::unwiredControlsChangeNothing()
{
    MainWindow window;
    window.show();
    auto *console = window.findChild<Console *>(QStringLiteral("terminal"));
    const QString before = console->toHtml();

    const QStringList actions{"actionStop",          "actionCheck_for_Updates", "actionVersions",
                              "actionDocumentation", "actionChangelog",         "actionAbout"};
    for (const QString &name : actions)
        window.findChild<QAction *>(name)->trigger();
    window.findChild<QPushButton *>(QStringLiteral("btnAplicar"))->click();
    window.findChild<QPushButton *>(QStringLiteral("btnActualizarInfo"))->click();
    window.findChild<QLineEdit *>(QStringLiteral("urlRepositorio"))->setText(QStringLiteral("x"));
    QCoreApplication::processEvents();

    QVERIFY(window.isVisible());
    QCOMPARE(console->toHtml(), before);
    QCOMPARE(window.findChild<QProgressBar *>(QStringLiteral("progressBar"))->value(), 0);
    QVERIFY(!QApplication::activeModalWidget());
}

// The logo as the console lays it out and paints it on a device of the
// image's own ratio: the device pixels that it covers below and right of the
// document's margin, which is a whole number of them at 125, 150, 175 and 200 %.
static QImage paintedLogo(const QImage &logo)
{
    Console console;
    QTextDocument *document = console.document();
    QTextCursor(document).insertImage(logo);
    document->setTextWidth(800);
    const qreal ratio = logo.devicePixelRatio();
    QImage page((document->size() * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    page.setDevicePixelRatio(ratio);
    page.fill(Qt::transparent);
    QPainter painter(&page);
    document->drawContents(&painter);
    painter.end();
    page.setDevicePixelRatio(1);
    const int margin = qRound(document->documentMargin() * ratio);
    return page.copy(QRect(QPoint(margin, margin), logo.size()));
}

// Of the pixels that the picture covers, the share that it covers in part:
// the smoothed edges of its shapes.
static double softEdgeShare(const QImage &image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    int soft = 0, covered = 0;
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            const int alpha = qAlpha(argb.pixel(x, y));
            covered += alpha > 0;
            soft += alpha > 0 && alpha < 255;
        }
    }
    return double(soft) / covered;
}

void tst_MainWindow::bannerShowsTheLogoThenAnEmptyLine()
{
    MainWindow window;
    auto *console = window.findChild<Console *>(QStringLiteral("terminal"));
    QTextDocument *doc = console->document();
    QCOMPARE(doc->blockCount(), 2);

    const QTextBlock first = doc->firstBlock();
    QCOMPARE(first.text(), QString(QChar::ObjectReplacementCharacter));
    const QTextCharFormat format = first.begin().fragment().charFormat();
    QVERIFY(format.isImageFormat());
    const QImage logo =
            doc->resource(QTextDocument::ImageResource, QUrl(format.toImageFormat().name()))
                    .value<QImage>();
    // The offscreen screen has one device pixel per point: the 1x picture.
    QCOMPARE(window.devicePixelRatioF(), 1.0);
    QCOMPARE(logo.size(), QSize(659, 79));
    QCOMPARE(logo.devicePixelRatio(), 1.0);

    // With two device pixels per point, the picture drawn for twice the
    // size, not an enlargement of the 1x one, at the same size in the window.
    const QImage sharp = QImage(QStringLiteral(":/images/logo@2x.png"))
                                 .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage twice = MainWindow::consoleLogo(2.0);
    QCOMPARE(twice.devicePixelRatio(), 2.0);
    QCOMPARE(twice.size() / twice.devicePixelRatio(), QSize(659, 79));
    QVERIFY(twice.convertToFormat(QImage::Format_ARGB32_Premultiplied) == sharp);
    QVERIFY(paintedLogo(twice) == sharp);

    // Between one and two, as at 125, 150 and 175 % on Windows, that picture
    // shrunk smoothly to the device pixels it covers and painted as it is.
    // A shrink pixel by pixel keeps the 2x picture's share of soft edge pixels.
    for (qreal ratio : {1.25, 1.5, 1.75}) {
        const QImage scaled = MainWindow::consoleLogo(ratio);
        QCOMPARE(scaled.devicePixelRatio(), ratio);
        QCOMPARE(scaled.size(), QSize(qCeil(659 * ratio), qCeil(79 * ratio)));
        QVERIFY(paintedLogo(scaled) == scaled.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        QVERIFY2(softEdgeShare(scaled) > 1.25 * softEdgeShare(sharp),
                 qPrintable(QString::number(softEdgeShare(scaled))));
    }

    QVERIFY(first.next().text().isEmpty());
    QVERIFY(console->textCursor().atEnd());
    QVERIFY(!console->textCursor().hasSelection());
}

void tst_MainWindow::errorGeneralSetsTheProgressBar()
{
    MainWindow window;
    auto *bar = window.findChild<QProgressBar *>(QStringLiteral("progressBar"));

    QCOMPARE(emit window.errorGeneral(100), 0);
    QCOMPARE(bar->value(), 100);
    emit window.errorGeneral(37);
    QCOMPARE(bar->value(), 37);
    // Out of the bar's range: the bar keeps its value.
    emit window.errorGeneral(101);
    QCOMPARE(bar->value(), 37);
}

void tst_MainWindow::exitEndsTheEventLoop_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::newRow("File > Exit") << true;
    QTest::newRow("title bar close") << false;
}

void tst_MainWindow::exitEndsTheEventLoop()
{
    QFETCH(bool, fromMenu);

    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTimer::singleShot(0, &window, [&] {
        if (fromMenu)
            window.findChild<QAction *>(QStringLiteral("actionExit"))->trigger();
        else
            window.windowHandle()->close(); // the path a window manager's close takes
    });
    // Guards a regression that would leave the loop running.
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, qApp, [] { qApp->exit(1); });
    guard.start(10000);

    QCOMPARE(qApp->exec(), 0);
    QVERIFY(!window.isVisible());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
