#include "Commands.h"

#include "CtlCommon.h"
#include "FirmwareImage.h"
#include "ImageFile.h"
#include "Output.h"
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
#include <memory>
#include <unistd.h>

using namespace Ctl;

namespace {

QString readerText(int result)
{
    switch (result) {
    case CFirmwareImage::FileError:
        return QStringLiteral("missing, unreadable, or an application file that is neither .hex nor .bin");
    case CFirmwareImage::ShortRead:
        return QStringLiteral("could not be read whole");
    case CFirmwareImage::Invalid:
        return QStringLiteral("wrong size, product ID, bank or configuration number");
    case CFirmwareImage::HexFormat:
        return QStringLiteral("Intel HEX format error");
    default:
        return QStringLiteral("reader result %1").arg(result);
    }
}

class ReceiverRun;

/// One update command: checks the file against every receiver, then programs up to --parallel of
/// them at once, each on its own link, all sharing the one finder socket.
class Updater : public QObject {
public:
    struct Target {
        QString serial;
        QByteArray record;  ///< as discovered: the mode to go back to
        const ReceiverModel* model;
        int code = -1;
        QString result = QStringLiteral("not started");
    };

    /// An image of the item checked for one model: every receiver of that model is programmed from it.
    struct ModelImage {
        int result = CFirmwareImage::FileError;  ///< the reader's
        CFirmwareImage image;
    };

    Updater(const CtlOptions& o, int item, const QString& file, const ReceiverModel* model)
        : QObject(qApp), m_Options(o), m_Item(item), m_Model(model), m_File(ImageFile::load(file)),
          m_Facts(m_File.facts()), m_Finder(finder(o)), m_Queue(new FinderQueue(m_Finder, this))
    {
    }
    /// Reads the file's bytes, read once, as the item for `model`; the reader's result.
    int Read(const ReceiverModel& model)
    {
        ModelImage& m = m_Images[model.productId];
        m.result = ProgItem::read(m.image, m_File, model.productId, m_Item);
        return m.result;
    }
    /// The image checked for `model`, or nullptr when the file does not fit it.
    CFirmwareImage* ImageFor(const ReceiverModel& model)
    {
        const auto it = m_Images.find(model.productId);
        return it != m_Images.end() && it->second.result == CFirmwareImage::ReadOk ? &it->second.image : nullptr;
    }
    void Start() { m_Finder->Run([this] { Resolve(); }); }
    void Interrupt();

    const CtlOptions& Options() const { return m_Options; }
    int Item() const { return m_Item; }
    /// The bytes every receiver gets, as read before the first datagram.
    const FileFacts& Facts() const { return m_Facts; }
    FinderQueue* Queue() const { return m_Queue; }
    Out::Board& Board() { return m_Board; }
    /// A receiver's turn has ended, its mode restored or given up on.
    void Finished(ReceiverRun* run);

private:
    void Resolve();
    void Ask();
    void StartMore();
    void Summary();

    CtlOptions m_Options;
    int m_Item;  ///< ProgItem number
    const ReceiverModel* m_Model;  ///< --model, or nullptr
    const ImageFile m_File;        ///< read once, before any traffic; never read again
    const FileFacts m_Facts;
    std::map<quint32, ModelImage> m_Images;  ///< by product ID
    CDiscoveryCycle* m_Finder;
    FinderQueue* m_Queue;
    QVector<Target> m_Targets;
    int m_Next = 0;          ///< index of the next receiver to start
    int m_Running = 0;       ///< receivers whose turn is under way
    bool m_Started = false;  ///< the first receiver's turn has begun
    bool m_Stop = false;
    Out::Board m_Board;
};

/// One receiver's turn: the switch to I/Q Mode, the run on its own link, the reconnection that reads
/// the new versions, and the way back to its mode. Its failures are its own: they never touch another
/// receiver's turn.
class ReceiverRun : public QObject {
public:
    ReceiverRun(Updater& updater, Updater::Target& target)
        : QObject(&updater), m_Updater(updater), m_Target(target)
    {
        m_Watch.setSingleShot(true);
        connect(&m_Watch, &QTimer::timeout, this, &ReceiverRun::OnWatch);
    }
    /// A program that ends mid-run (SIGTERM) still tells the receiver that the run is off.
    ~ReceiverRun() override { delete m_Sdr; }
    void Start();

private:
    enum Phase { Connecting, Running, Reconnecting, Ended };
    const quint8* Rec() const { return reinterpret_cast<const quint8*>(m_Target.record.constData()); }
    QString Label() const { return m_Target.serial + QLatin1Char(' ') + ProgItem::name(m_Updater.Item()); }
    void OnStatus(eSdrStatus s);
    void OnRunEnded(eRunResult result, const QString& reason);
    void OnWatch();
    void End(int code, const QString& result);

    Updater& m_Updater;
    Updater::Target& m_Target;
    QPointer<CSdrInterface> m_Sdr;        ///< no Qt child: deleted at the end of the turn, or with this
    CUpdateSession* m_Session = nullptr;  ///< child of m_Sdr
    Phase m_Phase = Connecting;
    QTimer m_Watch;
};

Updater* g_Updater = nullptr;

void Updater::Resolve()
{
    QStringList missing, unfit;
    const QStringList serials = m_Options.args.mid(0, m_Options.args.size() - 1);
    for (int row = 0; row < m_Finder->Rows(); ++row) {
        const ReceiverModel* model = Models::byHeader(m_Finder->Header(row));
        if (m_Options.all && model && *model == *m_Model)
            m_Targets.append({Disc::text(m_Finder->Header(row), Disc::SerialNum), {}, m_Model});
    }
    for (const QString& s : serials)
        m_Targets.append({s, {}, nullptr});
    for (Target& t : m_Targets) {
        const int row = m_Finder->RowOf(t.serial);
        t.model = row < 0 ? nullptr : Models::byHeader(m_Finder->Header(row));
        if (!t.model) {
            missing << t.serial;
            continue;
        }
        t.record = QByteArray(reinterpret_cast<const char*>(m_Finder->Record(row)), Disc::RecordSize);
        // Each model's image is read from the bytes read at the start, once.
        const int result = m_Images.count(t.model->productId) ? m_Images[t.model->productId].result : Read(*t.model);
        if (result != CFirmwareImage::ReadOk)
            unfit << QStringLiteral("%1 does not fit %2 of %3 (%4): %5")
                         .arg(m_File.path, ProgItem::name(m_Item), t.serial, QLatin1String(t.model->name), readerText(result));
    }
    if (m_Targets.isEmpty() || !missing.isEmpty()) {
        Out::error(m_Targets.isEmpty() ? QStringLiteral("no %1 receiver answered").arg(QLatin1String(m_Model->name))
                                       : QStringLiteral("not found: ") + missing.join(QStringLiteral(", ")));
        if (m_Finder->Rows() == 0)
            Out::error(m_Finder->Diagnosis());
        return finish(Exit::NotFound);
    }
    if (!unfit.isEmpty()) {
        for (const QString& u : unfit)
            Out::error(u);
        Out::error(QStringLiteral("nothing was sent to any receiver"));
        return finish(Exit::BadInput);
    }
    Ask();
}

void Updater::Ask()
{
    for (const Target& t : m_Targets)
        Out::line(QStringLiteral("%1 (%2 at %3): %4 from %5").arg(t.serial, QLatin1String(t.model->name),
                  Disc::addressText(reinterpret_cast<const quint8*>(t.record.constData()), Disc::OffIPAdr),
                  ProgItem::name(m_Item), QFileInfo(m_File.path).fileName()));
    if (m_Options.yes)
        return StartMore();
    if (!::isatty(STDIN_FILENO)) {
        Out::error(QStringLiteral("stdin is not a terminal: confirm with --yes; nothing was sent"));
        return finish(Exit::BadInput);
    }
    // On stderr, with the other messages: stdout carries only results.
    std::fputs("Program? [y/N] ", stderr);
    auto* answer = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(answer, &QSocketNotifier::activated, this, [this, answer] {
        answer->setEnabled(false);
        answer->deleteLater();
        char buf[64] = {};
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf - 1);
        if (n > 0 && (buf[0] == 'y' || buf[0] == 'Y'))
            return StartMore();
        Out::error(QStringLiteral("not confirmed; nothing was sent"));
        finish(Exit::BadInput);
    });
}

void Updater::StartMore()
{
    while (!m_Stop && m_Running < m_Options.parallel && m_Next < m_Targets.size()) {
        m_Started = true;
        ++m_Running;
        (new ReceiverRun(*this, m_Targets[m_Next++]))->Start();
    }
    if (m_Running == 0)
        Summary();
}

void Updater::Finished(ReceiverRun* run)
{
    run->deleteLater();
    --m_Running;
    StartMore();
}

void Updater::Summary()
{
    int code = Exit::Ok;
    QVector<QStringList> rows;
    for (Target& t : m_Targets) {
        if (t.code < 0)
            t.code = Exit::Failed;  // not started: interrupted
        code = code == Exit::Failed || t.code == Exit::Failed ? Exit::Failed : qMax(code, t.code);
        rows << QStringList{t.serial, QLatin1String(t.model->name), ProgItem::name(m_Item), t.result};
    }
    if (m_Targets.size() > 1)
        Out::table({QStringLiteral("SERIAL"), QStringLiteral("MODEL"), QStringLiteral("ITEM"), QStringLiteral("RESULT")}, rows);
    finish(code);
}

void Updater::Interrupt()
{
    if (!m_Started) {
        Out::error(QStringLiteral("interrupted; nothing was programmed"));
        return finish(Exit::Interrupted);
    }
    m_Stop = true;
    Out::error(QStringLiteral("interrupt: the runs under way go on to their end; no further receiver starts"));
}

void ReceiverRun::Start()
{
    CFirmwareImage* image = m_Updater.ImageFor(*m_Target.model);
    m_Sdr = new CSdrInterface(this, image);
    m_Session = new CUpdateSession(m_Sdr, image, m_Sdr);
    new CUpdateRecorder(m_Session, m_Sdr);
    m_Session->SetReceiver(Rec());
    m_Session->UseImage(m_Updater.Facts());
    if (m_Session->NeedsIqMode()) {
        Out::line(QStringLiteral("%1: switching to I/Q Mode for the run").arg(m_Target.serial));
        quint8 iq[Disc::RecordSize];
        std::memcpy(iq, Rec(), Disc::RecordSize);
        CUpdateSession::ToIqMode(iq);
        m_Updater.Queue()->SendSet(iq);
    }
    m_Sdr->SetSdrStatus(SDR_NOT_CONNECTED);
    connect(m_Sdr, &CSdrInterface::NewSdrStatus, this, &ReceiverRun::OnStatus);
    connect(m_Sdr, &CSdrInterface::PercentComplete, this, [this](int p) { m_Updater.Board().show(Label(), p); });
    connect(m_Session, &CUpdateSession::RunEnded, this, &ReceiverRun::OnRunEnded);
    m_Watch.start(ConnectTimeoutMs);
}

void ReceiverRun::OnStatus(eSdrStatus s)
{
    if (m_Phase == Connecting && s == SDR_CONNECTED_IDLE && m_Sdr->CanStart()) {
        const QString problem = m_Session->ReceiverProblem();
        if (!problem.isEmpty())
            return End(Exit::Failed, QStringLiteral("not started: ") + problem);
        m_Watch.stop();
        m_Phase = Running;
        if (!m_Session->Start(m_Updater.Item()))
            End(Exit::Failed, RunResultText(m_Sdr->LastResult()));
    } else if (m_Phase == Reconnecting && s == SDR_GOT_INFO) {
        Out::line(QStringLiteral("%1: %2").arg(m_Target.serial, m_Sdr->m_Versions.Line()));
        End(Exit::Ok, QStringLiteral("done"));
    }
}

void ReceiverRun::OnRunEnded(eRunResult result, const QString& reason)
{
    if (m_Phase != Running)
        return;
    m_Updater.Board().end(Label());
    if (result != RUN_DONE)
        return End(Exit::Failed, QStringLiteral("failed: ") + reason);
    Out::line(QStringLiteral("%1: programmed; waiting for the reconnection").arg(m_Target.serial));
    m_Phase = Reconnecting;
    m_Watch.start(ReconnectTimeoutMs);
}

void ReceiverRun::OnWatch()
{
    if (m_Phase == Connecting)
        End(Exit::NotFound, QStringLiteral("not started: no answer on %1:%2 within %3 s")
                                .arg(m_Sdr->m_IPAdr.toString()).arg(m_Sdr->m_Port).arg(ConnectTimeoutMs / 1000));
    else if (m_Phase == Reconnecting)
        End(Exit::Failed, QStringLiteral("programmed, but no reconnection within %1 s").arg(ReconnectTimeoutMs / 1000));
}

void ReceiverRun::End(int code, const QString& result)
{
    m_Watch.stop();
    m_Phase = Ended;
    m_Updater.Board().end(Label());
    m_Sdr->disconnect(this);
    m_Session->disconnect(this);
    m_Sdr->deleteLater();
    m_Target.code = code;
    m_Target.result = result;
    if (code != Exit::Ok)
        Out::error(QStringLiteral("%1: %2").arg(m_Target.serial, result));
    if (!m_Session->NeedsIqMode())
        return m_Updater.Finished(this);
    // Back to the mode it was in, with the record as discovered, and confirmed by discovery.
    m_Updater.Queue()->SendSet(Rec());
    const RecordFields::Field* field = RecordFields::find(QStringLiteral("Quill-xx Operation Mode"));
    m_Updater.Queue()->Confirm(m_Target.serial, m_Target.record, {field}, m_Updater.Options().confirmMs, [this, field](const quint8*, bool ok) {
        const QString mode = RecordFields::text(*field, Rec());
        Out::line(QStringLiteral("%1: %2 %3").arg(m_Target.serial, ok ? QStringLiteral("back in") : QStringLiteral("NOT back in"), mode));
        if (!ok) {
            m_Target.code = Exit::Failed;
            m_Target.result += QStringLiteral("; NOT back in ") + mode;
        }
        m_Updater.Finished(this);
    });
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
    g_Updater = new Updater(o, item, o.args.last(), model);
    QStringList why;
    bool fits = false;
    for (const ReceiverModel& m : Models::All) {
        if (model && m != *model)
            continue;
        const int result = g_Updater->Read(m);
        fits = fits || result == CFirmwareImage::ReadOk;
        why << QStringLiteral("%1: %2").arg(QLatin1String(m.name), readerText(result));
    }
    if (!fits) {
        Out::error(QStringLiteral("%1 is not a valid %2 image (%3); nothing was sent")
                       .arg(o.args.last(), o.item, why.join(QStringLiteral("; "))));
        return finish(Exit::BadInput);
    }
    g_Updater->Start();
}

void Commands::interrupt()
{
    if (g_Updater)
        g_Updater->Interrupt();
}
