#ifndef TVX_RELEASENOTES_H
#define TVX_RELEASENOTES_H

#include <QString>

class QTextDocument;

// Fills pDocument with release notes as the publisher wrote them: plain
// text, or the small Markdown subset of headings ("# "), list items ("- "
// or "* ") and **bold**. Every character is inserted as text: markup of any
// other kind, HTML included, shows as what it is.
void renderReleaseNotes(QTextDocument *pDocument, const QString &strNotes);

#endif // TVX_RELEASENOTES_H
