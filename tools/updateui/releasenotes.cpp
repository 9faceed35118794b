#include "releasenotes.h"

#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextList>
#include <QTextListFormat>

namespace {

// Text with **bold** spans; an unpaired "**" stays as it is.
void insertInline(QTextCursor &cursor, const QString &strText, const QTextCharFormat &base)
{
    QTextCharFormat bold = base;
    bold.setFontWeight(QFont::Bold);
    int from = 0;
    while (from < strText.size()) {
        const int open = strText.indexOf(QLatin1String("**"), from);
        const int close = open < 0 ? -1 : strText.indexOf(QLatin1String("**"), open + 2);
        if (close < 0) {
            cursor.insertText(strText.mid(from), base);
            return;
        }
        cursor.insertText(strText.mid(from, open - from), base);
        cursor.insertText(strText.mid(open + 2, close - open - 2), bold);
        from = close + 2;
    }
}

} // namespace

void renderReleaseNotes(QTextDocument *pDocument, const QString &strNotes)
{
    pDocument->clear();
    QTextCursor cursor(pDocument);
    const QTextCharFormat plain;
    QTextCharFormat heading;
    heading.setFontWeight(QFont::Bold);
    QTextBlockFormat paragraph;
    paragraph.setBottomMargin(4);
    QTextList *list = nullptr;
    bool isFirstBlock = true;
    bool isInParagraph = false;

    const auto newBlock = [&](const QTextBlockFormat &format) {
        if (isFirstBlock)
            cursor.setBlockFormat(format);
        else
            cursor.insertBlock(format);
        isFirstBlock = false;
    };

    const QStringList lines = strNotes.split(QLatin1Char('\n'));
    for (const QString &rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty()) {
            list = nullptr;
            isInParagraph = false;
            continue;
        }
        if (line.startsWith(QLatin1Char('#'))) {
            int level = 0;
            while (level < line.size() && line.at(level) == QLatin1Char('#'))
                ++level;
            if (level <= 6 && level < line.size() && line.at(level) == QLatin1Char(' ')) {
                list = nullptr;
                isInParagraph = false;
                newBlock(paragraph);
                insertInline(cursor, line.mid(level + 1).trimmed(), heading);
                continue;
            }
        }
        if (line.startsWith(QLatin1String("- ")) || line.startsWith(QLatin1String("* "))) {
            isInParagraph = false;
            newBlock(paragraph);
            if (list) {
                list->add(cursor.block());
            } else {
                QTextListFormat format;
                format.setStyle(QTextListFormat::ListDisc);
                list = cursor.createList(format);
            }
            insertInline(cursor, line.mid(2).trimmed(), plain);
            continue;
        }
        if (isInParagraph) {
            // A line that goes on the paragraph or list item before it.
            cursor.insertText(QStringLiteral(" "), plain);
        } else if (list) {
            list = nullptr;
            newBlock(paragraph);
            cursor.setBlockFormat(paragraph);
        } else {
            newBlock(paragraph);
        }
        isInParagraph = true;
        insertInline(cursor, line, plain);
    }
}
