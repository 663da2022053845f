#pragma once

#include <QElapsedTimer>
#include <QStringList>

/// Records the program's debug lines so that tests can assert on the ones that are behaviour;
/// warnings and worse still reach the previous handler. Everything logs from the one event-loop thread.
class TestLog {
public:
    void start()
    {
        m_Lines.clear();
        m_Times.clear();
        m_Clock.start();
        s_Instance = this;
        m_Previous = qInstallMessageHandler(&TestLog::handler);
    }
    void stop()
    {
        qInstallMessageHandler(m_Previous);
        s_Instance = nullptr;
    }
    const QStringList& lines() const { return m_Lines; }
    int count(const QString& line) const { return m_Lines.count(line); }
    bool contains(const QString& line) const { return m_Lines.contains(line); }
    /// Milliseconds from start() to the first `line`; -1 when none came.
    qint64 msecs(const QString& line) const { return m_Times.value(m_Lines.indexOf(line), -1); }

private:
    static void handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
    {
        if (TestLog* log = s_Instance) {
            log->m_Lines << msg;
            log->m_Times << log->m_Clock.elapsed();
            if (type != QtDebugMsg && log->m_Previous)
                log->m_Previous(type, ctx, msg);
        }
    }

    static inline TestLog* s_Instance = nullptr;
    QtMessageHandler m_Previous = nullptr;
    QStringList m_Lines;
    QList<qint64> m_Times;
    QElapsedTimer m_Clock;
};
