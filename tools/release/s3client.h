#ifndef TVX_S3CLIENT_H
#define TVX_S3CLIENT_H

#include <QByteArray>
#include <QString>

#include <memory>

namespace ReleaseTool {

// The few requests of the S3 protocol that publishing needs, on libcurl's
// own AWS Signature V4, path style (ENDPOINT/BUCKET/KEY). One connection,
// kept open from request to request; transient failures are tried again.
class CS3Client
{
public:
    struct Credentials
    {
        QString strAccessKey;   // may hold a colon (Swift's "account:user")
        QString strSecretKey;
        QByteArray baSessionToken;
        QString strRegion = QStringLiteral("us-east-1");
    };

    CS3Client(const QString &strEndpoint, const QString &strBucket, const Credentials &credentials);
    ~CS3Client();
    CS3Client(const CS3Client &) = delete;
    CS3Client &operator=(const CS3Client &) = delete;

    // From AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN and
    // AWS_REGION or AWS_DEFAULT_REGION; false when a key is missing.
    static bool credentialsFromEnvironment(Credentials &credentials, QString &strError);

    // The bucket exists afterwards; one made here is readable by everyone.
    bool ensureBucket(bool isDryRun, bool &isCreated, QString &strError);
    // The size of an object, -1 when there is none.
    bool objectSize(const QString &strKey, qint64 &llBytes, QString &strError);
    bool putFile(const QString &strKey, const QString &strPath, const QByteArray &baContentType,
                 const QByteArray &baCacheControl, QString &strError);
    bool putBytes(const QString &strKey, const QByteArray &baContent, const QByteArray &baContentType,
                  const QByteArray &baCacheControl, QString &strError);

    // A single PUT carries at most this much (the S3 protocol's own bound).
    static constexpr qint64 MaxObjectBytes = 5LL * 1024 * 1024 * 1024;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace ReleaseTool

#endif // TVX_S3CLIENT_H
