#include "Batch.h"

#include "FirmwareImage.h"
#include "ImageFile.h"
#include "ProgItem.h"
#include "ReceiverModel.h"
#include "SdrInterface.h"
#include "UpdateRecord.h"
#include "UpdateSession.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <cstring>
#include <map>
#include <utility>

namespace Ctl {

namespace {

/// One receiver's turn: the switch to I/Q Mode, its items one after another, each on a link of its own
/// with the reconnection that reads the new versions, and the way back to its mode. Its failures are
/// its own: they never touch another receiver's turn.
class ReceiverTurn : public QObject {
public:
    ReceiverTurn(Batch& batch, Target& target)
        : QObject(&batch), m_Batch(batch), m_Target(target)
    {
        m_Watch.setSingleShot(true);
        connect(&m_Watch, &QTimer::timeout, this, &ReceiverTurn::OnWatch);
    }
    /// A program that ends mid-run (SIGTERM) still tells the receiver that the run is off.
    ~ReceiverTurn() override { delete m_Sdr; }
    void Start();

private:
    enum Phase { Connecting, Running, Reconnecting, Ended };
    const quint8* Rec() const { return reinterpret_cast<const quint8*>(m_Target.record.constData()); }
    Job& Current() { return m_Target.jobs[m_Job]; }
    QString Label() const { return m_Target.serial + QLatin1Char(' ') + ProgItem::name(m_Target.jobs[m_Job].item); }
    QString Version() const { return m_Sdr->m_Versions.Text(SdrVersions::OfItem(m_Target.jobs[m_Job].item)); }
    void NextJob();
    void OnStatus(eSdrStatus s);
    void OnRunEnded(eRunResult result, const QString& reason);
    void OnWatch();
    /// Ends the current item with `code`; a failure ends the turn.
    void EndJob(int code, const QString& result);
    void EndTurn();

    Batch& m_Batch;
    Target& m_Target;
    int m_Job = -1;
    bool m_SwitchedToIq = false;
    QPointer<CSdrInterface> m_Sdr;        ///< no Qt child: deleted after its item, or with this
    CUpdateSession* m_Session = nullptr;  ///< child of m_Sdr
    Phase m_Phase = Ended;
    QTimer m_Watch;
};

void ReceiverTurn::Start()
{
    quint8 iq[Disc::RecordSize];
    std::memcpy(iq, Rec(), Disc::RecordSize);
    m_SwitchedToIq = iq[Disc::OffOpMode] != Disc::OpModeIQ;
    if (m_SwitchedToIq) {
        Out::note(QStringLiteral("%1: switching to I/Q Mode for the run").arg(m_Target.serial));
        CUpdateSession::ToIqMode(iq);
        m_Batch.Queue()->SendSet(iq);
    }
    NextJob();
}

void ReceiverTurn::NextJob()
{
    if (m_Sdr) {
        m_Sdr->disconnect(this);
        m_Sdr->deleteLater();
    }
    if (++m_Job >= m_Target.jobs.size() || m_Batch.Stopping())
        return EndTurn();
    const Job& job = Current();
    m_Sdr = new CSdrInterface(this, job.image);
    m_Session = new CUpdateSession(m_Sdr, job.image, m_Sdr);
    auto* recorder = new CUpdateRecorder(m_Session, m_Sdr);
    if (!m_Batch.Release().isEmpty())
        recorder->SetRelease(m_Batch.Release(), job.expected);
    m_Session->SetReceiver(Rec());
    m_Session->UseImage(job.file);
    m_Sdr->SetSdrStatus(SDR_NOT_CONNECTED);
    connect(m_Sdr, &CSdrInterface::NewSdrStatus, this, &ReceiverTurn::OnStatus);
    connect(m_Sdr, &CSdrInterface::PercentComplete, this, [this](int p) { m_Batch.Board().show(Label(), p); });
    connect(m_Session, &CUpdateSession::RunEnded, this, &ReceiverTurn::OnRunEnded);
    m_Phase = Connecting;
    m_Watch.start(ConnectTimeoutMs);
}

void ReceiverTurn::OnStatus(eSdrStatus s)
{
    if (m_Phase == Connecting && s == SDR_CONNECTED_IDLE && m_Sdr->CanStart()) {
        const QString problem = m_Session->ReceiverProblem();
        if (!problem.isEmpty())
            return EndJob(Exit::Failed, QStringLiteral("not started: ") + problem);
        m_Watch.stop();
        Current().outcome.before = Version();
        m_Phase = Running;
        if (!m_Session->Start(Current().item))
            EndJob(Exit::Failed, RunResultText(m_Sdr->LastResult()));
    } else if (m_Phase == Reconnecting && s == SDR_GOT_INFO) {
        Out::note(QStringLiteral("%1: %2").arg(m_Target.serial, m_Sdr->m_Versions.Line()));
        Job& job = Current();
        job.outcome.after = Version();
        // The release names the state wanted: a receiver that reports another version did not get it.
        if (!job.expected.isEmpty() && job.outcome.after != job.expected)
            return EndJob(Exit::Failed, QStringLiteral("programmed, but reports %1, not %2").arg(job.outcome.after, job.expected));
        EndJob(Exit::Ok, QStringLiteral("done"));
    }
}

void ReceiverTurn::OnRunEnded(eRunResult result, const QString& reason)
{
    if (m_Phase != Running)
        return;
    m_Batch.Board().end(Label());
    if (result != RUN_DONE)
        return EndJob(Exit::Failed, QStringLiteral("failed: ") + reason);
    Out::note(QStringLiteral("%1: %2 programmed; waiting for the reconnection").arg(m_Target.serial, ProgItem::name(Current().item)));
    m_Phase = Reconnecting;
    m_Watch.start(ReconnectTimeoutMs);
}

void ReceiverTurn::OnWatch()
{
    if (m_Phase == Connecting)
        EndJob(Exit::NotFound, QStringLiteral("not started: no answer on %1:%2 within %3 s")
                                   .arg(m_Sdr->m_IPAdr.toString()).arg(m_Sdr->m_Port).arg(ConnectTimeoutMs / 1000));
    else if (m_Phase == Reconnecting)
        EndJob(Exit::Failed, QStringLiteral("programmed, but no reconnection within %1 s").arg(ReconnectTimeoutMs / 1000));
}

void ReceiverTurn::EndJob(int code, const QString& result)
{
    m_Watch.stop();
    m_Phase = Ended;
    m_Batch.Board().end(Label());
    Job& job = Current();
    job.outcome.code = code;
    job.outcome.result = result;
    m_Batch.JobEnded(code);
    if (code == Exit::Ok)
        return NextJob();
    Out::error(QStringLiteral("%1: %2").arg(m_Target.jobs.size() > 1 ? Label() : m_Target.serial, result));
    m_Sdr->disconnect(this);
    m_Session->disconnect(this);
    m_Sdr->deleteLater();
    EndTurn();
}

void ReceiverTurn::EndTurn()
{
    m_Phase = Ended;
    if (!m_SwitchedToIq)
        return m_Batch.TurnEnded(this, m_Target);
    // Back to the mode it was in, with the record as discovered, and confirmed by discovery.
    m_Batch.Queue()->SendSet(Rec());
    const RecordFields::Field* field = &RecordFields::named("Quill-xx Operation Mode");
    m_Batch.Queue()->Confirm(m_Target.serial, m_Target.record, {field}, m_Batch.Options().confirmMs, [this, field](const quint8*, bool ok) {
        const QString mode = RecordFields::text(*field, Rec());
        Out::note(QStringLiteral("%1: %2 %3").arg(m_Target.serial, ok ? QStringLiteral("back in") : QStringLiteral("NOT back in"), mode));
        if (!ok)
            m_Target.modeNote = QStringLiteral("NOT back in ") + mode;
        m_Batch.TurnEnded(this, m_Target);
    });
}

} // namespace

QVector<Target> targets(const QVector<Plan::Unit>& units, const QVector<Plan::Row>& rows, const ImageOf& imageOf)
{
    QVector<Target> list;
    int last = -1;
    for (int i = 0; i < rows.size(); ++i) {
        const Plan::Row& r = rows[i];
        if (r.action != Plan::Action::Update)
            continue;
        const Plan::Unit& u = units[r.unit];
        if (r.unit != last)
            list.append({u.serial, u.record, {}, r.stage, {}});
        last = r.unit;
        const auto image = imageOf(r, u);
        list.last().jobs.append({i, r.item, image.first, image.second, r.wanted, {}});
    }
    return list;
}

QVector<Plan::Outcome> outcomes(int rows, const QVector<Target>& targets)
{
    QVector<Plan::Outcome> list(rows);
    for (const Target& t : targets) {
        for (const Job& j : t.jobs) {
            list[j.row] = j.outcome;
            if (!t.modeNote.isEmpty() && j.outcome.code >= 0) {
                list[j.row].result += QStringLiteral("; ") + t.modeNote;
                list[j.row].code = Exit::worst(j.outcome.code, Exit::Failed);
            }
        }
    }
    return list;
}

Batch::Batch(const CtlOptions& options, FinderQueue* queue, const QString& release, QObject* parent)
    : QObject(parent), m_Options(options), m_Queue(queue), m_Release(release)
{
}

void Batch::Run(QVector<Target> targets, std::function<void()> done)
{
    m_Targets = std::move(targets);
    m_Done = std::move(done);
    for (const Target& t : m_Targets)
        m_CanariesLeft += t.stage == Plan::Canary;
    StartMore();
}

void Batch::StartMore()
{
    while (!m_Stop && m_Running < qMax(1, m_Options.parallel) && m_Next < m_Targets.size()) {
        // The rollout waits until every canary has shown its image works.
        if (m_Targets[m_Next].stage == Plan::Rollout && m_CanariesLeft > 0)
            break;
        m_Started = true;
        ++m_Running;
        (new ReceiverTurn(*this, m_Targets[m_Next++]))->Start();
    }
    if (m_Running == 0 && m_Done)
        std::exchange(m_Done, nullptr)();
}

void Batch::Stop(const QString& why)
{
    if (!m_Stop && m_Next < m_Targets.size())
        Out::error(why + QStringLiteral("; no further receiver starts"));
    m_Stop = true;
}

void Batch::JobEnded(int code)
{
    if (code == Exit::Ok)
        return;
    ++m_Failed;
    if (m_Options.maxFailed > 0 && m_Failed >= m_Options.maxFailed)
        Stop(QStringLiteral("%1 runs failed (--max-failed %2)").arg(m_Failed).arg(m_Options.maxFailed));
}

void Batch::TurnEnded(QObject* turn, const Target& target)
{
    turn->deleteLater();
    --m_Running;
    if (target.stage == Plan::Canary) {
        --m_CanariesLeft;
        bool ok = target.modeNote.isEmpty();
        for (const Job& j : target.jobs)
            ok = ok && j.outcome.code == Exit::Ok;
        if (!ok)
            Stop(QStringLiteral("canary %1 was not programmed and verified").arg(target.serial));
    }
    StartMore();
}

bool Batch::Interrupt()
{
    m_Stop = true;
    return m_Started;
}



void interruptBatch(Batch* batch)
{
    if (!batch || !batch->Interrupt()) {
        Out::error(QStringLiteral("interrupted; nothing was programmed"));
        return finish(Exit::Interrupted);
    }
    Out::error(QStringLiteral("interrupt: the runs under way go on to their end; no further run starts"));
}

} // namespace Ctl
