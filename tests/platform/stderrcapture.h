#ifndef TVX_TEST_STDERRCAPTURE_H
#define TVX_TEST_STDERRCAPTURE_H

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>
#include <unistd.h>

// Sends the process's stderr to a file while it lives.
class StderrCapture
{
public:
    explicit StderrCapture(const QString &filePath)
        : m_filePath(filePath)
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        FILE *file = std::fopen(QFile::encodeName(filePath).constData(), "w");
        if (file) {
            ::dup2(::fileno(file), STDERR_FILENO);
            std::fclose(file);
        }
    }
    ~StderrCapture() { restore(); }

    // Ends the capture and returns what was written.
    QByteArray text()
    {
        restore();
        QFile file(m_filePath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }

    QString m_filePath;
    int m_saved = -1;
};

#endif // TVX_TEST_STDERRCAPTURE_H
