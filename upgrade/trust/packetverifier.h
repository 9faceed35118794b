#ifndef TVX_TRUST_PACKETVERIFIER_H
#define TVX_TRUST_PACKETVERIFIER_H

#include <QByteArray>
#include <QString>

#include <memory>

namespace Trust {

// Holds a packet's bytes to the signed size and SHA-256, hashing them as
// they are fed, on the caller's thread (a download feeds it from a thread of
// its own, see CPacketFetch). A restart from zero calls reset() again; a
// resumed download feeds the bytes already on disk through update() first.
class CPacketVerifier
{
public:
    CPacketVerifier();
    ~CPacketVerifier();
    CPacketVerifier(const CPacketVerifier &) = delete;
    CPacketVerifier &operator=(const CPacketVerifier &) = delete;

    // Expects llBytes bytes hashing to baSha256; with llBytes < 0 nothing is
    // expected and update() only counts.
    void reset(qint64 llBytes, const QByteArray &baSha256);
    // From zero again, expecting what the last reset() asked for.
    void restart() { reset(m_llExpected, QByteArray(m_baSha256)); }
    // False once the bytes go past the expected size: the transfer must stop.
    bool update(const char *data, qint64 length);
    // After the last byte: true when size and hash are the signed ones.
    bool finish(QString &strError);

    bool isExpecting() const { return m_llExpected >= 0; }
    bool isOverflowed() const { return m_isOverflowed; }
    qint64 bytes() const { return m_llBytes; }

private:
    struct Digest;
    std::unique_ptr<Digest> m_digest;
    qint64 m_llExpected = -1;
    qint64 m_llBytes = 0;
    QByteArray m_baSha256;
    bool m_isOverflowed = false;
};

} // namespace Trust

#endif // TVX_TRUST_PACKETVERIFIER_H
