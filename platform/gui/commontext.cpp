#include "platform/gui/commontext.h"

namespace QCommon {

void GetSuitableText(const QFontMetrics &metrics, int width, const QString &text, QString &result)
{
    // elidedText returns the text unchanged exactly when it fits
    result = metrics.elidedText(text, Qt::ElideRight, width);
}

} // namespace QCommon
