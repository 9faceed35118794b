// bench_solutioninfo [--modules N] [--runs R] [--in-process] [--per-record]
//
// A solution information file of N modules (default 10000): reading it, and
// merging a newer file that updates every module, compared in the same run
// with a plain QDomDocument load and save of the same file.
//
// Every measurement runs in a fresh child process, plain and ours in turn,
// so that neither inherits the other's heap: a process that has built and
// freed a few large DOM trees allocates markedly slower afterwards, which
// would blur the comparison. --in-process measures everything in this one
// process instead, for the long-lived case. CPU time of the measuring thread
// is reported beside wall time, since the machine may be shared.
//
// --per-record also times writing every record through
// updateModuleVersionToSolution, which looks each module up from the first
// child: the walk per record that updateSolutionInfoFile does not do.

#include "upgrade/files/solutioninfo.h"

#include "benchutil.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

struct Sample
{
    double wallMs = 0;
    double cpuMs = 0;
};

double threadCpuMs()
{
    return double(Bench::threadCpuNs()) / 1e6;
}

QByteArray solutionFile(int modules, int generation)
{
    QByteArray out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SolutionInfo>\n    <SolutionS>\n";
    for (int i = 0; i < modules; ++i) {
        const QByteArray n = QByteArray::number(i);
        out += "        <Solution id=\"Kelm.Module" + n + "\" name=\"Module " + n + "\">\n"
               "            <Version>" + QByteArray::number(generation) + ".0." + n + "</Version>\n"
               "            <ReleaseDate>" + QByteArray::number(202400000000LL + generation * 1000000LL + i)
            + "</ReleaseDate>\n"
               "            <State>" + QByteArray::number(i % 4) + "</State>\n"
               "            <Desc>Description of module " + n + "</Desc>\n"
               "            <Size>" + QByteArray::number(i % 100) + "</Size>\n"
               "        </Solution>\n";
    }
    out += "    </SolutionS>\n</SolutionInfo>\n";
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The quickest plain way: parse from memory, serialise to memory, write once.
bool plainLoadAndSave(const QString &from, const QString &to)
{
    QFile in(from);
    QDomDocument document;
    if (!in.open(QIODevice::ReadOnly) || !document.setContent(in.readAll()))
        return false;
    QFile out(to);
    const QByteArray bytes = document.toByteArray(4);
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
}

// One measured operation on the files of dir; false when it failed or gave
// a wrong result.
bool runOperation(const QString &operation, const QString &dir, int modules, Sample &sample)
{
    const QString installed = dir + QStringLiteral("/SolutionInfo.xml");
    bool ok = false;
    QVector<ModuleVersion> list;
    QElapsedTimer timer;
    timer.start();
    const double cpu = threadCpuMs();
    if (operation == QLatin1String("plain")) {
        ok = plainLoadAndSave(installed, dir + QStringLiteral("/plain.xml"));
    } else if (operation == QLatin1String("read")) {
        ok = getModuleVersionFromSolutionInfoFile(installed, list) && list.size() == modules;
    } else if (operation == QLatin1String("merge")) {
        ok = upgradeInfoToSolutionInfoFile(dir + QStringLiteral("/new"), installed) == UPGRADE_OP_SUCCESS;
    } else if (operation == QLatin1String("per-record")) {
        KelmGUI::KelmDomNodeResolve root;
        ok = getModuleVersionFromSolutionInfoFile(dir + QStringLiteral("/new/SolutionInfo.xml"), list)
            && root.LoadXML(installed);
        KelmGUI::KelmDomNodeResolve solutions = root.FindChildByNodeName(QStringLiteral("SolutionS"));
        for (int i = 0; ok && i < list.size(); ++i)
            ok = updateModuleVersionToSolution(solutions, list.at(i));
    }
    sample.cpuMs = threadCpuMs() - cpu;
    sample.wallMs = timer.nsecsElapsed() / 1e6;
    if (!ok)
        return false;

    if (operation == QLatin1String("merge")) {
        // Every module took the newer version.
        QVector<ModuleVersion> merged;
        return getModuleVersionFromSolutionInfoFile(installed, merged) && merged.size() == modules
            && merged.last().strVersion == QStringLiteral("2.0.%1").arg(modules - 1);
    }
    return true;
}

bool measure(const QString &operation, const QString &dir, int modules, bool inProcess, const QByteArray &installed,
             Sample &sample)
{
    // Each run starts from the same installed file.
    if (!writeFile(dir + QStringLiteral("/SolutionInfo.xml"), installed))
        return false;
    if (inProcess)
        return runOperation(operation, dir, modules, sample);

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
                { QStringLiteral("--child"), operation, QStringLiteral("--dir"), dir, QStringLiteral("--modules"),
                  QString::number(modules) });
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return false;
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 2)
        return false;
    sample.wallMs = fields.at(0).toDouble();
    sample.cpuMs = fields.at(1).toDouble();
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption modulesOption("modules", "Modules in the file.", "N", "10000");
    const QCommandLineOption runsOption("runs", "Runs of each measurement (medians reported).", "R", "5");
    const QCommandLineOption inProcessOption("in-process", "Measure in this process, one after the other.");
    const QCommandLineOption perRecordOption("per-record", "Also time the look-up per record (slow).");
    const QCommandLineOption childOption("child", "Internal: run one measurement.", "operation");
    const QCommandLineOption dirOption("dir", "Internal: the directory of the files.", "dir");
    parser.addOptions({ modulesOption, runsOption, inProcessOption, perRecordOption, childOption, dirOption });
    parser.process(app);
    const int modules = qMax(1, parser.value(modulesOption).toInt());
    const int runs = qMax(1, parser.value(runsOption).toInt());

    if (parser.isSet(childOption)) {
        Sample sample;
        if (!runOperation(parser.value(childOption), parser.value(dirOption), modules, sample))
            return 1;
        std::printf("%.3f %.3f\n", sample.wallMs, sample.cpuMs);
        return 0;
    }

    QTemporaryDir dir;
    if (!dir.isValid() || !QDir().mkpath(dir.filePath("new")))
        return 1;
    const QByteArray installed = solutionFile(modules, 1);
    if (!writeFile(dir.filePath("new/SolutionInfo.xml"), solutionFile(modules, 2)))
        return 1;

    QStringList operations = { "plain", "read", "merge" };
    if (parser.isSet(perRecordOption))
        operations << "per-record";
    QHash<QString, QVector<double>> wall;
    QHash<QString, QVector<double>> cpu;
    for (int run = 0; run < runs; ++run) {
        for (const QString &operation : qAsConst(operations)) {
            Sample sample;
            if (!measure(operation, dir.path(), modules, parser.isSet(inProcessOption), installed, sample)) {
                std::fprintf(stderr, "%s failed\n", qPrintable(operation));
                return 1;
            }
            wall[operation] << sample.wallMs;
            cpu[operation] << sample.cpuMs;
        }
    }

    std::printf("modules: %d, file: %d bytes, runs: %d, %s; medians\n", modules, int(installed.size()), runs,
                parser.isSet(inProcessOption) ? "all in one process" : "each in a fresh process");
    const double plainWall = Bench::median(wall.value("plain"));
    const double plainCpu = Bench::median(cpu.value("plain"));
    const QStringList names = { "plain QDomDocument load+save", "read the installed file",
                                "merge a newer file (target <= 3)", "look-up per record, in memory" };
    for (int i = 0; i < operations.size(); ++i) {
        const double w = Bench::median(wall.value(operations.at(i)));
        const double c = Bench::median(cpu.value(operations.at(i)));
        std::printf("%-34s wall %8.1f ms (ratio %5.2f)   cpu %8.1f ms (ratio %5.2f)\n", qPrintable(names.at(i)), w,
                    w / plainWall, c, c / plainCpu);
    }
    return 0;
}
