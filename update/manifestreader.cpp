#include "app/mainwindow.h"

#include <QFile>
#include <QXmlStreamReader>

// Reads the text of the nversion element the reader has just entered, up to
// its end tag or the start tag of a child element; nothing after that is read.
// A fault on the way leaves no version: the text read up to it is not what was
// published. readElementText() would keep that text, and takes a child element
// for a fault as well.
static QString readVersionText(QXmlStreamReader &reader)
{
    QString version;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::Characters:
            version += reader.text();
            break;
        case QXmlStreamReader::EntityReference:
            // Every entity declaration is refused, so this is a reference Qt
            // could not resolve, left to an external DTD that it never reads;
            // the text it stands for is unknown.
            reader.raiseError(QStringLiteral("Entidad XML no declarada en la version: &")
                              + reader.name().toString() + QLatin1Char(';'));
            return QString();
        case QXmlStreamReader::StartElement:
        case QXmlStreamReader::EndElement:
            return version;
        default: // comments and processing instructions
            break;
        }
    }
    // Only a fault ends the document inside an element.
    return QString();
}

QString MainWindow::getVersionXML(const QString &file)
{
    // Not in text mode: that drops every CR byte, half of a character in a
    // UTF-16 manifest such as Windows tools write. The XML reader turns CRLF
    // and a lone CR into a line feed itself.
    QFile xml(file);
    if (!xml.open(QIODevice::ReadOnly)) {
        printConsole(QStringLiteral("Error al abrir el archivo xml: ") + file.toHtmlEscaped(), 0);
        return QString();
    }

    QXmlStreamReader reader(&xml);
    // The published manifest comes from the network. Qt expands an internal
    // entity at every reference, so a few kilobytes that declare one and name
    // it often enough grow into hundreds of megabytes. A version manifest has
    // no use for entities: every declaration is refused below, and this limit
    // stops a parameter entity, which Qt expands while it still reads the DTD,
    // before that check is reached. The predefined entities and character
    // references are not subject to it.
    reader.setEntityExpansionLimit(0);

    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::DTD
            && (!reader.entityDeclarations().isEmpty()
                || reader.text().contains(QLatin1String("<!ENTITY")))) {
            reader.raiseError(
                    QStringLiteral("El manifiesto declara entidades XML, que no se admiten"));
            break;
        }
        // Only the first nversion counts; whatever follows it is never read,
        // so a fault later in the document goes unnoticed.
        if (token == QXmlStreamReader::StartElement && reader.name() == QLatin1String("nversion")) {
            const QString version = readVersionText(reader);
            if (!reader.hasError())
                return version;
            break;
        }
    }

    if (reader.hasError())
        printConsole(reader.errorString().toHtmlEscaped(), 0);
    return QString();
}
