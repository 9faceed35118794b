#ifndef TVX_COMMONTEXT_H
#define TVX_COMMONTEXT_H

#include <QFontMetrics>
#include <QString>

namespace QCommon {

// Stores in result the text to display within width pixels with these
// metrics: text itself exactly when it fits, an elided form otherwise.
void GetSuitableText(const QFontMetrics &metrics, int width, const QString &text, QString &result);

} // namespace QCommon

#endif // TVX_COMMONTEXT_H
