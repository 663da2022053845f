#pragma once

#include "CtlCommon.h"
#include "ImageFile.h"
#include "Output.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

class CFirmwareImage;
struct ReceiverModel;

namespace Ctl {

/// One item to program on one receiver, from an image checked before the batch began.
struct Job {
    int item = -1;                   ///< ProgItem number
    CFirmwareImage* image = nullptr; ///< checked for the receiver's model; shared by every receiver of it
    FileFacts file;                  ///< the bytes the image was read from
    QString expected;                ///< the version the item must report afterwards; empty: not verified
    QString before, after;           ///< the item's version before and after the run, as read
    QString result = QStringLiteral("not started");
    int code = -1;                   ///< Exit code; -1 while not run
};

/// One receiver of a batch and the items it gets, one after another on one switch to I/Q Mode.
struct Target {
    QString serial;
    QByteArray record;  ///< as discovered: the mode to go back to
    const ReceiverModel* model = nullptr;
    QVector<Job> jobs;
    QString modeNote;   ///< why its mode may not be the one it had, if so
};

/// Runs the jobs of up to `parallel` receivers at once, each on its own link, all sharing the one
/// finder socket. One receiver's failure never stops the others; a failed item stops that receiver's
/// later items. Ctrl-C lets the runs under way finish and starts no further one.
class Batch : public QObject {
public:
    Batch(const CtlOptions& options, FinderQueue* queue, const QString& release, QObject* parent);
    /// Starts the batch; `done` once every receiver's turn has ended.
    void Run(QVector<Target> targets, std::function<void()> done);
    /// Asks for no further run to start; false when none had started yet.
    bool Interrupt();
    const QVector<Target>& Targets() const { return m_Targets; }
    /// The worst exit code of every job.
    int Code() const;

    // For a receiver's turn.
    const CtlOptions& Options() const { return m_Options; }
    FinderQueue* Queue() const { return m_Queue; }
    Out::Board& Board() { return m_Board; }
    const QString& Release() const { return m_Release; }
    bool Stopping() const { return m_Stop; }
    void TurnEnded(QObject* turn);

private:
    void StartMore();

    CtlOptions m_Options;
    FinderQueue* m_Queue;
    QString m_Release;
    QVector<Target> m_Targets;
    std::function<void()> m_Done;
    int m_Next = 0;
    int m_Running = 0;
    bool m_Started = false;
    bool m_Stop = false;
    Out::Board m_Board;
};

/// Asks "question [y/N]" on the terminal unless --yes was given; `then` on yes. Otherwise ends with
/// exit 2 and nothing sent.
void confirm(const CtlOptions& options, const QString& question, std::function<void()> then);

} // namespace Ctl
