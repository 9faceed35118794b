#ifndef TVX_SITEPUBLISHER_H
#define TVX_SITEPUBLISHER_H

#include <QString>

namespace ReleaseTool {

struct PublishOptions
{
    QString strRoot;
    QString strOut;
    QString strPrefix;
    QString strPath;
    QString strKey;    // empty: no token check
    QString strListen = QStringLiteral("127.0.0.1:8080");
};

// Writes OUT/site/ (answer.json, packets/), OUT/server.conf, OUT/nginx.conf,
// OUT/logs/, OUT/temp/ and, with a key, OUT/token.js.
int publish(const PublishOptions &options);

} // namespace ReleaseTool

#endif // TVX_SITEPUBLISHER_H
