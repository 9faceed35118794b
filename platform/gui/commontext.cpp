#include "platform/gui/commontext.h"

namespace QCommon {

void GetSuitableText(const QFontMetrics &metrics, int width, const QString &text, QString &result)
{
    if (text.isEmpty() || metrics.horizontalAdvance(text) <= width) {
        result = text;
        return;
    }
    // elidedText hands back a single character unchanged however wide it
    // is; a text that does not fit must never come back unchanged.
    result = metrics.elidedText(text, Qt::ElideRight, width);
    if (result == text)
        result.clear();
}

} // namespace QCommon
