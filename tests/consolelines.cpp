#include "consolelines.h"

#include "app/mainwindow.h"
#include "console/console.h"

#include <cstring>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>

ConsoleLine ConsoleLine::red(const QString &text)
{
    return {text, QColor(QStringLiteral("red"))};
}

ConsoleLine ConsoleLine::blue(const QString &text)
{
    return {text, QColor(QStringLiteral("blue"))};
}

ConsoleLine ConsoleLine::green(const QString &text)
{
    return {text, QColor(QStringLiteral("green"))};
}

namespace {

// Builds a line out of the fragments it is made of.
struct LineBuilder
{
    QString text;
    QColor colour;
    bool started = false;

    void add(const QString &piece, const QColor &pieceColour)
    {
        if (piece.isEmpty())
            return;
        text += piece;
        if (!started)
            colour = pieceColour;
        else if (colour != pieceColour)
            colour = QColor();
        started = true;
    }

    ConsoleLine take()
    {
        ConsoleLine line{text, colour};
        *this = LineBuilder();
        return line;
    }
};

} // namespace

QList<ConsoleLine> consoleLines(const MainWindow &window)
{
    const auto *console = window.findChild<const Console *>(QStringLiteral("terminal"));
    QList<ConsoleLine> lines;
    if (!console)
        return lines;

    // Messages end in line breaks inside the paragraph that follows the
    // banner's logo. Markup that slipped into a message could open further
    // paragraphs; their ends count as line ends too, so nothing is lost.
    for (QTextBlock block = console->document()->begin(); block.isValid(); block = block.next()) {
        if (block.text().contains(QChar::ObjectReplacementCharacter))
            continue; // the logo
        LineBuilder line;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QColor colour = fragment.charFormat().foreground().color();
            const QStringList pieces = fragment.text().split(QChar::LineSeparator);
            for (int i = 0; i < pieces.size(); ++i) {
                if (i > 0)
                    lines << line.take();
                line.add(pieces.at(i), colour);
            }
        }
        if (line.started)
            lines << line.take();
    }
    return lines;
}

static QString colourName(const QColor &colour)
{
    if (!colour.isValid())
        return QStringLiteral("(no single colour)");
    if (colour == QColor(QStringLiteral("red")))
        return QStringLiteral("red");
    if (colour == QColor(QStringLiteral("blue")))
        return QStringLiteral("blue");
    if (colour == QColor(QStringLiteral("green")))
        return QStringLiteral("green");
    return colour.name();
}

static QString describe(const ConsoleLine &line)
{
    return QStringLiteral("%1 \"%2\"").arg(colourName(line.colour), line.text);
}

char *toString(const ConsoleLine &line)
{
    return qstrdup(describe(line).toUtf8().constData());
}

char *toString(const QList<ConsoleLine> &lines)
{
    QString text = QStringLiteral("%1 lines").arg(lines.size());
    for (const ConsoleLine &line : lines)
        text += QStringLiteral("\n    ") + describe(line);
    return qstrdup(text.toUtf8().constData());
}
