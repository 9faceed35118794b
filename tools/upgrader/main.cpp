// Upgrade: the reference upgrader, started by the launcher's hand-over.

#include "upgrader.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments == QStringList{QStringLiteral("--version")}) {
        std::printf("Upgrade %s\n", TVX_VERSION);
        return 0;
    }
    if (arguments == QStringList{QStringLiteral("--help")}) {
        std::printf("Usage: Upgrade TMPDIR LAUNCHER\n"
                    "Applies TMPDIR/Packet over the directory of LAUNCHER, then starts LAUNCHER.\n");
        return 0;
    }
    return runUpgrader(arguments);
}
