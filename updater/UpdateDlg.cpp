#include "UpdateDlg.h"

#include "ProgItem.h"
#include "ReceiverModel.h"
#include "SetSender.h"
#include "UpdateRecord.h"
#include "ui_CUpdateDlg.h"

#include <QDebug>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QStringList>
#include <QUdpSocket>

namespace {

/// Everything that differs between the six programming items; the item number is the index.
struct ItemDesc {
    QRadioButton* Ui::CUpdateDlg::*radio;
    QLabel* Ui::CUpdateDlg::*version;
    QLabel* Ui::CUpdateDlg::*fileLabel;
    QPushButton* Ui::CUpdateDlg::*browse;
    ImagePathSet::ModelSlot slot;  ///< which of the model's seven paths
    const char* caption;           ///< file dialog caption
    const char* filter;            ///< file dialog filter
    const char* startLog;          ///< debug line written when the run is started
};

using U = Ui::CUpdateDlg;
const ItemDesc Items[CUpdateDlg::ItemCount] = {
    {&U::radioButtonApp0, &U::label_VerApp0, &U::labelAppFile0, &U::pushButtonBrowseApp0, ImagePathSet::App0,
     QT_TRANSLATE_NOOP("CUpdateDlg", "Select App0 File"),
     QT_TRANSLATE_NOOP("CUpdateDlg", "App0 files (*.hex *.bin)"), "Start App0"},
    {&U::radioButtonApp1, &U::label_VerApp1, &U::labelAppFile1, &U::pushButtonBrowseApp1, ImagePathSet::App1,
     QT_TRANSLATE_NOOP("CUpdateDlg", "Select App1 File"),
     QT_TRANSLATE_NOOP("CUpdateDlg", "App1 files (*.hex *.bin)"), "Start App1"},
    {&U::radioButtonConfig_01, &U::label_VerCfg1, &U::labelConfigFile1, &U::pushButtonBrowseConfig1,
     ImagePathSet::Config1, QT_TRANSLATE_NOOP("CUpdateDlg", "Select Config01 File"),
     QT_TRANSLATE_NOOP("CUpdateDlg", "Config01 files (*.bit)"), "Start Cfg1"},
    // The Config02 dialog offers the Config01 filter text; users know it that way.
    {&U::radioButtonConfig_02, &U::label_VerCfg2, &U::labelConfigFile2, &U::pushButtonBrowseConfig2,
     ImagePathSet::Config2, QT_TRANSLATE_NOOP("CUpdateDlg", "Select Config02 File"),
     QT_TRANSLATE_NOOP("CUpdateDlg", "Config01 files (*.bit)"), "Start Cfg2"},
    {&U::radioButtonConfig_03, &U::label_VerCfg3, &U::labelConfigFile3, &U::pushButtonBrowseConfig3,
     ImagePathSet::Config3, QT_TRANSLATE_NOOP("CUpdateDlg", "Select Config03 File"),
     QT_TRANSLATE_NOOP("CUpdateDlg", "Config03 files (*.bit)"), "Start Cfg3"},
    {&U::radioButtonConfig_04, &U::label_VerCfg4, &U::labelConfigFile4, &U::pushButtonBrowseConfig4,
     ImagePathSet::Config4, QT_TRANSLATE_NOOP("CUpdateDlg", "Select Config04 File"),
     QT_TRANSLATE_NOOP("CUpdateDlg", "Config04 files (*.bit)"), "Start Cfg4"},
};

bool isItem(int item) { return item >= 0 && item < CUpdateDlg::ItemCount; }

QString colourWord(Qt::GlobalColor colour)
{
    switch (colour) {
    case Qt::green:
        return QStringLiteral("green");
    case Qt::yellow:
        return QStringLiteral("yellow");
    case Qt::red:
        return QStringLiteral("red");
    default:
        return QStringLiteral("lightGray");
    }
}

} // namespace

CUpdateDlg::CUpdateDlg(QWidget* parent)
    : QDialog(parent, Qt::WindowFlags())
{
    qDebug("CUpdateDlg constuctor");
    m_pUi = new Ui::CUpdateDlg;
    m_pUi->setupUi(this);
    m_FileValid = false;
    m_pUdpSocket = new QUdpSocket(this);
    m_pSetSender = new CSetSender(m_pUdpSocket, this);
    // Not a QObject child: the destructor deletes it first, so its link ends before the form goes.
    m_pSdrInterface = new CSdrInterface(this, &m_Image);
    connect(m_pSdrInterface, &CSdrInterface::NewSdrStatus, this, &CUpdateDlg::NewSdrStatusSlot, Qt::DirectConnection);
    connect(m_pSdrInterface, &CSdrInterface::PercentComplete, this, &CUpdateDlg::OnPercentComplete,
            Qt::DirectConnection);

    // The interface ends every run itself, by bounded waits if the device goes quiet; the dialog
    // only follows it with its locks.
    connect(m_pSdrInterface, &CSdrInterface::RunActiveChanged, this, &CUpdateDlg::UpdateLocks);
    // After the dialog's own connections: the session and the record of its runs hear every signal
    // after the dialog has shown it.
    m_pSession = new CUpdateSession(m_pSdrInterface, &m_Image, this);
    new CUpdateRecorder(m_pSession, m_pSdrInterface);

    connect(m_pUi->buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_pUi->buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_pUi->buttonGroup, &QButtonGroup::idClicked, this, &CUpdateDlg::OnButtonGroup);
    connect(m_pUi->pushButtonBrowseConfig1, &QPushButton::clicked, this, &CUpdateDlg::OnBrowseConfig1);
    connect(m_pUi->pushButtonBrowseConfig2, &QPushButton::clicked, this, &CUpdateDlg::OnBrowseConfig2);
    connect(m_pUi->pushButtonBrowseConfig3, &QPushButton::clicked, this, &CUpdateDlg::OnBrowseConfig3);
    connect(m_pUi->pushButtonBrowseConfig4, &QPushButton::clicked, this, &CUpdateDlg::OnBrowseConfig4);
    connect(m_pUi->pushButtonBrowseApp0, &QPushButton::clicked, this, &CUpdateDlg::OnBrowseApp0);
    connect(m_pUi->pushButtonBrowseApp1, &QPushButton::clicked, this, &CUpdateDlg::OnBrowseApp1);
    connect(m_pUi->pushButtonProgram, &QPushButton::clicked, this, &CUpdateDlg::OnStartProgSlot);
    connect(m_pUi->pushButtonAbort, &QPushButton::clicked, this, &CUpdateDlg::OnAbortSlot);
}

CUpdateDlg::~CUpdateDlg()
{
    qDebug("CUpdateDlg destuctor");
    delete m_pSession;
    delete m_pSdrInterface;
    delete m_pSetSender;
    delete m_pUdpSocket;
    delete m_pUi;
}

void CUpdateDlg::Init()
{
    // The session takes the record as discovered, and points the interface at its address and port.
    m_pSession->SetReceiver(m_Record);
    if (m_pSession->NeedsIqMode()) {
        CUpdateSession::ToIqMode(m_Record);
        m_pSetSender->SendSet(m_Record);
    }

    m_pSdrInterface->SetSdrStatus(SDR_NOT_CONNECTED);
    qDebug("SDR IP = %s  Port = %u", qPrintable(m_pSdrInterface->m_IPAdr.toString()), m_pSdrInterface->m_Port);

    const int base = ImagePathSet::base(*m_pSession->Model());
    for (int i = 0; i < ImagePathSet::PerModel; ++i)
        m_CurPaths[i] = m_Paths.paths[base + i];

    for (int item = 0; item < ItemCount; ++item) {
        const QFileInfo file(m_CurPaths[Items[item].slot]);
        (m_pUi->*Items[item].fileLabel)->setText(file.isFile() ? file.fileName() : tr("Select File"));
    }

    for (int item = 0; item < ItemCount; ++item)
        m_pUi->buttonGroup->setId(m_pUi->*Items[item].radio, item);
    // The store accepts any integer; a value with no radio button falls back to the first item.
    if (!isItem(m_Paths.progItem))
        m_Paths.progItem = 0;
    (m_pUi->*Items[m_Paths.progItem].radio)->setChecked(true);
    OnButtonGroup(m_Paths.progItem);
    SetProgButtonColor(Qt::gray);
}

void CUpdateDlg::done(int r)
{
    // The image under a run must stay, and so must the dialog that owns it and the link: closing
    // mid-run would leave the receiver with an erased or half-written flash.
    if (m_pSdrInterface->RunActive())
        return;
    // A dialog closed before Init() knows no model and has no paths to hand back.
    if (const ReceiverModel* model = m_pSession->Model()) {
        const int base = ImagePathSet::base(*model);
        for (int i = 0; i < ImagePathSet::PerModel; ++i)
            m_Paths.paths[base + i] = m_CurPaths[i];
    }
    m_Paths.progItem = m_pUi->buttonGroup->checkedId();
    QDialog::done(r);
}

void CUpdateDlg::CloseUdp()
{
    m_pSetSender->Close();
}

void CUpdateDlg::NewSdrStatusSlot(eSdrStatus status)
{
    m_Status = status;
    UpdateLocks();
    switch (status) {
    case SDR_NOT_CONNECTED:
        m_pUi->labelStatus->setText(tr("Not Connected"));
        SetProgButtonColor(Qt::gray);
        break;
    case SDR_GETTING_INFO:
        SetProgButtonColor(Qt::gray);
        break;
    case SDR_GOT_INFO:
        m_pUi->labelStatus->setText(tr("Got Info"));
        ShowVersions();
        break;
    case SDR_CONNECTED_IDLE:
        m_pUi->labelStatus->setText(tr("Connected Idle"));
        SetProgButtonColor(m_FileValid ? Qt::green : Qt::gray);
        break;
    case SDR_PROGRAMMING:
        SetProgButtonColor(Qt::yellow);
        break;
    case SDR_PROG_DONE:
        m_pUi->labelStatus->setText(tr("Program Finished OK"));
        SetProgButtonColor(Qt::gray);
        break;
    case SDR_PROG_FAILED:
        m_pUi->labelStatus->setText(tr("!! Programmin Failed !!"));
        SetProgButtonColor(Qt::red);
        break;
    default:
        SetProgButtonColor(Qt::gray);
        break;
    }
}

void CUpdateDlg::OnBrowseConfig1() { Browse(2); }
void CUpdateDlg::OnBrowseConfig2() { Browse(3); }
void CUpdateDlg::OnBrowseConfig3() { Browse(4); }
void CUpdateDlg::OnBrowseConfig4() { Browse(5); }
void CUpdateDlg::OnBrowseApp0() { Browse(0); }
void CUpdateDlg::OnBrowseApp1() { Browse(1); }

void CUpdateDlg::OnButtonGroup(int item)
{
    m_FileValid = false;
    m_Paths.progItem = item;
    if (!isItem(item))
        return;
    m_FileValid = ReadItem(item) == CFirmwareImage::ReadOk;
    ShowFileResult(item, m_FileValid);
    for (int i = 0; i < ItemCount; ++i)
        (m_pUi->*Items[i].browse)->setVisible(i == item);
}

void CUpdateDlg::OnStartProgSlot()
{
    // "Program Finished OK" is followed by a reconnection that would cut a new run short: Start waits
    // for "Connected Idle" after it.
    const bool ready = (m_Status == SDR_CONNECTED_IDLE || m_Status == SDR_PROG_FAILED) && m_pSdrInterface->CanStart();
    if (!m_FileValid || !ready) {
        qDebug("Start error");
        return;
    }
    if (!isItem(m_Paths.progItem))
        return;
    m_pSession->Start(m_Paths.progItem);
    qDebug("%s", Items[m_Paths.progItem].startLog);
}

void CUpdateDlg::OnAbortSlot()
{
    // Deliberately empty: stopping a flash write half-way leaves the receiver without a usable image.
}

void CUpdateDlg::OnPercentComplete(int percent)
{
    m_pUi->progressBar->setValue(percent);
}

void CUpdateDlg::SetProgButtonColor(Qt::GlobalColor colour)
{
    const QStringList pieces = {
        QStringLiteral("QPushButton{"),
        QStringLiteral("background-color: %1;").arg(colourWord(colour)),
        QStringLiteral("border-style: outset; border-width: 2px;"),
        QStringLiteral("border-radius: 10px;"),
        QStringLiteral("border-color: beige;"),
        QStringLiteral("font: bold 20px;"),
        QStringLiteral("min-width: 10em;"),
        QStringLiteral("padding: 6px;}"),
        QStringLiteral("QPushButton:pressed{"),
        QStringLiteral("border-style: inset;"),
        QStringLiteral("background-color: gray;"),
        QStringLiteral("}"),
    };
    m_pUi->pushButtonProgram->setStyleSheet(pieces.join(QStringLiteral("\t\t")));
}

void CUpdateDlg::ShowVersions()
{
    const SdrVersions& v = m_pSdrInterface->m_Versions;
    m_pUi->label_info->setText(QStringLiteral("Model = ") + m_pSdrInterface->m_ModelName + QStringLiteral("  SN = ")
                               + m_pSdrInterface->m_SerialNum + QStringLiteral("  Boot Version = ")
                               + v.Text(SdrVersions::Names[0]) + QStringLiteral("  HW Version = ")
                               + v.Text(SdrVersions::Names[1]));
    // Application versions are in hundredths; a configuration version is a plain byte.
    for (int item = 0; item < ItemCount; ++item)
        (m_pUi->*Items[item].version)->setText(v.Text(SdrVersions::OfItem(item)));
}

void CUpdateDlg::Browse(int item)
{
    const ItemDesc& d = Items[item];
    const QString chosen = QFileDialog::getOpenFileName(this, tr(d.caption), m_CurPaths[d.slot], tr(d.filter));
    // A run may have begun while the file dialog was open; its image must not change under it.
    if (m_pSdrInterface->RunActive())
        return;
    if (!chosen.isEmpty())
        m_CurPaths[d.slot] = chosen;
    ShowFileResult(item, ReadItem(item) == CFirmwareImage::ReadOk);
    // The reader just reloaded the image object; validating the selected item again keeps the
    // image and the file valid flag describing the item that Start would program.
    OnButtonGroup(m_Paths.progItem);
}

int CUpdateDlg::ReadItem(int item)
{
    return m_pSession->ReadItem(m_CurPaths[Items[item].slot], item);
}

void CUpdateDlg::ShowFileResult(int item, bool ok)
{
    (m_pUi->*Items[item].fileLabel)->setText(ok ? QFileInfo(m_CurPaths[Items[item].slot]).fileName()
                                                : tr("Invalid file"));
}

void CUpdateDlg::UpdateLocks()
{
    const bool busy = m_pSdrInterface->RunActive();
    for (const ItemDesc& d : Items) {
        (m_pUi->*d.radio)->setEnabled(!busy);
        (m_pUi->*d.browse)->setEnabled(!busy);
    }
    QPushButton* close = m_pUi->buttonBox->button(QDialogButtonBox::Close);
    close->setEnabled(!busy);
    // A disabled button shows its tooltip: the reason Close does nothing, without a message box.
    close->setToolTip(busy ? tr("A firmware run is in progress") : QString());
}
