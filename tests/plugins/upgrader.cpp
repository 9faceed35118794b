#include "testpluginrecord.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

// Stands in for the upgrader: records how it was started, beside itself.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    QJsonObject entry;
    entry.insert(QStringLiteral("arguments"), QJsonArray::fromStringList(app.arguments().mid(1)));
    entry.insert(QStringLiteral("currentPath"), QDir::currentPath());
    entry.insert(QStringLiteral("applicationFilePath"), QCoreApplication::applicationFilePath());

    // Renamed into place: a reader polling for the file sees all or nothing.
    QSaveFile record(QCoreApplication::applicationDirPath() + QLatin1Char('/')
                     + QLatin1String(TVX_TEST_UPGRADER_RECORD_FILE));
    if (!record.open(QIODevice::WriteOnly))
        return 1;
    record.write(QJsonDocument(entry).toJson());
    return record.commit() ? 0 : 1;
}
