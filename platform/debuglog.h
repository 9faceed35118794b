#ifndef TVX_DEBUGLOG_H
#define TVX_DEBUGLOG_H

#include <QString>

#include <memory>

// The product's debug log: Log/Debug.log under the application directory,
// started once the current directory is the application directory and
// stopped after the main form plugin was unloaded. It records the process's
// sessions; entries outside a session go to stderr.
class CDebugLog
{
public:
    static CDebugLog *Instance();

    int Init();
    int UnInit();
    bool isInitialized() const;
    QString filePath() const;

    void write(const QString &text);

    ~CDebugLog();

private:
    CDebugLog();
    CDebugLog(const CDebugLog &) = delete;
    CDebugLog &operator=(const CDebugLog &) = delete;

    struct Private;
    std::unique_ptr<Private> d;
};

#endif // TVX_DEBUGLOG_H
