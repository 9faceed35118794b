#include "platform/printlog.h"
#include "platform/logfile_p.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace kelmlib {

struct DPrintLog::Private
{
    TvxLog::LogFile file{"print"};
    std::once_flag lazyOpen;
    // Read by every writing thread, written by open() and close().
    std::atomic<bool> explicitlyClosed{false};
};

DPrintLog::DPrintLog()
    : d(new Private)
{
}

DPrintLog::~DPrintLog() = default;

DPrintLog *DPrintLog::instance()
{
    // Never destroyed: messages may still arrive from other static
    // destructors at exit, and every entry is on disk already.
    static DPrintLog *log = new DPrintLog;
    return log;
}

QString DPrintLog::defaultFilePath()
{
    return TvxLog::logDirectory() + QLatin1String("/Print.log");
}

bool DPrintLog::open(const QString &filePath)
{
    d->explicitlyClosed = false;
    return d->file.open(filePath);
}

void DPrintLog::close()
{
    d->explicitlyClosed = true;
    d->file.close();
}

QString DPrintLog::filePath() const
{
    return d->file.filePath();
}

static int spdLevelFor(int level)
{
    switch (level) {
    case 4: return 2; // info
    case 5: return 3; // warn
    case 6: return 4; // error
    default: return 1; // debug
    }
}

int DPrintLog::Log(const char *file, int line, const char *function, const char *extra,
                   int level, const char *format, ...)
{
    if (!format)
        return -1;

    // The log opens by itself once the application directory is known.
    if (!d->explicitlyClosed && QCoreApplication::instance())
        std::call_once(d->lazyOpen, [this] {
            if (!d->file.isOpen())
                d->file.open(defaultFilePath());
        });

    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        text.assign(buffer.data(), static_cast<std::size_t>(needed));
    } else if (needed < 0) {
        // An entry that cannot be formatted is still not dropped silently.
        text = "(unformattable entry) ";
        text += format;
    }
    va_end(args);

    std::string entry;
    entry.reserve(text.size() + 128);
    entry += file ? file : "?";
    entry += ':';
    entry += std::to_string(line);
    entry += ' ';
    entry += function ? function : "?";
    if (extra && *extra) {
        entry += " [";
        entry += extra;
        entry += ']';
    }
    entry += ": ";
    entry += text;
    d->file.write(spdLevelFor(level), entry);
    return needed < 0 ? -1 : 0;
}

} // namespace kelmlib
