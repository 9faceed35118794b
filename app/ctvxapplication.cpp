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

enum ToolTipOutcome {
    ToolTipDeliver,
    ToolTipHandled,
    ToolTipSwallowed
};

// Widgets without a tooltip of their own show their whole text when it is
// cut; the others get the request delivered as usual.
ToolTipOutcome handleToolTip(QObject *receiver, QEvent *event)
{
    if (!receiver->isWidgetType())
        return ToolTipDeliver;
    QWidget *widget = static_cast<QWidget *>(receiver);
    // Qt's tooltip requests are help events; anything else posing as one
    // is delivered untouched rather than read as one.
    const QHelpEvent *helpEvent = dynamic_cast<const QHelpEvent *>(event);
    if (!helpEvent || !widget->property("toolTip").isNull())
        return ToolTipDeliver;

    if (widget->inherits("QLineEdit")) {
        // Never reveal a password, not even as a tooltip.
        if (static_cast<QLineEdit *>(widget)->echoMode() == QLineEdit::Password)
            return ToolTipSwallowed;
        showFullTextIfCut(widget, helpEvent, "text");
        return ToolTipHandled;
    }
    if (!widget->property("text").isNull()) {
        showFullTextIfCut(widget, helpEvent, "text");
        return ToolTipHandled;
    }
    if (!widget->property("currentText").isNull()) {
        showFullTextIfCut(widget, helpEvent, "currentText");
        return ToolTipHandled;
    }
    return ToolTipDeliver;
}

} // namespace

CTVXApplication::CTVXApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

CTVXApplication::~CTVXApplication() = default;

bool CTVXApplication::notify(QObject *receiver, QEvent *event)
{
    // Every event of the process passes here: anything but the two types
    // handled below costs two comparisons and goes straight on.
    if (Q_LIKELY(receiver && event)) {
        const QEvent::Type type = event->type();
        if (Q_LIKELY(type != QEvent::ApplicationFontChange && type != QEvent::ToolTip))
            return QApplication::notify(receiver, event);
    }
    return notifyRare(receiver, event);
}

bool CTVXApplication::notifyRare(QObject *receiver, QEvent *event)
{
    if (!receiver || !event)
        return false;
    if (event->type() == QEvent::ApplicationFontChange)
        return true;
    const ToolTipOutcome outcome = handleToolTip(receiver, event);
    if (outcome != ToolTipDeliver)
        return outcome == ToolTipHandled;
    return QApplication::notify(receiver, event);
}
