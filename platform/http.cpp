#include "platform/http.h"

// Implemented with libcurl; see the header for the contract.

struct CHttp::Private
{
    QString result;
    long status = 0;
};

CHttp::CHttp() : d(new Private) {}
CHttp::~CHttp() = default;
int CHttp::InitData() { return -1; }
void CHttp::setTimeOut(int, int, int) {}
HTTP_ERROR CHttp::GetInfo(const QString &, const QStringList &) { return HTTP_INIT_FAILED; }
QString CHttp::GetResult() const { return d->result; }
HTTP_ERROR CHttp::DownloadFile(const QString &, const DonwloadFileParam &) { return HTTP_INIT_FAILED; }
long CHttp::httpStatus() const { return d->status; }
