#ifndef TVX_TEST_MESSAGECAPTURE_H
#define TVX_TEST_MESSAGECAPTURE_H

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Records the Qt messages issued while it lives (from any thread), as the
// text Qt would print, and restores the previous handler afterwards.
class MessageCapture
{
public:
    MessageCapture()
    {
        current() = this;
        m_previous = qInstallMessageHandler(&MessageCapture::handler);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }

    QStringList messages(QtMsgType type) const
    {
        QMutexLocker lock(&m_mutex);
        QStringList out;
        for (const auto &entry : m_entries)
            if (entry.first == type)
                out << entry.second;
        return out;
    }
    QStringList warnings() const { return messages(QtWarningMsg); }
    QStringList infos() const { return messages(QtInfoMsg); }
    QStringList debugs() const { return messages(QtDebugMsg); }

    // A message as it is logged when the paths in it are quoted by QDebug,
    // which doubles every backslash: the separator of Windows paths.
    static QString logged(QString text)
    {
#ifdef Q_OS_WIN
        text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
#endif
        return text;
    }

    bool containsWarning(const QString &text) const
    {
        const QStringList all = warnings();
        for (const QString &w : all)
            if (w.contains(text))
                return true;
        return false;
    }
    void clear()
    {
        QMutexLocker lock(&m_mutex);
        m_entries.clear();
    }

private:
    static MessageCapture *&current()
    {
        static MessageCapture *instance = nullptr;
        return instance;
    }
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        MessageCapture *self = current();
        if (!self)
            return;
        QMutexLocker lock(&self->m_mutex);
        self->m_entries.append(qMakePair(type, message));
    }

    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QList<QPair<QtMsgType, QString>> m_entries;
};

#endif // TVX_TEST_MESSAGECAPTURE_H
