#include "upgrade/trust/transport.h"

namespace Trust {

bool isTransportAllowed(const QUrl &query, const QUrl &packet)
{
    if (query.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return true;
    return packet.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

} // namespace Trust
