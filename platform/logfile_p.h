#ifndef TVX_LOGFILE_P_H
#define TVX_LOGFILE_P_H

#include <QString>

#include <memory>
#include <mutex>
#include <string>

namespace spdlog { class logger; }

namespace TvxLog {

// One rotating log file behind a mutex; writes to stderr while none is open.
class LogFile
{
public:
    explicit LogFile(std::string name);
    ~LogFile();

    bool open(const QString &filePath);
    void close();
    QString filePath() const;
    bool isOpen() const;

    // spdlog levels: 0 trace ... 2 info, 3 warn, 4 error
    void write(int spdLevel, const std::string &text);

private:
    std::string m_name;
    mutable std::mutex m_mutex;
    std::shared_ptr<spdlog::logger> m_logger;
    QString m_filePath;
};

QString logDirectory();

} // namespace TvxLog

#endif // TVX_LOGFILE_P_H
