// Upgrade: the reference upgrader, started by the launcher's hand-over.

#include "upgrader.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return runUpgrader(QCoreApplication::arguments().mid(1));
}
