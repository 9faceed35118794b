// Ordinary events through the application object: CTVXApplication against
// a plain QApplication, measured in many short rounds that alternate
// between them within one process. A third application object whose notify
// only passes everything on shows what any override of notify costs. Times are the thread's CPU time, so
// that other processes on the machine disturb the comparison less; the best
// round of each side is reported.
//
//   bench_notify [--events N] [--rounds R]

#include "app/ctvxapplication.h"

#include "benchutil.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>

namespace {

// Counts the User events it gets and passes everything else to Base.
template <typename Base>
class CountingReceiver : public Base
{
public:
    long long count = 0;

protected:
    bool event(QEvent *event) override
    {
        if (event->type() == QEvent::User) {
            ++count;
            return true;
        }
        return Base::event(event);
    }
};

// The least an override of notify can do.
class PassThroughApplication : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override { return QApplication::notify(receiver, event); }
};

enum Kind { SentToObject, SentToWidget, PostedToWidget, KindCount };
const char *const kindNames[KindCount] = {"sent to a QObject", "sent to a QWidget", "posted to a QWidget"};

// Events per second for one kind, on the application object that exists now.
double measure(Kind kind, int events)
{
    CountingReceiver<QObject> object;
    CountingReceiver<QWidget> widget;
    const qint64 start = Bench::threadCpuNs();
    switch (kind) {
    case SentToObject:
        for (int i = 0; i < events; ++i) {
            QEvent event(QEvent::User);
            QCoreApplication::sendEvent(&object, &event);
        }
        break;
    case SentToWidget:
        for (int i = 0; i < events; ++i) {
            QEvent event(QEvent::User);
            QCoreApplication::sendEvent(&widget, &event);
        }
        break;
    case PostedToWidget: {
        const int batch = 1000;
        for (int done = 0; done < events; done += batch) {
            for (int i = 0; i < batch; ++i)
                QCoreApplication::postEvent(&widget, new QEvent(QEvent::User));
            QCoreApplication::sendPostedEvents();
        }
        break;
    }
    case KindCount:
        break;
    }
    const qint64 ns = Bench::threadCpuNs() - start;
    const long long received = object.count + widget.count;
    if (received < events)
        std::fprintf(stderr, "lost events: %lld of %d\n", received, events);
    return ns > 0 ? double(received) * 1e9 / double(ns) : 0.0;
}

void measureAll(double *best, int events)
{
    for (int kind = 0; kind < KindCount; ++kind)
        best[kind] = std::max(best[kind], measure(Kind(kind), events));
}

} // namespace

int main(int argc, char *argv[])
{
    int events = 300000;
    int rounds = 15;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--events") && i + 1 < argc)
            events = std::max(1000, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--help")) {
            std::printf("usage: %s [--events N] [--rounds R]\n", argv[0]);
            return 0;
        }
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    enum Side { Plain, PassThrough, Tvx, SideCount };
    double best[SideCount][KindCount] = {};
    // One application object at a time; alternating, and rotating which
    // side goes first, keeps drifts of the machine from favouring any.
    for (int round = 0; round < rounds; ++round) {
        for (int step = 0; step < SideCount; ++step) {
            int appArgc = 1;
            switch ((step + round) % SideCount) {
            case Plain: {
                QApplication app(appArgc, argv);
                measureAll(best[Plain], events);
                break;
            }
            case PassThrough: {
                PassThroughApplication app(appArgc, argv);
                measureAll(best[PassThrough], events);
                break;
            }
            default: {
                CTVXApplication app(appArgc, argv);
                measureAll(best[Tvx], events);
                break;
            }
            }
        }
    }

    auto overhead = [](double base, double other) { return other > 0 ? (base / other - 1.0) * 100.0 : 0.0; };
    std::printf("%d events per kind and round, best of %d rounds, events per second of thread CPU time\n",
                events, rounds);
    std::printf("%-20s %14s %14s %14s %10s %10s\n", "events", "QApplication", "pass-through", "CTVXApp",
                "CTVX cost", "any cost");
    for (int kind = 0; kind < KindCount; ++kind) {
        std::printf("%-20s %14.0f %14.0f %14.0f %9.1f%% %9.1f%%\n", kindNames[kind], best[Plain][kind],
                    best[PassThrough][kind], best[Tvx][kind], overhead(best[Plain][kind], best[Tvx][kind]),
                    overhead(best[Plain][kind], best[PassThrough][kind]));
    }
    return 0;
}
