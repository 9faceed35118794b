#include "elidedlabel.h"

#include "platform/gui/commontext.h"

#include <QPainter>
#include <QStyle>

CElidedLabel::CElidedLabel(QWidget *parent)
    : CElidedLabel(QString(), parent)
{
}

CElidedLabel::CElidedLabel(const QString &text, QWidget *parent)
    : QLabel(text, parent)
{
    // Rich text cannot be cut by characters, and a wrapped label is never
    // cut: one line of plain text, with no margin, so that the width the
    // tooltip decision measures is the width the text is painted in.
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setMargin(0);
    setIndent(0);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QString CElidedLabel::shownText() const
{
    QString shown;
    QCommon::GetSuitableText(fontMetrics(), width(), text(), shown);
    return shown;
}

QSize CElidedLabel::minimumSizeHint() const
{
    // Room for an ellipsis and little more; the size hint keeps the whole text.
    const QFontMetrics metrics = fontMetrics();
    return QSize(qMin(QLabel::sizeHint().width(), metrics.horizontalAdvance(QStringLiteral("M\u2026"))),
                 QLabel::minimumSizeHint().height());
}

void CElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    style()->drawItemText(&painter, rect(), int(QStyle::visualAlignment(layoutDirection(), alignment())),
                          palette(), isEnabled(), shownText(), foregroundRole());
}
