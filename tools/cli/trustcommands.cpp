#include "trustcommands.h"

#include "clioptions.h"

#include "upgrade/files/upgradetypes.h"
#include "upgrade/trust/truststore.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

int runTrustAdd(const CliOptions &options, const QString &strAppDir)
{
    QFile file(options.strPublicKeyPath);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "tarvex-upgrade: cannot read %s: %s\n", qPrintable(options.strPublicKeyPath),
                     qPrintable(file.errorString()));
        return UPGRADE_OP_WRITE_FILE_FAILED;
    }
    QByteArray publicKey;
    QString error;
    if (!Trust::readPublicKeyPem(file.read(64 * 1024), publicKey, error)) {
        std::fprintf(stderr, "tarvex-upgrade: %s: %s\n", qPrintable(options.strPublicKeyPath), qPrintable(error));
        return UPGRADE_OP_WRITE_FILE_FAILED;
    }
    Trust::CTrustStore store(strAppDir);
    if (!store.load(error) || !store.addKey(publicKey, error)) {
        std::fprintf(stderr, "tarvex-upgrade: %s\n", qPrintable(error));
        return UPGRADE_OP_WRITE_FILE_FAILED;
    }
    std::printf("Trusting release key %s (%d key%s in %s)\n", qPrintable(Trust::keyId(publicKey)),
                int(store.keys().vecKeys.size()), store.keys().vecKeys.size() == 1 ? "" : "s",
                qPrintable(store.trustFilePath()));
    return UPGRADE_OP_SUCCESS;
}

int runTrustShow(const CliOptions &options, const QString &strAppDir)
{
    Trust::CTrustStore store(strAppDir);
    QString error;
    if (!store.load(error)) {
        std::fprintf(stderr, "tarvex-upgrade: %s\n", qPrintable(error));
        return UPGRADE_OP_READ_SERVER_CFG_FAILED;
    }
    const Trust::KeyList &keys = store.keys();
    if (options.isJson) {
        QJsonArray ids;
        for (const Trust::TrustedKey &key : keys.vecKeys)
            ids.append(key.strId);
        const QByteArray json = QJsonDocument(QJsonObject{{QStringLiteral("keys"), ids},
                                                          {QStringLiteral("threshold"), keys.nThreshold},
                                                          {QStringLiteral("lastSerial"), double(store.lastSerial())}})
                                    .toJson(QJsonDocument::Compact);
        std::printf("%s\n", json.constData());
        return UPGRADE_OP_SUCCESS;
    }
    if (keys.vecKeys.isEmpty()) {
        std::printf("No release key is trusted: updates are not verified.\n");
        return UPGRADE_OP_SUCCESS;
    }
    std::printf("Trusted release keys (%d signature%s needed):\n", keys.nThreshold, keys.nThreshold == 1 ? "" : "s");
    for (const Trust::TrustedKey &key : keys.vecKeys)
        std::printf("  %s\n", qPrintable(key.strId));
    std::printf("Last accepted release serial: %lld\n", static_cast<long long>(store.lastSerial()));
    return UPGRADE_OP_SUCCESS;
}
