#include "trustcommands.h"

#include "clioptions.h"

#include "platform/printlog.h"
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
    const QByteArray pem = file.read(64 * 1024);
    if (Trust::holdsPrivateKey(pem)) {
        std::fprintf(stderr,
                     "tarvex-upgrade: %s holds a private key, which must stay with the publisher; trust the public "
                     "key instead (the .pub file that \"tarvex-release keygen\" wrote beside it), and remove the "
                     "private key from this machine\n",
                     qPrintable(options.strPublicKeyPath));
        return UPGRADE_OP_WRITE_FILE_FAILED;
    }
    QByteArray publicKey;
    QString error;
    if (!Trust::readPublicKeyPem(pem, publicKey, error)) {
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
                                                          {QStringLiteral("verifying"), store.isVerifying()},
                                                          {QStringLiteral("lastSerial"), double(store.lastSerial())}})
                                    .toJson(QJsonDocument::Compact);
        std::printf("%s\n", json.constData());
        return UPGRADE_OP_SUCCESS;
    }
    if (keys.vecKeys.isEmpty()) {
        if (store.isVerifying())
            std::printf("No release key is trusted, but releases must be signed: every check is refused until a key "
                        "is added with \"tarvex-upgrade trust add --public FILE\".\n");
        else
            std::printf("No release key is trusted: updates are not verified.\n");
        return UPGRADE_OP_SUCCESS;
    }
    std::printf("Trusted release keys (%d signature%s needed):\n", keys.nThreshold, keys.nThreshold == 1 ? "" : "s");
    for (const Trust::TrustedKey &key : keys.vecKeys)
        std::printf("  %s\n", qPrintable(key.strId));
    std::printf("Last accepted release serial: %lld\n", static_cast<long long>(store.lastSerial()));
    return UPGRADE_OP_SUCCESS;
}

int runTrustRemove(const CliOptions &options, const QString &strAppDir)
{
    QString id = options.strKeyId;
    QString error;
    if (!options.strPublicKeyPath.isEmpty()) {
        QFile file(options.strPublicKeyPath);
        QByteArray publicKey;
        if (!file.open(QIODevice::ReadOnly) || !Trust::readPublicKeyPem(file.read(64 * 1024), publicKey, error)) {
            std::fprintf(stderr, "tarvex-upgrade: %s: %s\n", qPrintable(options.strPublicKeyPath),
                         qPrintable(error.isEmpty() ? file.errorString() : error));
            return UPGRADE_OP_WRITE_FILE_FAILED;
        }
        id = Trust::keyId(publicKey);
    }
    Trust::CTrustStore store(strAppDir);
    if (!store.load(error) || !store.removeKey(id, error)) {
        std::fprintf(stderr, "tarvex-upgrade: %s\n", qPrintable(error));
        return UPGRADE_OP_WRITE_FILE_FAILED;
    }
    std::printf("No longer trusting release key %s (%d key%s left in %s)\n", qPrintable(id),
                int(store.keys().vecKeys.size()), store.keys().vecKeys.size() == 1 ? "" : "s",
                qPrintable(store.trustFilePath()));
    return UPGRADE_OP_SUCCESS;
}

int runTrustReset(const CliOptions &options, const QString &strAppDir)
{
    Trust::CTrustStore store(strAppDir);
    QString report;
    QString error;
    const bool ok = store.reset(options.isAllowingUnsigned, report, error);
    // Verification is lifted or weakened here: the product's log keeps a
    // trace beyond the terminal.
    const QString entry = QStringLiteral("trust reset%1: %2%3")
                              .arg(options.isAllowingUnsigned ? QLatin1String(" --allow-unsigned") : QLatin1String(""),
                                   report, ok ? QString() : QLatin1String("; failed: ") + error);
    kelmlib::DPrintLog::instance()->Log(__FILE__, __LINE__, Q_FUNC_INFO, "tarvex-upgrade", ok ? 5 : 6, "%s",
                                        entry.toUtf8().constData());
    if (!ok) {
        std::fprintf(stderr, "tarvex-upgrade: %s\n", qPrintable(entry));
        return UPGRADE_OP_WRITE_FILE_FAILED;
    }
    std::printf("%s\n(logged in %s)\n", qPrintable(entry), qPrintable(kelmlib::DPrintLog::instance()->filePath()));
    return UPGRADE_OP_SUCCESS;
}
