// Time from starting a process to the moment the main form plugin's Run
// begins, through the launcher with the sample main form (which closes at
// once), against the time a minimal Qt widgets program takes to construct
// its application object. Both are started alternately in one run, from a
// copy of the launcher in a temporary directory, and timed to the first
// line they print.
//
//   bench_startup [--runs N]

#include "platform/platformnames.h"
#include "platform/solutionsdir.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QVector>

#include <algorithm>
#include <cstdio>

namespace {

// Milliseconds from start to the first line that begins with marker; -1 on failure.
double timeToLine(const QString &program, const QProcessEnvironment &environment, const QByteArray &marker)
{
    QProcess process;
    process.setProgram(program);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardErrorFile(QProcess::nullDevice());

    QElapsedTimer timer;
    timer.start();
    process.start();
    double ms = -1;
    QByteArray seen;
    while (ms < 0 && process.waitForReadyRead(60000)) {
        seen += process.readAllStandardOutput();
        if (seen.startsWith(marker) || seen.contains('\n' + marker))
            ms = double(timer.nsecsElapsed()) / 1e6;
    }
    if (!process.waitForFinished(60000))
        process.kill();
    return ms;
}

struct Stats
{
    double median = 0;
    double minimum = 0;
    double mean = 0;
};

Stats stats(QVector<double> values)
{
    Stats s;
    if (values.isEmpty())
        return s;
    std::sort(values.begin(), values.end());
    s.minimum = values.first();
    s.median = values.at(values.size() / 2);
    for (double v : qAsConst(values))
        s.mean += v;
    s.mean /= values.size();
    return s;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int runs = 20;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--runs") && i + 1 < args.size())
            runs = std::max(1, args.at(++i).toInt());
        else if (args.at(i) == QLatin1String("--help")) {
            std::printf("usage: %s [--runs N]\n", argv[0]);
            return 0;
        }
    }

    // An installation of its own, so that the build tree's logs stay clean.
    QTemporaryDir dir;
    const QString launcher = dir.filePath(PlatformNames::launcherFileName());
    const QString solutions = dir.filePath(QGetSolutionsDirPath());
    if (!dir.isValid() || !QDir().mkpath(solutions)
        || !QFile::copy(QStringLiteral(TVX_BIN_DIR "/") + PlatformNames::launcherFileName(), launcher)
        || !QFile::copy(QStringLiteral(TVX_BIN_DIR "/") + QGetSolutionsDirPath()
                                + PlatformNames::mainFormPluginFileName(),
                        solutions + PlatformNames::mainFormPluginFileName())) {
        std::fprintf(stderr, "cannot lay out the launcher and the sample main form in %s\n",
                     qPrintable(dir.path()));
        return 1;
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!environment.contains(QStringLiteral("DISPLAY")) && !environment.contains(QStringLiteral("QT_QPA_PLATFORM")))
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("TARVEX_SAMPLE_AUTOCLOSE_MS"), QStringLiteral("0"));

    // One unmeasured start of each fills the caches.
    timeToLine(QStringLiteral(TVX_MINIMAL_PROGRAM), environment, "started");
    timeToLine(launcher, environment, "MainFormPlugin: Run(");

    QVector<double> minimal;
    QVector<double> toRun;
    for (int i = 0; i < runs; ++i) {
        const double m = timeToLine(QStringLiteral(TVX_MINIMAL_PROGRAM), environment, "started");
        const double l = timeToLine(launcher, environment, "MainFormPlugin: Run(");
        if (m < 0 || l < 0) {
            std::fprintf(stderr, "run %d failed\n", i);
            return 1;
        }
        minimal << m;
        toRun << l;
    }

    const Stats a = stats(minimal);
    const Stats b = stats(toRun);
    std::printf("%d runs each, milliseconds\n", runs);
    std::printf("%-34s %8s %8s %8s\n", "", "median", "min", "mean");
    std::printf("%-34s %8.1f %8.1f %8.1f\n", "minimal widgets program started", a.median, a.minimum, a.mean);
    std::printf("%-34s %8.1f %8.1f %8.1f\n", "launcher to the plugin's Run", b.median, b.minimum, b.mean);
    std::printf("%-34s %8.1f %8.1f %8.1f\n", "difference", b.median - a.median, b.minimum - a.minimum,
                b.mean - a.mean);
    return 0;
}
