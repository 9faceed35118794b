#include "app/ctvxapplication.h"

#include "platform/gui/commontext.h"

#include <QHelpEvent>
#include <QLineEdit>
#include <QToolTip>
#include <QVariant>
#include <QWidget>

namespace {

// Shows the whole text of property as a tooltip when it does not fit the
// widget. The tooltip request counts as handled either way.
void showFullTextIfCut(QWidget *widget, const QHelpEvent *event, const char *property)
{
    const QString full = widget->property(property).toString();
    QString shown;
    QCommon::GetSuitableText(widget->fontMetrics(), widget->width(), full, shown);
    if (shown != full)
        QToolTip::showText(event->globalPos(), full);
}

} // namespace

CTVXApplication::CTVXApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

CTVXApplication::~CTVXApplication() = default;

bool CTVXApplication::notify(QObject *receiver, QEvent *event)
{
    if (!receiver || !event)
        return false;

    // Every event of the process passes here: anything but these two types
    // costs two comparisons.
    const QEvent::Type type = event->type();
    if (type == QEvent::ApplicationFontChange)
        return true;
    if (type == QEvent::ToolTip && receiver->isWidgetType()) {
        QWidget *widget = static_cast<QWidget *>(receiver);
        // Qt's tooltip requests are help events; anything else posing as one
        // is delivered untouched rather than read as one.
        const QHelpEvent *helpEvent = dynamic_cast<const QHelpEvent *>(event);
        if (helpEvent && widget->property("toolTip").isNull()) {
            if (widget->inherits("QLineEdit")) {
                // Never reveal a password, not even as a tooltip.
                if (static_cast<QLineEdit *>(widget)->echoMode() == QLineEdit::Password)
                    return false;
                showFullTextIfCut(widget, helpEvent, "text");
                return true;
            }
            if (!widget->property("text").isNull()) {
                showFullTextIfCut(widget, helpEvent, "text");
                return true;
            }
            if (!widget->property("currentText").isNull()) {
                showFullTextIfCut(widget, helpEvent, "currentText");
                return true;
            }
        }
    }
    return QApplication::notify(receiver, event);
}
