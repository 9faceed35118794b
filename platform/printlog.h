#ifndef TVX_PRINTLOG_H
#define TVX_PRINTLOG_H

#include <QString>
#include <QtGlobal>

#include <memory>

namespace kelmlib {

// The product's print log: one process-wide, thread-safe log file
// (Log/Print.log under the application directory unless opened elsewhere),
// rotated so that it cannot grow without bound. Until a file is open, and
// after it was closed, entries go to stderr.
class DPrintLog
{
public:
    static DPrintLog *instance();

    // Levels: 4 information, 5 warning, 6 error; anything else is written as debug.
    // The entry's text is the printf-style expansion of format.
    int Log(const char *file, int line, const char *function, const char *extra,
            int level, const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(7, 8);

    bool open(const QString &filePath);
    void close();
    QString filePath() const;

    static QString defaultFilePath();

    ~DPrintLog();

private:
    DPrintLog();
    Q_DISABLE_COPY(DPrintLog)

    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace kelmlib

#endif // TVX_PRINTLOG_H
