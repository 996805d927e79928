#include "app/mainwindow.h"
#include "consolelines.h"
#include "peakmemory.h"
#include "testfiles.h"
#include "testinstallation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Reading the version out of a manifest file, and what the reader tells the
// user about files it cannot use.
class tst_ManifestReader : public QObject
{
    Q_OBJECT

private slots:
    void readsTheFirstNversionText_data();
    void readsTheFirstNversionText();
    void reportsAFileItCannotOpen();
    void refusesEntityDeclarations_data();
    void refusesEntityDeclarations();
    void refusedEntitiesKeepMemorySmall_data();
    void refusedEntitiesKeepMemorySmall();

private:
    // Writes content to a new file in a fresh temporary folder and returns its path.
    QString manifestFile(const QByteArray &content);

    QScopedPointer<QTemporaryDir> dir;
};

static const QString refusedEntities =
        QStringLiteral("El manifiesto declara entidades XML, que no se admiten");

QString tst_ManifestReader::manifestFile(const QByteArray &content)
{
    dir.reset(new QTemporaryDir);
    const QString path = dir->filePath(QStringLiteral("telvora-version.xml"));
    if (!writeFile(path, content))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

static QByteArray fixture(const QString &name)
{
    QFile file(QStringLiteral(TELVORA_TEST_DATA "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return file.readAll();
}

// text in little-endian UTF-16 after a byte-order mark
static QByteArray utf16(const QString &text)
{
    QByteArray bytes("\xff\xfe");
    for (const QChar c : text)
        bytes.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
    return bytes;
}

#ifndef Q_OS_WIN
static int openFileCount()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}
#endif

void tst_ManifestReader::readsTheFirstNversionText_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("redLine"); // what the reader prints, if anything

    const QString none;

    QTest::newRow("only element") << QByteArray("<nversion>2.0</nversion>") << "2.0" << none;
    QTest::newRow("declaration, comments and instructions around")
            << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- Telvora -->\n"
                          "<?build 17?><manifest><name>Telvora</name><nversion>2.0</nversion>"
                          "<notes/></manifest>")
            << "2.0" << none;
    QTest::newRow("blanks and line breaks kept")
            << QByteArray("<m><nversion> 2.0\n </nversion></m>") << " 2.0\n " << none;
    QTest::newRow("windows line ends read as line feeds")
            << QByteArray("<m>\r\n<nversion>2.0\r\nbeta</nversion>\r\n</m>\r\n") << "2.0\nbeta"
            << none;
    QTest::newRow("lone carriage return read as a line feed")
            << QByteArray("<m><nversion>2.0\rbeta</nversion></m>") << "2.0\nbeta" << none;
    QTest::newRow("first of two") << QByteArray(
            "<m><nversion>1.0</nversion><nversion>2.0</nversion></m>")
                                  << "1.0" << none;
    QTest::newRow("first even when empty")
            << QByteArray("<m><nversion></nversion><nversion>2.0</nversion></m>") << QString()
            << none;
    QTest::newRow("nested three deep")
            << QByteArray("<a><info/><b><c><nversion>3.1</nversion></c></b></a>") << "3.1" << none;
    QTest::newRow("attribute on nversion ignored")
            << QByteArray("<m><nversion value=\"9.9\">2.0</nversion></m>") << "2.0" << none;
    QTest::newRow("attribute named nversion is no element")
            << QByteArray("<m nversion=\"9.9\"><nversion>2.0</nversion></m>") << "2.0" << none;
    QTest::newRow("default namespace")
            << QByteArray("<m xmlns=\"urn:telvora\"><nversion>4.0</nversion></m>") << "4.0" << none;
    QTest::newRow("prefixed namespace")
            << QByteArray("<t:m xmlns:t=\"urn:telvora\"><t:nversion>4.1</t:nversion></t:m>")
            << "4.1" << none;
    QTest::newRow("prefix nversion is not the local name")
            << QByteArray("<m xmlns:nversion=\"urn:x\"><nversion:build>7</nversion:build>"
                          "<nversion>4.2</nversion></m>")
            << "4.2" << none;
    QTest::newRow("other spellings not found")
            << QByteArray("<m><NVersion>1.0</NVersion><nVersion>1.1</nVersion></m>") << QString()
            << none;
    QTest::newRow("well-formed without nversion")
            << QByteArray("<m><version>1.0</version></m>") << QString() << none;
    QTest::newRow("empty element") << QByteArray("<m><nversion/></m>") << QString() << none;
    QTest::newRow("child element ends the version")
            << QByteArray("<m><nversion>1.2<build>7</build>3</nversion></m>") << "1.2" << none;
    QTest::newRow("broken markup after the element")
            << QByteArray("<m><nversion>1.0</nversion><broken></m>") << "1.0" << none;
    QTest::newRow("document cut off after the element")
            << QByteArray("<m><nversion>1.0</nversion><no") << "1.0" << none;
    QTest::newRow("character references and predefined entities")
            << QByteArray("<nversion>&#49;.&#x30; &amp;&lt;&gt;&quot;&apos;</nversion>")
            << "1.0 &<>\"'" << none;
    QTest::newRow("doctype without declarations")
            << QByteArray("<!DOCTYPE m><m><nversion>&#50;.0</nversion></m>") << "2.0" << none;
    QTest::newRow("doctype declaring elements only")
            << QByteArray("<!DOCTYPE m [<!ELEMENT m (nversion)><!ELEMENT nversion (#PCDATA)>]>"
                          "<m><nversion>2.1</nversion></m>")
            << "2.1" << none;
    QTest::newRow("CDATA text") << QByteArray("<nversion><![CDATA[1.0 <beta> & co]]></nversion>")
                                << "1.0 <beta> & co" << none;
    QTest::newRow("comments and instructions inside skipped")
            << QByteArray("<nversion>1.<!-- x -->0<?build 7?>-rc</nversion>") << "1.0-rc" << none;
    QTest::newRow("encoding declared")
            << QByteArray("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><nversion>2.0-\xe9t\xe9"
                          "</nversion>")
            << QStringLiteral("2.0-\u00e9t\u00e9") << none;
    QTest::newRow("UTF-8 with byte-order mark and windows line ends")
            << QByteArray("\xef\xbb\xbf<m>\r\n<nversion>2.0\r\nbeta</nversion>\r\n</m>\r\n")
            << "2.0\nbeta" << none;
    QTest::newRow("UTF-16 with byte-order mark")
            << utf16(QStringLiteral("<m><nversion>3.0-\u00df</nversion></m>"))
            << QStringLiteral("3.0-\u00df") << none;
    // As Windows PowerShell's Out-File and Notepad's "Unicode" save it.
    QTest::newRow("UTF-16 with byte-order mark and windows line ends")
            << utf16(QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-16\"?>\r\n<m>\r\n"
                                    "<nversion>3.0\r\nbeta</nversion>\r\n</m>\r\n"))
            << "3.0\nbeta" << none;

    QTest::newRow("empty file") << QByteArray() << QString() << "Premature end of document.";
    QTest::newRow("not XML") << QByteArray("version 2.0\n") << QString() << "Start tag expected.";
    QTest::newRow("HTML page") << fixture(QStringLiteral("error-page.html")) << QString()
                               << "Opening and ending tag mismatch.";
    QTest::newRow("fault before nversion") << QByteArray("<m><a></b><nversion>1.0</nversion></m>")
                                           << QString() << "Opening and ending tag mismatch.";
    QTest::newRow("undeclared entity before nversion")
            << QByteArray("<m>&build;<nversion>1.0</nversion></m>") << QString()
            << "Entity 'build' not declared.";
    QTest::newRow("undeclared entity inside nversion")
            << QByteArray("<m><nversion>2.0&beta;</nversion></m>") << QString()
            << "Entity 'beta' not declared.";
    QTest::newRow("entity left to an external DTD inside nversion")
            << QByteArray("<!DOCTYPE m SYSTEM \"m.dtd\"><m><nversion>2.0&nbsp;</nversion></m>")
            << QString() << "Entidad XML no declarada en la version: &nbsp;";
    // The console shows no control characters, the one in Qt's message included.
    QTest::newRow("forbidden character inside nversion")
            << QByteArray("<m><nversion>2.0\x01</nversion></m>") << QString() << "Unexpected ''.";
    QTest::newRow("document cut off inside the element")
            << QByteArray("<m><nversion>2.0</nvers") << QString() << "Premature end of document.";
    QTest::newRow("child element's start tag broken")
            << QByteArray("<m><nversion>1.2<build 7></nversion></m>") << QString()
            << "Expected '>' or '/', but got '[0-9]'.";
    QTest::newRow("error text with markup characters shown literally")
            << QByteArray("<m build=<b>x</b>><nversion>1.0</nversion></m>") << QString()
            << "Expected ''' or '\"', but got '<'.";
}

void tst_ManifestReader::readsTheFirstNversionText()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, version);
    QFETCH(QString, redLine);

    MainWindow window;
    const QString path = manifestFile(content);
#ifndef Q_OS_WIN
    const int openFiles = openFileCount();
#endif

    const QString result = window.getVersionXML(path);

    QCOMPARE(result, version);
    QList<ConsoleLine> expected;
    if (!redLine.isEmpty())
        expected << ConsoleLine::red(redLine);
    QCOMPARE(consoleLines(window), expected);
#ifdef Q_OS_WIN
    // Windows refuses to delete a file that is still open.
    QVERIFY(QFile::remove(path));
#else
    QCOMPARE(openFileCount(), openFiles);
#endif
}

void tst_ManifestReader::reportsAFileItCannotOpen()
{
    TestInstallation installation;
    QVERIFY(installation.isValid());
    const QString folder = installation.tempDir();
    QVERIFY(QDir().mkdir(folder));

    MainWindow window;
    // The path is shown as the caller gave it, relative or not, and literally.
    const QString missing = QStringLiteral("old <b>&amp;</b>/telvora-version.xml");
    const QString fromMissing = window.getVersionXML(missing);
    const QString fromFolder = window.getVersionXML(folder);

    QCOMPARE(fromMissing, QString());
    QCOMPARE(fromFolder, QString());
    const QString prefix = QStringLiteral("Error al abrir el archivo xml: ");
    QCOMPARE(consoleLines(window),
             QList<ConsoleLine>(
                     {ConsoleLine::red(prefix + missing), ConsoleLine::red(prefix + folder)}));
}

void tst_ManifestReader::refusesEntityDeclarations_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("redLine");

    QTest::newRow("internal entity named in nversion")
            << QByteArray("<!DOCTYPE m [<!ENTITY v \"2.0\">]><m><nversion>&v;</nversion></m>")
            << refusedEntities;
    QTest::newRow("entity declared and never named")
            << QByteArray("<!DOCTYPE m [<!ENTITY v \"2.0\">]><m><nversion>2.0</nversion></m>")
            << refusedEntities;
    QTest::newRow("external entity")
            << QByteArray("<!DOCTYPE m [<!ENTITY v SYSTEM \"file:///etc/hostname\">]>"
                          "<m><nversion>&v;</nversion></m>")
            << refusedEntities;
    QTest::newRow("unparsed entity")
            << QByteArray("<!DOCTYPE m [<!NOTATION n SYSTEM \"x\"><!ENTITY u SYSTEM \"y\" NDATA n>"
                          "]><m><nversion>2.0</nversion></m>")
            << refusedEntities;
    QTest::newRow("parameter entity declared")
            << QByteArray("<!DOCTYPE m [<!ENTITY % p \"\">]><m><nversion>2.0</nversion></m>")
            << refusedEntities;

    QByteArray laughs = "<!DOCTYPE m [<!ENTITY l0 \"ha\">";
    for (int level = 1; level <= 9; ++level) {
        laughs += "<!ENTITY l" + QByteArray::number(level) + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += "&l" + QByteArray::number(level - 1) + ";";
        laughs += "\">";
    }
    laughs += "]><m><nversion>&l9;</nversion></m>";
    QTest::newRow("nested entities") << laughs << refusedEntities;

    // Qt expands a parameter entity while it still reads the DTD, before the
    // declarations can be looked at; the reader stops at the first such
    // expansion with its own message.
    QTest::newRow("parameter entity named in the DTD")
            << QByteArray("<!DOCTYPE m [<!ENTITY % p \"<!ENTITY v '2.0'>\"> %p;]>"
                          "<m><nversion>&v;</nversion></m>")
            << "Entity expands to more characters than the entity expansion limit.";
}

void tst_ManifestReader::refusesEntityDeclarations()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, redLine);

    MainWindow window;
    QCOMPARE(window.getVersionXML(manifestFile(content)), QString());
    QCOMPARE(consoleLines(window), QList<ConsoleLine>{ConsoleLine::red(redLine)});
}

void tst_ManifestReader::refusedEntitiesKeepMemorySmall_data()
{
    QTest::addColumn<QByteArray>("content");

    // About 64 KB each; expanded, either would be 80 million characters.
    const QByteArray value(4000, 'x');
    QByteArray references;
    for (int i = 0; i < 20000; ++i)
        references += "&v;";
    QTest::newRow("entity named 20000 times") << "<!DOCTYPE m [<!ENTITY v \"" + value
                    + "\">]><m><nversion>" + references + "</nversion></m>";
    QTest::newRow("parameter entity named 20000 times") << "<!DOCTYPE m [<!ENTITY % v \"<!-- "
                    + value + " -->\">" + references.replace('&', '%')
                    + "]><m><nversion>1.0</nversion></m>";
}

void tst_ManifestReader::refusedEntitiesKeepMemorySmall()
{
    QFETCH(QByteArray, content);

    MainWindow window;
    const QString path = manifestFile(content);
    resetPeakMemory();
    const qint64 before = residentMemoryKiB();
    QVERIFY(before > 0);

    const QString version = window.getVersionXML(path);

    const qint64 growth = peakMemoryKiB() - before;
    QVERIFY2(growth < 32 * 1024, qPrintable(QStringLiteral("grew by %1 KB").arg(growth)));
    QCOMPARE(version, QString());
    QCOMPARE(consoleLines(window).size(), 1);
    QCOMPARE(consoleLines(window).first().colour, QColor(QStringLiteral("red")));
}

QTEST_MAIN(tst_ManifestReader)
#include "tst_manifestreader.moc"
