#include "EditQuillDlg.h"

#include "IPEditWidget.h"
#include "RecordFields.h"
#include "UpdateDlg.h"
#include "ui_DialogQuillEdit.h"

#include <QApplication>
#include <QDebug>
#include <QValidator>
#include <QKeyEvent>

#include <array>
#include <cstring>
#include <new>

namespace {

constexpr char StatusPageUrl[] = "http://status.quillnet.example/";

/// Plain digits up to 65535, empty for port 0. A keystroke or paste past 65535 is refused outright:
/// an intermediate "70000" would otherwise be kept and stored as its low 16 bits, moving the port.
class PortValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override
    {
        uint value = 0;
        for (const QChar c : input) {
            // Grouping and other scripts' digits would read as no number at all.
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return Invalid;
            value = value * 10 + uint(c.unicode() - '0');
            if (value > RecordFields::MaxPort)
                return Invalid;
        }
        return Acceptable;
    }
};

/// The nine text fields in the order in which they are filled and written back.
struct TextBinding {
    QLineEdit* edit;
    const RecordFields::Field& field;
};

std::array<TextBinding, 9> textBindings(const Ui::DialogQuillEdit* ui)
{
    using RecordFields::named;
    return {{{ui->lineEditSdrDesc, named("Quill-xx Description")},
             {ui->lineEditSdrDescUrl, named("Quill-xx Description URL")},
             {ui->lineEditSdrServerUrl, named("Optional Quill-xx Server URL")},
             {ui->lineEditListServerUrl, named("List Server Domain")},
             {ui->lineEditListServerActionPath, named("List Server Script Path")},
             {ui->lineEditRxPw, named("Receive Password")},
             {ui->lineEditTxPw, named("Transmit Password")},
             {ui->lineEditLat, named("Latitude")},
             {ui->lineEditLon, named("Longitude")}}};
}

/// The two combo boxes; an item's index is the byte it stands for.
struct ComboBinding {
    QComboBox* box;
    const RecordFields::Field& field;
};

std::array<ComboBinding, 2> comboBindings(const Ui::DialogQuillEdit* ui)
{
    return {{{ui->comboBoxAudioMonitor, RecordFields::named("Audio Monitor")},
             {ui->comboBoxExtRef, RecordFields::named("External Ref")}}};
}

/// Checks the button matching `value`; a value above 2 leaves all three unchecked.
void checkOneOf(quint8 value, QRadioButton* b0, QRadioButton* b1, QRadioButton* b2)
{
    b0->setChecked(value == 0);
    b1->setChecked(value == 1);
    b2->setChecked(value == 2);
}

/// Stores the checked button's index when it differs from the byte; true when the byte changed.
bool storeCheckedOf(quint8& value, const QRadioButton* b0, const QRadioButton* b1, const QRadioButton* b2)
{
    const QRadioButton* buttons[] = {b0, b1, b2};
    for (quint8 i = 0; i < 3; ++i) {
        if (buttons[i]->isChecked()) {
            if (value == i)
                return false;
            value = i;
            return true;
        }
    }
    return false;
}

/// Hz from the spin box's MHz, truncated toward zero. Formed in double precision, so 0.3 MHz gives 300000.
qint64 spinToHz(const QDoubleSpinBox* spin)
{
    return static_cast<qint64>(spin->value() * RecordFields::HzPerMHz);
}

} // namespace

CEditQuillDlg::CEditQuillDlg(QWidget* parent)
    : QDialog(parent, Qt::WindowFlags())
    , m_pUi(new Ui::DialogQuillEdit)
{
    m_pUi->setupUi(this);
    connect(m_pUi->buttonBox, &QDialogButtonBox::accepted, this, &CEditQuillDlg::accept);
    connect(m_pUi->buttonBox, &QDialogButtonBox::rejected, this, &CEditQuillDlg::reject);
    connect(m_pUi->pushButtonUpdate, &QPushButton::clicked, this, &CEditQuillDlg::OnFirmwareUpdate);
    // On the application object, so Return also moves the focus in the update dialog opened from here.
    qApp->installEventFilter(this);
    m_pPortValidator = new PortValidator(this);
    m_pUi->lineEdit_TCPPort->setValidator(m_pPortValidator);
    m_pUi->lineEdit_UDPPort->setValidator(m_pPortValidator);
    // The field table's limits govern, here as in quillctl; the form's are Designer's copy.
    for (const TextBinding& b : textBindings(m_pUi))
        b.edit->setMaxLength(b.field.maxChars());
    for (QDoubleSpinBox* spin : {m_pUi->SpinBoxRFPortMin, m_pUi->SpinBoxRFPortMax}) {
        spin->setDecimals(RecordFields::MHzDecimals);  // first: the range is rounded to the decimals
        spin->setRange(0, RecordFields::MaxMHz);
    }
    m_pUi->spinBoxTimeout->setRange(0, RecordFields::MaxMinutes);
}

CEditQuillDlg::~CEditQuillDlg()
{
    delete m_pPortValidator;
    delete m_pUi;
}

void CEditQuillDlg::FillForm()
{
    setWindowTitle(Disc::text(m_Record, Disc::ModelName) + QStringLiteral(" Setup"));

    if (!RecordFields::hasRfRange(m_Record)) {
        m_pUi->SpinBoxRFPortMin->hide();
        m_pUi->SpinBoxRFPortMax->hide();
        m_pUi->groupBox_PortRange->hide();
    } else {
        m_RFPortMin = Disc::u32(m_Record, Disc::OffRFPortMin);
        m_RFPortMax = Disc::u32(m_Record, Disc::OffRFPortMax);
        m_pUi->SpinBoxRFPortMin->setValue(m_RFPortMin / RecordFields::HzPerMHz);
        m_pUi->SpinBoxRFPortMax->setValue(m_RFPortMax / RecordFields::HzPerMHz);
    }

    m_pUi->labelDevice->setText(
        QStringLiteral("Device = %1   Serial Number = %2  MAC = %3")
            .arg(Disc::text(m_Record, Disc::ModelName), Disc::text(m_Record, Disc::SerialNum), Disc::macText(m_Record))
        + QStringLiteral("\nFirmware Version = %1  Boot Version = %2  HW Version = %3")
              .arg(Disc::versionText(Disc::u16(m_Record, Disc::OffFwVersion)),
                   Disc::versionText(Disc::u16(m_Record, Disc::OffBootVersion)),
                   Disc::versionText(Disc::u16(m_Record, Disc::OffHwVersion))));

    const auto showAddress = [this](CIPEditWidget* editor, int off) {
        editor->SetAddress(m_Record[off + 3], m_Record[off + 2], m_Record[off + 1], m_Record[off]);
    };
    showAddress(m_pUi->IPEditwidget_IP, Disc::OffIPAdr);
    m_pUi->lineEdit_TCPPort->setText(QString::number(Disc::u16(m_Record, Disc::OffTcpPort)));
    showAddress(m_pUi->IPEditwidget_IP_SM, Disc::OffSubnetMask);
    showAddress(m_pUi->IPEditwidget_IP_GW, Disc::OffGatewayAdr);
    showAddress(m_pUi->IPEditwidget_IP_UDP, Disc::OffAltUdpAdr);
    m_pUi->lineEdit_UDPPort->setText(QString::number(Disc::u16(m_Record, Disc::OffAltUdpPort)));

    const quint8 flags = m_Record[Disc::OffNetFlags];
    m_pUi->checkBox_UseDHCP->setChecked(flags & Disc::NetFlagDhcp);
    m_pUi->checkBox_UseAltUDP->setChecked(flags & Disc::NetFlagAltUdp);

    checkOneOf(m_Record[Disc::OffOpMode], m_pUi->radioButtonIQMode, m_pUi->radioButtonQuillMode,
               m_pUi->radioButtonAuxMode);
    checkOneOf(m_Record[Disc::OffUartMode], m_pUi->radioButtonUartNormal, m_pUi->radioButtonUartMonitor,
               m_pUi->radioButtonUartDebug);

    for (const ComboBinding& c : comboBindings(m_pUi)) {
        for (int i = 0; i < c.field.choiceCount; ++i)
            c.box->addItem(tr(c.field.choices[i]));
        c.box->setCurrentIndex(m_Record[c.field.offset]);
    }

    for (const TextBinding& b : textBindings(m_pUi))
        b.edit->setText(Disc::text(m_Record, b.field.textField()));

    m_pUi->spinBoxTimeout->setValue(m_Record[Disc::OffTimeout]);

    m_pUi->label_StatusLink->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(QLatin1String(StatusPageUrl)));
    m_pUi->label_StatusLink->setTextFormat(Qt::RichText);
    m_pUi->label_StatusLink->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse
                                                     | Qt::LinksAccessibleByKeyboard);
    m_pUi->label_StatusLink->setOpenExternalLinks(true);
}

bool CEditQuillDlg::ReadAddress(CIPEditWidget* editor, int offset)
{
    quint8* d = m_Record + offset;
    return editor->GetAddress(d + 3, d + 2, d + 1, d);
}

void CEditQuillDlg::accept()
{
    m_Changed = false;

    // Every read-back runs; none may be skipped once a change is known.
    if (ReadAddress(m_pUi->IPEditwidget_IP, Disc::OffIPAdr))
        m_Changed = true;
    if (ReadAddress(m_pUi->IPEditwidget_IP_SM, Disc::OffSubnetMask))
        m_Changed = true;
    if (ReadAddress(m_pUi->IPEditwidget_IP_GW, Disc::OffGatewayAdr))
        m_Changed = true;
    if (ReadAddress(m_pUi->IPEditwidget_IP_UDP, Disc::OffAltUdpAdr))
        m_Changed = true;

    // Only typing counts: an emptied field is port 0, which the receiver then gets.
    if (m_pUi->lineEdit_TCPPort->isModified()) {
        m_Changed = true;
        Disc::setU16(m_Record, Disc::OffTcpPort, quint16(m_pUi->lineEdit_TCPPort->text().toUInt()));
    }
    if (m_pUi->lineEdit_UDPPort->isModified()) {
        m_Changed = true;
        Disc::setU16(m_Record, Disc::OffAltUdpPort, quint16(m_pUi->lineEdit_UDPPort->text().toUInt()));
    }

    quint8& flags = m_Record[Disc::OffNetFlags];
    const struct {
        const QCheckBox* box;
        quint8 bit;
    } flagBoxes[] = {{m_pUi->checkBox_UseDHCP, Disc::NetFlagDhcp}, {m_pUi->checkBox_UseAltUDP, Disc::NetFlagAltUdp}};
    for (const auto& f : flagBoxes) {
        const bool set = flags & f.bit;
        if (f.box->isChecked() != set) {
            flags ^= f.bit;
            m_Changed = true;
        }
    }

    if (storeCheckedOf(m_Record[Disc::OffOpMode], m_pUi->radioButtonIQMode, m_pUi->radioButtonQuillMode,
                       m_pUi->radioButtonAuxMode))
        m_Changed = true;
    if (storeCheckedOf(m_Record[Disc::OffUartMode], m_pUi->radioButtonUartNormal, m_pUi->radioButtonUartMonitor,
                       m_pUi->radioButtonUartDebug))
        m_Changed = true;

    // Retyping the old text still counts: the receiver gets exactly what the user confirmed.
    for (const TextBinding& b : textBindings(m_pUi)) {
        if (b.edit->isModified()) {
            m_Changed = true;
            Disc::setText(m_Record, b.field.textField(), b.edit->text());
        }
    }

    if (m_pUi->spinBoxTimeout->value() != m_Record[Disc::OffTimeout]) {
        m_Record[Disc::OffTimeout] = quint8(m_pUi->spinBoxTimeout->value());
        m_Changed = true;
    }

    // Compared with what was loaded, not with the shown value: values finer than 1 kHz or above 56 MHz
    // cannot survive the spin box and come back as a change.
    if (RecordFields::hasRfRange(m_Record)) {
        const qint64 minHz = spinToHz(m_pUi->SpinBoxRFPortMin);
        if (minHz != m_RFPortMin) {
            Disc::setU32(m_Record, Disc::OffRFPortMin, quint32(minHz));
            m_Changed = true;
        }
        const qint64 maxHz = spinToHz(m_pUi->SpinBoxRFPortMax);
        if (maxHz != m_RFPortMax) {
            Disc::setU32(m_Record, Disc::OffRFPortMax, quint32(maxHz));
            m_Changed = true;
        }
    }

    // An index with no item (-1) is stored as 0xFF, like any other differing index.
    for (const ComboBinding& c : comboBindings(m_pUi)) {
        if (c.box->currentIndex() != m_Record[c.field.offset]) {
            m_Record[c.field.offset] = quint8(c.box->currentIndex());
            m_Changed = true;
        }
    }

    QDialog::accept();
}

void CEditQuillDlg::reject()
{
    accept();
}

void CEditQuillDlg::OnFirmwareUpdate()
{
    CUpdateDlg dlg(nullptr);
    std::memcpy(dlg.m_Record, m_Record, Disc::RecordSize);
    dlg.m_Paths = m_Paths;
    dlg.Init();
    dlg.exec();
    qDebug("Exit exec");
    m_Paths = dlg.m_Paths;
    // Init() may have switched the receiver to I/Q mode; if the form still shows another mode,
    // accept() now sees the difference and its Set datagram switches the receiver back.
    m_Record[Disc::OffOpMode] = Disc::OpModeIQ;
}

bool CEditQuillDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            // Rewritten in place: every later receiver, the dialog's default button included, sees a Tab.
            // Rebuilt rather than assigned, since Qt 6 events cannot be assigned.
            const QEvent::Type type = key->type();
            const bool autoRepeat = key->isAutoRepeat();
            const auto count = ushort(key->count());
            key->~QKeyEvent();
            new (key) QKeyEvent(type, Qt::Key_Tab, Qt::NoModifier, QString(), autoRepeat, count);
        }
    }
    return QDialog::eventFilter(watched, event);
}
