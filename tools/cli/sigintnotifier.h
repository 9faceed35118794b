#ifndef TVX_SIGINTNOTIFIER_H
#define TVX_SIGINTNOTIFIER_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT into a Qt signal delivered by the event loop. The handler
// only writes one byte to a pipe (async-signal-safe); everything else runs
// on the main thread. One object at a time; the previous disposition comes
// back with its destruction. Only where there are POSIX signals: elsewhere
// the object is inactive and Ctrl+C keeps its default.
class CSigIntNotifier : public QObject
{
    Q_OBJECT

public:
    enum Repeat {
        // A second SIGINT ends the process the usual way, so that a process
        // that hangs can still be ended.
        SecondInterruptEnds,
        // Every SIGINT is caught: for work that must not be cut in half.
        EveryInterruptCaught
    };

    explicit CSigIntNotifier(Repeat repeat, QObject *parent = nullptr);
    ~CSigIntNotifier() override;

    // False where SIGINT cannot be caught (no pipe), with the reason logged.
    bool isActive() const { return m_pNotifier != nullptr; }

Q_SIGNALS:
    void interrupted();

private:
    void readPipe();

    QSocketNotifier *m_pNotifier = nullptr;
};

#endif // TVX_SIGINTNOTIFIER_H
