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
#include <QSocketNotifier>
#include <QTimer>

#include <cstring>
#include <map>
#include <utility>
#include <unistd.h>

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
        Out::line(QStringLiteral("%1: switching to I/Q Mode for the run").arg(m_Target.serial));
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
        Current().before = Version();
        m_Phase = Running;
        if (!m_Session->Start(Current().item))
            EndJob(Exit::Failed, RunResultText(m_Sdr->LastResult()));
    } else if (m_Phase == Reconnecting && s == SDR_GOT_INFO) {
        Out::line(QStringLiteral("%1: %2").arg(m_Target.serial, m_Sdr->m_Versions.Line()));
        Job& job = Current();
        job.after = Version();
        // The release names the state wanted: a receiver that reports another version did not get it.
        if (!job.expected.isEmpty() && job.after != job.expected)
            return EndJob(Exit::Failed, QStringLiteral("programmed, but reports %1, not %2").arg(job.after, job.expected));
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
    Out::line(QStringLiteral("%1: %2 programmed; waiting for the reconnection").arg(m_Target.serial, ProgItem::name(Current().item)));
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
    job.code = code;
    job.result = result;
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
        return m_Batch.TurnEnded(this);
    // Back to the mode it was in, with the record as discovered, and confirmed by discovery.
    m_Batch.Queue()->SendSet(Rec());
    const RecordFields::Field* field = RecordFields::find(QStringLiteral("Quill-xx Operation Mode"));
    m_Batch.Queue()->Confirm(m_Target.serial, m_Target.record, {field}, m_Batch.Options().confirmMs, [this, field](const quint8*, bool ok) {
        const QString mode = RecordFields::text(*field, Rec());
        Out::line(QStringLiteral("%1: %2 %3").arg(m_Target.serial, ok ? QStringLiteral("back in") : QStringLiteral("NOT back in"), mode));
        if (!ok)
            m_Target.modeNote = QStringLiteral("NOT back in ") + mode;
        m_Batch.TurnEnded(this);
    });
}

} // namespace

Batch::Batch(const CtlOptions& options, FinderQueue* queue, const QString& release, QObject* parent)
    : QObject(parent), m_Options(options), m_Queue(queue), m_Release(release)
{
}

void Batch::Run(QVector<Target> targets, std::function<void()> done)
{
    m_Targets = std::move(targets);
    m_Done = std::move(done);
    StartMore();
}

void Batch::StartMore()
{
    while (!m_Stop && m_Running < qMax(1, m_Options.parallel) && m_Next < m_Targets.size()) {
        m_Started = true;
        ++m_Running;
        (new ReceiverTurn(*this, m_Targets[m_Next++]))->Start();
    }
    if (m_Running == 0 && m_Done)
        std::exchange(m_Done, nullptr)();
}

void Batch::TurnEnded(QObject* turn)
{
    turn->deleteLater();
    --m_Running;
    StartMore();
}

bool Batch::Interrupt()
{
    m_Stop = true;
    return m_Started;
}

int Batch::Code() const
{
    int code = Exit::Ok;
    for (const Target& t : m_Targets) {
        for (const Job& j : t.jobs)
            code = Exit::worst(code, j.code < 0 ? Exit::Failed : j.code);  // not run: interrupted or stopped
        if (!t.modeNote.isEmpty())
            code = Exit::worst(code, Exit::Failed);
    }
    return code;
}

void confirm(const CtlOptions& options, const QString& question, std::function<void()> then)
{
    if (options.yes)
        return then();
    if (!::isatty(STDIN_FILENO)) {
        Out::error(QStringLiteral("stdin is not a terminal: confirm with --yes; nothing was sent"));
        return finish(Exit::BadInput);
    }
    // On stderr, with the other messages: stdout carries only results.
    std::fputs(qPrintable(question + QStringLiteral(" [y/N] ")), stderr);
    auto* answer = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, qApp);
    QObject::connect(answer, &QSocketNotifier::activated, qApp, [answer, then] {
        answer->setEnabled(false);
        answer->deleteLater();
        char buf[64] = {};
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf - 1);
        if (n > 0 && (buf[0] == 'y' || buf[0] == 'Y'))
            return then();
        Out::error(QStringLiteral("not confirmed; nothing was sent"));
        finish(Exit::BadInput);
    });
}

bool inUse(const quint8* record)
{
    return (record[Disc::OffStatus] & Disc::StatusInUseMask) != 0;
}

} // namespace Ctl

using namespace Ctl;

namespace {

/// One update command: the file read once and checked for each model it may go to, then the batch.
class Updater : public QObject {
public:
    Updater(const CtlOptions& o, int item, const ReceiverModel* model)
        : QObject(qApp), m_Options(o), m_Item(item), m_Model(model), m_File(ImageFile::load(o.args.last())),
          m_Finder(finder(o)), m_Batch(new Batch(o, new FinderQueue(m_Finder, this), QString(), this))
    {
    }
    /// Reads the file's bytes, read once, as the item for `model`; the reader's result.
    int Read(const ReceiverModel& model)
    {
        Image& m = m_Images[model.productId];
        m.result = ProgItem::read(m.image, m_File, model.productId, m_Item);
        m.read = true;
        return m.result;
    }
    void Start() { m_Finder->Run([this] { Resolve(); }); }
    void Interrupt();

private:
    /// The item's image checked for one model: every receiver of that model is programmed from it.
    struct Image {
        bool read = false;
        int result = CFirmwareImage::FileError;
        CFirmwareImage image;
    };
    void Resolve();
    void Summary();

    CtlOptions m_Options;
    int m_Item;
    const ReceiverModel* m_Model;  ///< --model, or nullptr
    const ImageFile m_File;        ///< read once, before any traffic; never read again
    std::map<quint32, Image> m_Images;  ///< by product ID
    CDiscoveryCycle* m_Finder;
    Batch* m_Batch;
    QVector<QStringList> m_Skipped;  ///< summary rows of the receivers left alone
};

Updater* g_Updater = nullptr;

void Updater::Resolve()
{
    QStringList missing, unfit;
    QVector<Target> targets;
    for (int row = 0; row < m_Finder->Rows(); ++row) {
        const ReceiverModel* model = Models::byHeader(m_Finder->Header(row));
        if (m_Options.all && model && *model == *m_Model)
            targets.append({Disc::text(m_Finder->Header(row), Disc::SerialNum), {}, m_Model, {}, {}});
    }
    for (const QString& s : m_Options.args.mid(0, m_Options.args.size() - 1))
        targets.append({s, {}, nullptr, {}, {}});
    const FileFacts facts = m_File.facts();
    for (Target& t : targets) {
        const int row = m_Finder->RowOf(t.serial);
        t.model = row < 0 ? nullptr : Models::byHeader(m_Finder->Header(row));
        if (!t.model) {
            missing << t.serial;
            continue;
        }
        t.record = QByteArray(reinterpret_cast<const char*>(m_Finder->Record(row)), Disc::RecordSize);
        Image& image = m_Images[t.model->productId];
        const int result = image.read ? image.result : Read(*t.model);
        if (result != CFirmwareImage::ReadOk)
            unfit << QStringLiteral("%1 does not fit %2 of %3 (%4): %5")
                         .arg(m_File.path, ProgItem::name(m_Item), t.serial, QLatin1String(t.model->name), ProgItem::resultText(result));
        t.jobs = {Job{m_Item, &image.image, facts, {}, {}, {}, QStringLiteral("not started"), -1}};
    }
    if (targets.isEmpty() || !missing.isEmpty()) {
        Out::error(targets.isEmpty() ? QStringLiteral("no %1 receiver answered").arg(QLatin1String(m_Model->name))
                                     : QStringLiteral("not found: ") + missing.join(QStringLiteral(", ")));
        if (m_Finder->Rows() == 0)
            tellNobody(*m_Finder);
        return finish(Exit::NotFound);
    }
    if (!unfit.isEmpty()) {
        for (const QString& u : unfit)
            Out::error(u);
        Out::error(QStringLiteral("nothing was sent to any receiver"));
        return finish(Exit::BadInput);
    }
    // Someone is listening to a receiver in use: programming it would cut them off.
    QVector<Target> run;
    for (const Target& t : targets) {
        if (!m_Options.includeInUse && inUse(reinterpret_cast<const quint8*>(t.record.constData()))) {
            Out::error(QStringLiteral("%1: in use; left alone (--include-in-use programs it)").arg(t.serial));
            m_Skipped << QStringList{t.serial, QLatin1String(t.model->name), ProgItem::name(m_Item), QStringLiteral("skipped: in use")};
            continue;
        }
        Out::line(QStringLiteral("%1 (%2 at %3): %4 from %5").arg(t.serial, QLatin1String(t.model->name),
                  Disc::addressText(reinterpret_cast<const quint8*>(t.record.constData()), Disc::OffIPAdr),
                  ProgItem::name(m_Item), QFileInfo(m_File.path).fileName()));
        run << t;
    }
    if (run.isEmpty())
        return Summary();
    confirm(m_Options, QStringLiteral("Program?"), [this, run] { m_Batch->Run(run, [this] { Summary(); }); });
}

void Updater::Summary()
{
    int code = m_Skipped.isEmpty() ? Exit::Ok : Exit::NotFound;
    QVector<QStringList> rows = m_Skipped;
    for (const Target& t : m_Batch->Targets()) {
        const Job& j = t.jobs.constFirst();
        rows << QStringList{t.serial, QLatin1String(t.model->name), ProgItem::name(j.item),
                            t.modeNote.isEmpty() ? j.result : j.result + QStringLiteral("; ") + t.modeNote};
    }
    code = Exit::worst(code, m_Batch->Code());
    if (rows.size() > 1)
        Out::table({QStringLiteral("SERIAL"), QStringLiteral("MODEL"), QStringLiteral("ITEM"), QStringLiteral("RESULT")}, rows);
    finish(code);
}

void Updater::Interrupt()
{
    if (!m_Batch->Interrupt()) {
        Out::error(QStringLiteral("interrupted; nothing was programmed"));
        return finish(Exit::Interrupted);
    }
    Out::error(QStringLiteral("interrupt: the runs under way go on to their end; no further receiver starts"));
}

} // namespace

void Commands::update(const CtlOptions& o)
{
    const int item = ProgItem::byName(o.item);
    const ReceiverModel* model = nullptr;
    for (const ReceiverModel& m : Models::All)
        if (o.model.compare(QLatin1String(m.name), Qt::CaseInsensitive) == 0)
            model = &m;
    QString problem;
    if (item < 0)
        problem = QStringLiteral("--item must be one of app0, app1, cfg1, cfg2, cfg3, cfg4");
    else if (!o.model.isEmpty() && !model)
        problem = QStringLiteral("--model must be one of ") + Models::names(QStringLiteral(", "));
    else if (o.all ? (o.args.size() != 1 || !model) : o.args.size() < 2)
        problem = QStringLiteral("usage: quillctl update SERIAL... --item ITEM FILE, or update --all --model NAME --item ITEM FILE");
    if (!problem.isEmpty()) {
        Out::error(problem);
        return finish(Exit::BadInput);
    }
    // Before any traffic the file is read once: it must be an image of this item for at least one
    // model it may go to.
    g_Updater = new Updater(o, item, model);
    QStringList why;
    bool fits = false;
    for (const ReceiverModel& m : Models::All) {
        if (model && m != *model)
            continue;
        const int result = g_Updater->Read(m);
        fits = fits || result == CFirmwareImage::ReadOk;
        why << QStringLiteral("%1: %2").arg(QLatin1String(m.name), ProgItem::resultText(result));
    }
    if (!fits) {
        Out::error(QStringLiteral("%1 is not a valid %2 image (%3); nothing was sent")
                       .arg(o.args.last(), o.item, why.join(QStringLiteral("; "))));
        return finish(Exit::BadInput);
    }
    onInterrupt = [] { g_Updater->Interrupt(); };
    g_Updater->Start();
}
