#ifndef TVX_BENCHUTIL_H
#define TVX_BENCHUTIL_H

#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <ctime>

// Small helpers the benchmark programs share: their command line, their
// scratch directory, and the figures they take.
namespace Bench {

// The value after name on the command line, if there is one.
inline bool argValue(const QStringList &args, const QString &name, QString &value)
{
    const int i = args.indexOf(name);
    if (i < 0 || i + 1 >= args.size())
        return false;
    value = args.at(i + 1);
    return true;
}

// The template of the scratch directory of program: below the directory
// given with --dir, else below the system's temporary directory.
inline QString scratchTemplate(const QStringList &args, const QString &program)
{
    QString dir;
    if (!argValue(args, QStringLiteral("--dir"), dir))
        dir = QDir::tempPath();
    return dir + QLatin1Char('/') + program + QLatin1String("-XXXXXX");
}

// The middle value (the upper one of an even count); zero for none.
template <typename T>
T median(QVector<T> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? T() : values.at(values.size() / 2);
}

// CPU time of the calling thread, so that other processes on a shared
// machine disturb a comparison less than with wall time.
inline qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// CPU time of the whole process, every thread of it: work moved to a
// second thread still counts.
inline qint64 processCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Resets the peak resident memory of this process (Linux).
inline bool resetPeakMemory()
{
    QFile file(QStringLiteral("/proc/self/clear_refs"));
    return file.open(QIODevice::WriteOnly) && file.write("5") == 1;
}

// The peak resident memory of this process since its start or the last
// reset, in KiB; -1 where it cannot be read.
inline qint64 peakMemoryKiB()
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace Bench

#endif // TVX_BENCHUTIL_H
