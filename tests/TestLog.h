#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

/// Records the program's debug lines so that tests can assert on the ones that are behaviour.
class TestLog {
public:
    void start()
    {
        clear();
        s_Instance = this;
        m_Previous = qInstallMessageHandler(&TestLog::handler);
    }
    void stop()
    {
        qInstallMessageHandler(m_Previous);
        s_Instance = nullptr;
    }
    void clear()
    {
        QMutexLocker lock(&m_Mutex);
        m_Lines.clear();
    }
    QStringList lines() const
    {
        QMutexLocker lock(&m_Mutex);
        return m_Lines;
    }
    int count(const QString& line) const { return lines().count(line); }
    bool contains(const QString& line) const { return lines().contains(line); }
    /// Lines that start with `prefix`.
    QStringList startingWith(const QString& prefix) const
    {
        QStringList out;
        for (const QString& l : lines())
            if (l.startsWith(prefix))
                out << l;
        return out;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
    {
        if (TestLog* log = s_Instance) {
            QMutexLocker lock(&log->m_Mutex);
            log->m_Lines << msg;
        }
        if (type != QtDebugMsg && s_Instance && s_Instance->m_Previous)
            s_Instance->m_Previous(type, ctx, msg);
    }

    static inline TestLog* s_Instance = nullptr;
    QtMessageHandler m_Previous = nullptr;
    mutable QMutex m_Mutex;
    QStringList m_Lines;
};
