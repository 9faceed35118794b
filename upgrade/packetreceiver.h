#ifndef TVX_PACKETRECEIVER_H
#define TVX_PACKETRECEIVER_H

#include "platform/download.h"
#include "upgrade/cupgrade.h"

// Hands the bytes of a packet download, full or delta, to the engine's
// open download file, its verifier and its progress.
class CPacketReceiver : public CDownloadReceiver
{
public:
    CPacketReceiver(CUpgrade *pUpgrade, double dModuleBase) : m_pUpgrade(pUpgrade), m_dModuleBase(dModuleBase) {}

    bool startAt(qint64 llOffset) override { return m_pUpgrade->beginDownloadData(llOffset, m_dModuleBase); }
    bool write(const char *data, qint64 llBytes) override
    {
        return CUpgrade::writeDownloadData(data, 1, quint64(llBytes), m_pUpgrade) == quint64(llBytes);
    }

private:
    CUpgrade *m_pUpgrade;
    double m_dModuleBase;
};

#endif // TVX_PACKETRECEIVER_H
