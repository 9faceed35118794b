#ifndef TVX_STOPSIGNALNOTIFIER_H
#define TVX_STOPSIGNALNOTIFIER_H

#include <QObject>

class QSocketNotifier;

// Turns the signals that ask a process to end (SIGINT from Ctrl+C, SIGTERM
// from kill or a shutdown, SIGHUP from a closed terminal) into a Qt signal
// delivered by the event loop, so that work in progress ends the way it
// chooses instead of being cut off. The handler only writes the signal's
// number to a pipe (async-signal-safe); everything else runs on the main
// thread. While the object lives, SIGPIPE is ignored as well: a reader of
// the output that went away with the terminal must not end the process
// before it has cleaned up. One object at a time; the previous dispositions
// come back with its destruction. Only where there are POSIX signals:
// elsewhere the object is inactive and the defaults stay.
class CStopSignalNotifier : public QObject
{
    Q_OBJECT

public:
    enum Repeat {
        // A second stop signal ends the process the usual way, so that a
        // process that hangs can still be ended.
        SecondSignalEnds,
        // Every stop signal is caught: for work that must not be cut in half.
        EverySignalCaught
    };

    explicit CStopSignalNotifier(Repeat repeat, QObject *parent = nullptr);
    ~CStopSignalNotifier() override;

    // False where the signals cannot be caught (no pipe), with the reason logged.
    bool isActive() const { return m_pNotifier != nullptr; }

    // "SIGINT", "SIGTERM", "SIGHUP": for messages.
    static QString signalName(int nSignal);

Q_SIGNALS:
    // nSignal is the last of the signals that arrived since the previous emission.
    void stopRequested(int nSignal);

private:
    void readPipe();

    QSocketNotifier *m_pNotifier = nullptr;
};

#endif // TVX_STOPSIGNALNOTIFIER_H
