#include "platform/logfile_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>

namespace TvxLog {

namespace {
constexpr std::size_t MaxFileSize = 8 * 1024 * 1024;
constexpr std::size_t MaxFiles = 4;
}

LogFile::LogFile(std::string name)
    : m_name(std::move(name))
{
}

LogFile::~LogFile()
{
    close();
}

bool LogFile::open(const QString &filePath)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_logger)
        m_logger->flush();
    m_logger.reset();
    m_filePath.clear();

    const QFileInfo info(filePath);
    if (!QDir().mkpath(info.absolutePath())) {
        std::fprintf(stderr, "cannot create log directory %s\n", qUtf8Printable(info.absolutePath()));
        return false;
    }
    try {
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            QDir::toNativeSeparators(info.absoluteFilePath()).toStdString(), MaxFileSize, MaxFiles);
        // Not registered with spdlog's registry: several objects may log to
        // files of the same name in tests, and the registry refuses duplicates.
        auto logger = std::make_shared<spdlog::logger>(m_name, std::move(sink));
        logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] [thread %t] %v");
        logger->set_level(spdlog::level::trace);
        // Every entry reaches the disk at once: the log must explain a crash.
        logger->flush_on(spdlog::level::trace);
        m_logger = std::move(logger);
        m_filePath = info.absoluteFilePath();
        return true;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "cannot open log file %s: %s\n", qUtf8Printable(filePath), e.what());
        return false;
    }
}

void LogFile::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_logger)
        m_logger->flush();
    m_logger.reset();
    m_filePath.clear();
}

QString LogFile::filePath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_filePath;
}

bool LogFile::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_logger != nullptr;
}

void LogFile::write(int spdLevel, const std::string &text)
{
    const auto level = static_cast<spdlog::level::level_enum>(qBound(0, spdLevel, 5));
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_logger) {
        try {
            m_logger->log(level, "{}", text);
            return;
        } catch (const std::exception &) {
            // fall through to stderr: an entry is never dropped silently
        }
    }
    std::fprintf(stderr, "[%s] [%s] %s\n", m_name.c_str(),
                 spdlog::level::to_string_view(level).data(), text.c_str());
}

QString logDirectory()
{
    const QString base = QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                      : QDir::currentPath();
    return base + QLatin1String("/Log");
}

} // namespace TvxLog
