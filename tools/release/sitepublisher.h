#ifndef TVX_SITEPUBLISHER_H
#define TVX_SITEPUBLISHER_H

#include <QString>
#include <QStringList>

namespace ReleaseTool {

struct PublishOptions
{
    QString strRoot;
    QString strOut;
    QString strPrefix;
    QString strPath;
    QString strKey;    // empty: no token check
    QString strListen = QStringLiteral("127.0.0.1:8080");
    QString strBaseUrl; // empty: http(s)://LISTEN
    QString strTlsCert; // both or neither: nginx serves HTTPS
    QString strTlsKey;
    QString strS3Endpoint;
    QString strBucket;
    bool isDryRun = false;
};

// Writes OUT/site/ (answer.json, release.json, packets/ID/), OUT/server.conf,
// OUT/nginx.conf, OUT/logs/, OUT/temp/, with a key OUT/token.js and with a
// certificate OUT/tls/. New packets go in first, the answer last.
int publish(const PublishOptions &options);
// The same layout, uploaded to a bucket of S3 object storage.
int publishToS3(const PublishOptions &options);

} // namespace ReleaseTool

#endif // TVX_SITEPUBLISHER_H
