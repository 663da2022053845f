#pragma once

#include "CtlCommon.h"
#include "ImageFile.h"
#include "Output.h"
#include "Plan.h"

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
    int row = -1;                    ///< the plan's row
    int item = -1;                   ///< ProgItem number
    CFirmwareImage* image = nullptr; ///< checked for the receiver's model; shared by every receiver of it
    FileFacts file;                  ///< the bytes the image was read from
    QString expected;                ///< the version the item must report afterwards; empty: not verified
    Plan::Outcome outcome;
};

/// One receiver of a batch and the items it gets, one after another on one switch to I/Q Mode.
struct Target {
    QString serial;
    QByteArray record;  ///< as discovered: the mode to go back to
    QVector<Job> jobs;
    Plan::Stage stage = Plan::NoStage;
    QString modeNote;   ///< why its mode may not be the one it had, if so
};

/// Where a plan row's image comes from: the image checked for the row's model and item, and its file.
using ImageOf = std::function<std::pair<CFirmwareImage*, FileFacts>(const Plan::Row&, const Plan::Unit&)>;
/// The receivers that the plan updates, each with its rows to run in order.
QVector<Target> targets(const QVector<Plan::Unit>& units, const QVector<Plan::Row>& rows, const ImageOf& imageOf);
/// The outcome of every plan row after the batch; a receiver not back in its mode fails each of its runs.
QVector<Plan::Outcome> outcomes(int rows, const QVector<Target>& targets);

/// Runs the jobs of up to `parallel` receivers at once, each on its own link, all sharing the one
/// finder socket. One receiver's failure never stops the others, unless the options' stages say so;
/// a failed item stops that receiver's later items. Ctrl-C lets the runs under way finish and starts
/// no further one.
class Batch : public QObject {
public:
    Batch(const CtlOptions& options, FinderQueue* queue, const QString& release, QObject* parent);
    /// Starts the batch; `done` once every receiver's turn has ended.
    void Run(QVector<Target> targets, std::function<void()> done);
    /// Asks for no further run to start; false when none had started yet.
    bool Interrupt();
    const QVector<Target>& Targets() const { return m_Targets; }

    // For a receiver's turn.
    const CtlOptions& Options() const { return m_Options; }
    FinderQueue* Queue() const { return m_Queue; }
    Out::Board& Board() { return m_Board; }
    const QString& Release() const { return m_Release; }
    bool Stopping() const { return m_Stop; }
    /// A job ended with `code`: counts the failures for --max-failed.
    void JobEnded(int code);
    void TurnEnded(QObject* turn, const Target& target);

private:
    void StartMore();
    void Stop(const QString& why);

    CtlOptions m_Options;
    FinderQueue* m_Queue;
    QString m_Release;
    QVector<Target> m_Targets;
    std::function<void()> m_Done;
    int m_Next = 0;
    int m_Running = 0;
    int m_CanariesLeft = 0;  ///< canary receivers whose turn has not ended
    int m_Failed = 0;        ///< runs that failed
    bool m_Started = false;
    bool m_Stop = false;
    Out::Board m_Board;
};

/// Ctrl-C during a batch command: before `batch` started a run (or without one) the command ends with
/// exit 130; otherwise the runs under way finish and no further one starts.
void interruptBatch(Batch* batch);

} // namespace Ctl
