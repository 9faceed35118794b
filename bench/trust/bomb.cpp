// bench_bomb [--dir PATH]
//
// An answer whose signed release document is an inflate bomb: its length
// field announces a small document, its zlib stream inflates to far more.
// Two of them, each an answer of 1.4 MB inflating to 1 GiB: one announcing
// 100 bytes, as the sweep's did, and one announcing the most a document may
// have (16 MiB). For each, the
// real "tarvex-upgrade check" against the development server answering it:
// wall time and peak resident memory of the process. Beside it, the inflate
// that the engine did before (qUncompress, which inflates the whole stream
// before it compares) in this process. Target: the check refuses each in
// under 1 s and 64 MiB.

#include "common/programcopy.h"
#include "common/testserver.h"

#include "benchutil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QVector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <vector>

extern char **environ;

namespace {

// qCompress's form: the announced length, big-endian, then a zlib stream of
// llZeros zero bytes, deflated in pieces so that they are never held whole.
QByteArray bomb(quint32 nAnnounced, qint64 llZeros)
{
    z_stream stream = {};
    deflateInit(&stream, 9);
    const QByteArray zeros(1 << 20, '\0');
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = char(nAnnounced >> (24 - 8 * i));
    QByteArray chunk(1 << 16, Qt::Uninitialized);
    qint64 left = llZeros;
    int flush = Z_NO_FLUSH;
    do {
        if (stream.avail_in == 0 && flush == Z_NO_FLUSH) {
            const qint64 piece = qMin<qint64>(left, zeros.size());
            stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.constData()));
            stream.avail_in = uInt(piece);
            left -= piece;
            flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        }
        stream.next_out = reinterpret_cast<Bytef *>(chunk.data());
        stream.avail_out = uInt(chunk.size());
        const int code = deflate(&stream, flush);
        out.append(chunk.constData(), chunk.size() - int(stream.avail_out));
        if (code == Z_STREAM_END)
            break;
    } while (true);
    deflateEnd(&stream);
    return out;
}

struct Figures
{
    double dSeconds = 0;
    long lPeakKiB = 0;
    int nExit = -1;
};

// posix_spawn and wait4: the peak memory of that one child, not of all.
Figures runMeasured(const QString &program, const QStringList &arguments, const QString &workDir)
{
    std::vector<QByteArray> storage{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        storage.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);
    Figures figures;
    const QByteArray oldDir = QFile::encodeName(QDir::currentPath());
    if (::chdir(QFile::encodeName(workDir).constData()) != 0)
        return figures;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    QElapsedTimer timer;
    timer.start();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (::chdir(oldDir.constData()) != 0 || spawned != 0)
        return figures;
    int status = 0;
    rusage usage {};
    if (::wait4(pid, &status, 0, &usage) == pid) {
        figures.dSeconds = timer.nsecsElapsed() / 1e9;
        figures.lPeakKiB = usage.ru_maxrss;
        figures.nExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--help"))) {
        std::printf("bench_bomb [--dir PATH]: an inflate bomb in the signed release document of the answer, "
                    "against tarvex-upgrade check\n");
        return 0;
    }
    QTemporaryDir tmp(Bench::scratchTemplate(args, QStringLiteral("bench_bomb")));
    const QString appDir = tmp.filePath(QStringLiteral("app"));
    const QString tool = appDir + QStringLiteral("/tarvex-upgrade");
    if (!tmp.isValid() || !ProgramCopy::copyProgram(QStringLiteral(TVX_BIN_DIR "/tarvex-upgrade"), tool))
        return 1;
    QFile info(appDir + QStringLiteral("/Solutions/SolutionInfo.xml"));
    QDir().mkpath(appDir + QStringLiteral("/Solutions"));
    if (!info.open(QIODevice::WriteOnly)
        || info.write("<?xml version=\"1.0\"?>\n<Solution><SolutionS><Solution id=\"demo\" name=\"Demo\"><Version>1.0"
                      "</Version><ReleaseDate>1</ReleaseDate><State>2</State><Desc>d</Desc><Size>1</Size></Solution>"
                      "</SolutionS></Solution>\n")
            < 0)
        return 1;
    info.close();

    struct Case
    {
        const char *name;
        quint32 nAnnounced;
        Figures check;
        double dOldSeconds = 0;
        qint64 llOldKiB = 0;
        double dAnswerMB = 0;
    };
    Case cases[] = {{"announcing 100 bytes", 100, {}}, {"announcing 16 MiB, the most a document may have", 16u << 20, {}}};
    // A gigabyte of zeros: the stream of the sweep's answer of 1.4 MB.
    const qint64 llZeros = qint64(1) << 30;
    QVector<QByteArray> streams;
    for (Case &c : cases) {
        streams.append(bomb(c.nAnnounced, llZeros));
        const QByteArray answer = "{\"retcode\": 0, \"value\": {\"upgrade\": []}, \"release\": {\"signed\": \""
            + streams.last().toBase64() + "\", \"signatures\": []}}";
        c.dAnswerMB = answer.size() / 1e6;
        QFile file(tmp.filePath(QStringLiteral("answer.json")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(answer) != answer.size())
            return 1;
        file.close();
        TestServer server;
        if (!server.start(tmp.path(), QStringLiteral("bench-key"), {QStringLiteral("--answer"), file.fileName()}))
            return 1;
        runMeasured(tool, {"servers", "write", "--server", "test=" + server.hostAndPort(), "--current", "test",
                           "--prefix", "/api", "--path", "/upgrade/query", "--key", "bench-key"},
                    appDir);
        // Spawned while this process is small: a child's peak includes the
        // memory of its parent at the fork.
        c.check = runMeasured(tool, {QStringLiteral("check")}, appDir);
    }
    const qint64 llOwnKiB = Bench::peakMemoryKiB();

    // What the engine did before: qUncompress, which inflates the whole
    // stream before it compares its length.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    for (int i = 0; i < streams.size(); ++i) {
        Bench::resetPeakMemory();
        const qint64 before = Bench::peakMemoryKiB();
        QElapsedTimer timer;
        timer.start();
        qUncompress(streams.at(i));
        cases[i].dOldSeconds = timer.nsecsElapsed() / 1e9;
        cases[i].llOldKiB = Bench::peakMemoryKiB() - before;
    }

    std::printf("tarvex-upgrade check of an answer whose signed document inflates to 1 GiB\n"
                "(target: refused in under 1 s and 64 MiB; peaks include this process's %.0f MiB at the fork)\n",
                llOwnKiB / 1024.0);
    for (const Case &c : cases) {
        std::printf("  %s (answer %.2f MB): exit %d in %.3f s, peak at most %.1f MiB; before (qUncompress): "
                    "%.2f s, %.0f MiB more\n",
                    c.name, c.dAnswerMB, c.check.nExit, c.check.dSeconds, c.check.lPeakKiB / 1024.0, c.dOldSeconds,
                    c.llOldKiB / 1024.0);
    }
    return 0;
}
