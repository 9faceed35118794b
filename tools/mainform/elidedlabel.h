#ifndef TVX_ELIDEDLABEL_H
#define TVX_ELIDEDLABEL_H

#include <QLabel>

// A one-line label that may become narrower than its text: it then paints
// the text cut off with an ellipsis, while text() stays the whole text, so
// that the application object shows the whole of it as a tooltip.
//
// A plain QLabel never gets there: its minimum width is its whole text, so
// a layout widens the window instead, or the label clips without a sign.
class CElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit CElidedLabel(QWidget *parent = nullptr);
    explicit CElidedLabel(const QString &text, QWidget *parent = nullptr);

    // What is painted at the current width.
    QString shownText() const;

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

#endif // TVX_ELIDEDLABEL_H
