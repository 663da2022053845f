// quillctl update: one item of one or more receivers, from one file read and checked once.
#include "Batch.h"

#include "FirmwareImage.h"
#include "ImageFile.h"
#include "ProgItem.h"
#include "ReceiverModel.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <map>

using namespace Ctl;

namespace {

/// One update command: the file read once and checked for each model it may go to, then the batch.
class Updater : public QObject {
public:
    Updater(const CtlOptions& o, int item, const ReceiverModel* model)
        : QObject(qApp), m_Options(o), m_Item(item), m_Model(model), m_File(ImageFile::load(o.args.last()))
    {
    }
    /// Reads the file's bytes, read once, as the item for `model`; the reader's result.
    int Read(const ReceiverModel& model)
    {
        Image& m = m_Images[model.productId];
        if (!m.read)
            m.result = ProgItem::read(m.image, m_File, model.productId, m_Item);
        m.read = true;
        return m.result;
    }
    void Start();
    /// The batch, once the runs have begun.
    Batch* Running() const { return m_Batch; }

private:
    /// The item's image checked for one model: every receiver of that model is programmed from it.
    struct Image {
        bool read = false;
        int result = CFirmwareImage::FileError;
        CFirmwareImage image;
    };
    void Plan(QVector<Plan::Unit>& units);

    CtlOptions m_Options;
    int m_Item;
    const ReceiverModel* m_Model;  ///< --model, or nullptr
    const ImageFile m_File;        ///< read once, before any traffic; never read again
    std::map<quint32, Image> m_Images;  ///< by product ID
    Batch* m_Batch = nullptr;
};

void Updater::Start()
{
    const QStringList serials = m_Options.all ? QStringList() : m_Options.args.mid(0, m_Options.args.size() - 1);
    survey(m_Options, serials, m_Model, false, [this](QVector<Plan::Unit>& units) { Plan(units); });
}

void Updater::Plan(QVector<Plan::Unit>& units)
{
    QStringList unfit;
    QVector<Plan::Want> wants;
    for (const Plan::Unit& u : units) {
        const int result = Read(*u.model);
        if (result != CFirmwareImage::ReadOk)
            unfit << QStringLiteral("%1 does not fit %2 of %3 (%4): %5")
                         .arg(m_File.path, ProgItem::name(m_Item), u.serial, QLatin1String(u.model->name), ProgItem::resultText(result));
    }
    for (const ReceiverModel& m : Models::All)
        wants.append({&m, m_Item, QString()});
    if (!unfit.isEmpty()) {
        for (const QString& u : unfit)
            Out::error(u);
        Out::error(QStringLiteral("nothing was sent to any receiver"));
        return finish(Exit::BadInput);
    }
    const QVector<Plan::Row> rows = Plan::make(units, wants, m_Options.includeInUse, m_Options.canary);
    bool work = false;
    for (const Plan::Row& r : rows) {
        const Plan::Unit& u = units[r.unit];
        // Someone is listening to a receiver in use: programming it would cut them off.
        if (r.action == Plan::Action::InUse)
            Out::error(QStringLiteral("%1: in use; left alone (--include-in-use programs it)").arg(u.serial));
        else
            Out::note(QStringLiteral("%1 (%2 at %3): %4 from %5%6").arg(u.serial, QLatin1String(u.model->name),
                      Disc::addressText(u.Rec(), Disc::OffIPAdr), ProgItem::name(m_Item), QFileInfo(m_File.path).fileName(),
                      r.stage == Plan::NoStage ? QString() : QStringLiteral(" (%1)").arg(Plan::stageText(r.stage))));
        work = work || r.action == Plan::Action::Update;
    }
    const auto summary = [this, units, rows](const QVector<Target>& ran) {
        report(m_Options, units, rows, outcomes(rows.size(), ran), Exit::NotFound);
    };
    if (!work)
        return summary({});
    QVector<Target> run = targets(units, rows, [this](const Plan::Row&, const Plan::Unit& u) {
        return std::make_pair(&m_Images[u.model->productId].image, m_File.facts());
    });
    confirm(m_Options, QStringLiteral("Program?"), [this, run, summary] {
        m_Batch = new Batch(m_Options, new FinderQueue(finder(m_Options), this), QString(), this);
        m_Batch->Run(run, [this, summary] { summary(m_Batch->Targets()); });
    });
}

} // namespace

void Commands::update(const CtlOptions& o)
{
    const int item = ProgItem::byName(o.item);
    const ReceiverModel* model = Models::byName(o.model);
    QString problem;
    if (item < 0)
        problem = QStringLiteral("--item is needed");
    else if (o.all && (!model || o.args.size() != 1))
        problem = QStringLiteral("--all takes --model NAME and no SERIAL");
    else if (!o.all && (model || o.args.size() < 2))
        problem = QStringLiteral("name the receivers (SERIAL... FILE), or give --all --model NAME");
    if (!problem.isEmpty()) {
        Out::error(problem + QStringLiteral("; see quillctl update --help"));
        return finish(Exit::BadInput);
    }
    // Before any traffic the file is read once: it must be an image of this item for at least one
    // model it may go to.
    auto* updater = new Updater(o, item, model);
    QStringList why;
    bool fits = false;
    for (const ReceiverModel& m : Models::All) {
        if (model && m != *model)
            continue;
        const int result = updater->Read(m);
        fits = fits || result == CFirmwareImage::ReadOk;
        why << QStringLiteral("%1: %2").arg(QLatin1String(m.name), ProgItem::resultText(result));
    }
    if (!fits) {
        Out::error(QStringLiteral("%1 is not a valid %2 image (%3); nothing was sent")
                       .arg(o.args.last(), o.item, why.join(QStringLiteral("; "))));
        return finish(Exit::BadInput);
    }
    onInterrupt = [updater] { interruptBatch(updater->Running()); };
    updater->Start();
}
