#ifndef TVX_TRUST_TRANSPORT_H
#define TVX_TRUST_TRANSPORT_H

#include <QUrl>

namespace Trust {

// A packet may not travel over a weaker transport than the query that named
// it: behind an https query only https packet URLs pass. An empty query URL
// (none known) sets no requirement.
bool isTransportAllowed(const QUrl &query, const QUrl &packet);

} // namespace Trust

#endif // TVX_TRUST_TRANSPORT_H
