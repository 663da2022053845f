#pragma once

#include <QStringList>

/// Records the program's debug lines so that tests can assert on the ones that are behaviour;
/// warnings and worse still reach the previous handler. Everything logs from the one event-loop thread.
class TestLog {
public:
    void start()
    {
        m_Lines.clear();
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

private:
    static void handler(QtMsgType type, const QMessageLogContext& ctx, const QString& msg)
    {
        if (TestLog* log = s_Instance) {
            log->m_Lines << msg;
            if (type != QtDebugMsg && log->m_Previous)
                log->m_Previous(type, ctx, msg);
        }
    }

    static inline TestLog* s_Instance = nullptr;
    QtMessageHandler m_Previous = nullptr;
    QStringList m_Lines;
};
