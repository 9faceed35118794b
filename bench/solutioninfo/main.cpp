// Times the solution information operations on a large file and compares
// them, in the same run, with a plain QDomDocument load and save of it.
//
//   bench_solutioninfo [--modules N] [--runs R] [--per-record]
//
// --per-record also times writing every record through
// updateModuleVersionToSolution, which looks each module up from the first
// child: the walk that updateSolutionInfoFile avoids.

#include "upgrade/files/solutioninfo.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

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

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption modulesOption("modules", "Modules in the file.", "N", "10000");
    const QCommandLineOption runsOption("runs", "Runs of each measurement (median reported).", "R", "5");
    const QCommandLineOption perRecordOption("per-record", "Also time the per-record look-up.");
    parser.addOptions({ modulesOption, runsOption, perRecordOption });
    parser.process(app);
    const int modules = qMax(1, parser.value(modulesOption).toInt());
    const int runs = qMax(1, parser.value(runsOption).toInt());

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    QDir().mkpath(dir.filePath("new"));
    const QString installed = dir.filePath("SolutionInfo.xml");
    const QString newer = dir.filePath("new/SolutionInfo.xml");
    const QByteArray installedBytes = solutionFile(modules, 1);
    if (!writeFile(newer, solutionFile(modules, 2)))
        return 1;

    QVector<double> plain, read, merge, perRecord;
    QElapsedTimer timer;
    for (int run = 0; run < runs; ++run) {
        if (!writeFile(installed, installedBytes))
            return 1;

        timer.start();
        if (!plainLoadAndSave(installed, dir.filePath("plain.xml")))
            return 1;
        plain << timer.nsecsElapsed() / 1e6;

        QVector<ModuleVersion> list;
        timer.start();
        if (!getModuleVersionFromSolutionInfoFile(installed, list) || list.size() != modules)
            return 1;
        read << timer.nsecsElapsed() / 1e6;

        timer.start();
        if (upgradeInfoToSolutionInfoFile(dir.filePath("new"), installed) != UPGRADE_OP_SUCCESS)
            return 1;
        merge << timer.nsecsElapsed() / 1e6;

        // Every module took the newer version.
        QVector<ModuleVersion> merged;
        if (!getModuleVersionFromSolutionInfoFile(installed, merged) || merged.size() != modules
            || merged.last().strVersion != QStringLiteral("2.0.%1").arg(modules - 1)) {
            std::fprintf(stderr, "merge result is wrong\n");
            return 1;
        }

        if (parser.isSet(perRecordOption)) {
            KelmGUI::KelmDomNodeResolve root;
            if (!root.LoadXML(installed))
                return 1;
            KelmGUI::KelmDomNodeResolve solutions = root.FindChildByNodeName("SolutionS");
            timer.start();
            for (const ModuleVersion &module : qAsConst(list)) {
                if (!updateModuleVersionToSolution(solutions, module))
                    return 1;
            }
            perRecord << timer.nsecsElapsed() / 1e6;
        }
    }

    const double plainMs = median(plain);
    std::printf("modules: %d, file: %d bytes, runs: %d (medians)\n", modules, int(installedBytes.size()), runs);
    std::printf("plain QDomDocument load+save: %9.1f ms\n", plainMs);
    std::printf("read (getModuleVersion...):   %9.1f ms  ratio %.2f\n", median(read), median(read) / plainMs);
    std::printf("merge (upgradeInfoTo...):     %9.1f ms  ratio %.2f (target <= 3)\n", median(merge),
                median(merge) / plainMs);
    if (!perRecord.isEmpty())
        std::printf("per-record look-up, in memory:%9.1f ms  ratio %.2f\n", median(perRecord),
                    median(perRecord) / plainMs);
    return 0;
}
