#ifndef TVX_CTVXAPPLICATION_H
#define TVX_CTVXAPPLICATION_H

#include <QApplication>

// The process's application object. Cut-off texts of line edits, labels,
// buttons and combo boxes without a tooltip of their own show their whole
// text as a tooltip, and changes of the application font are swallowed so
// that widgets keep the fonts they were built with.
class CTVXApplication : public QApplication
{
    Q_OBJECT

public:
    CTVXApplication(int &argc, char **argv);
    ~CTVXApplication() override;

    bool notify(QObject *receiver, QEvent *event) override;

private:
    Q_NEVER_INLINE bool notifyRare(QObject *receiver, QEvent *event);
};

#endif // TVX_CTVXAPPLICATION_H
