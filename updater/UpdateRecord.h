#pragma once

#include "ImageFile.h"
#include "SdrInterface.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

class CUpdateSession;
class QIODevice;
class QTimer;

/// The update record: one JSON Lines file that QuillFinder and quillctl share, two lines per firmware
/// run (a start and an end, tied by the run's id) and one per Set of changed settings. Every line is appended by one write under an
/// advisory lock, so the window and several quillctl processes may write at once.
namespace UpdateRecord {

constexpr int AfterVersionsWaitMs = 30000;  ///< ms a done run's end waits for the versions read after the reconnection
/// Bytes a line may hold, its line end not counted; a real line is well under 2 KiB, a longer one is damaged.
constexpr int MaxLineBytes = 64 * 1024;

/// The record's file: $XDG_STATE_HOME/quillfinder/updates.jsonl, or ~/.local/state/quillfinder/updates.jsonl
/// when the variable is unset or empty.
QString path();
/// How a record that cannot be written is told: a debug line (QtDebugMsg, the default) or a warning.
void setProblemLevel(QtMsgType level);
/// Appends `line` to `file` as one line of compact JSON, creating the file (mode 0600) and its folder;
/// false, told at the problem level, when the line could not be written whole.
bool append(const QJsonObject& line, const QString& file = path());

/// Appends the line of one Set sent to the receiver that reported `before`: "event": "settings", who
/// sent it, the receiver, and "changes": {KEY: {"before": ..., "after": ...}} for every setting that
/// `after` changes, as `show --json` prints them with secrets masked; false as for append().
bool appendSettings(const quint8* before, const quint8* after, const QString& file = path());

/// One run read back from the record.
struct Run {
    QJsonObject start;  ///< the start line
    QJsonObject end;    ///< the end line; empty when none was written (the program was killed mid-run)
    int line = 0;       ///< the start's line number
    /// The start line's keys, the end's under their own names and its time as "endTime"; a run without
    /// an end has the result "interrupted" and nulls.
    QJsonObject merged() const;
};
/// One settings line read back.
struct SettingsLine {
    QJsonObject json;  ///< the line as written
    int line = 0;      ///< its line number: the runs' starts and these lines are in the order they happened
};
/// What read() found.
struct Listing {
    QVector<Run> runs;     ///< in the order they started
    QVector<SettingsLine> settings;  ///< in file order
    QStringList skipped;   ///< one message per line skipped, naming its line number
    QString error;         ///< why the file could not be read; empty when it was, or does not exist
};
/// Reads every run and settings line of `file`; damaged lines are skipped and named, never rewritten.
Listing read(const QString& file = path());
/// Reads every run from the open `device`, whose messages call it `name`; a line longer than
/// MaxLineBytes is skipped without being held whole.
Listing read(QIODevice& device, const QString& name);

} // namespace UpdateRecord

/// Writes the record of one update session's runs: the start line when a run starts, the end line when
/// it ends (for a done run, once the reconnection read the new versions, or the wait ran out), and
/// "abandoned" when the session goes (the program ends) while a run is under way. A front that wants
/// its runs recorded makes one beside its session.
class CUpdateRecorder : public QObject {
    Q_OBJECT
public:
    /// Follows `session`, whose runs `sdr` programs; a child of the session.
    CUpdateRecorder(CUpdateSession* session, CSdrInterface* sdr);
    ~CUpdateRecorder() override;
    /// Names the release the runs bring the receiver to and the version the item must then report,
    /// in every start and end line from here on.
    void SetRelease(const QString& release, const QString& expectedVersion);

private:
    void OnRunStarted(int item);
    void OnRunEnded(eRunResult result, const QString& reason);
    void OnStatus(eSdrStatus status);
    /// Writes the end of the run under way as abandoned, or the pending end of a done run.
    void Finish();
    /// Makes the end line of the run just ended, to be written by WriteEnd().
    void SetEnd(const QString& result, const QString& reason);
    /// Writes the pending end line with `versionsAfter` (an object, or null).
    void WriteEnd(const QJsonValue& versionsAfter);
    /// Image positions the run has sent, or -1 when the interface is gone.
    qint64 Sent() const;

    CUpdateSession* m_pSession;
    QPointer<CSdrInterface> m_pSdr;  ///< in quillctl it may go before the session
    QTimer* m_pAfterWait = nullptr;  ///< child, single-shot: the reconnection's versions did not come
    QString m_RunId;                 ///< of the run under way or the end pending; empty when neither
    QJsonObject m_End;               ///< end line of a done run, waiting for the versions after it
    bool m_Running = false;          ///< a start line is written, no end yet
    quint32 m_FirstPosition = 0;     ///< image position the run started from
    QElapsedTimer m_Clock;           ///< since the run started
    QJsonObject m_Release;           ///< release and expected version, when a release is applied
};
