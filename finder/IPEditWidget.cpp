#include "IPEditWidget.h"

#include "ui_FrameIPdit.h"

#include <QIntValidator>
#include <QLocale>

CIPEditWidget::CIPEditWidget(QWidget* parent)
    : QFrame(parent, Qt::WindowFlags())
    , m_pUi(new Ui::FrameIPdit)
{
    m_pUi->setupUi(this);
    m_pValidator = new QIntValidator(0, 255, this);
    // Plain digits only, whatever the desktop's locale: the read-back takes decimal digits.
    QLocale plain = QLocale::c();
    plain.setNumberOptions(QLocale::RejectGroupSeparator);
    m_pValidator->setLocale(plain);
    for (QLineEdit* field : {m_pUi->lineEdit_B3, m_pUi->lineEdit_B2, m_pUi->lineEdit_B1, m_pUi->lineEdit_B0})
        field->setValidator(m_pValidator);
}

CIPEditWidget::~CIPEditWidget()
{
    delete m_pUi;
}

void CIPEditWidget::SetAddress(quint8 b3, quint8 b2, quint8 b1, quint8 b0)
{
    m_B3 = b3;
    m_B2 = b2;
    m_B1 = b1;
    m_B0 = b0;
    m_IPAdr = (quint32(b3) << 24) | (quint32(b2) << 16) | (quint32(b1) << 8) | b0;
    // setText() also clears each field's modified state, so only later typing counts as an edit.
    m_pUi->lineEdit_B3->setText(QString::number(b3));
    m_pUi->lineEdit_B2->setText(QString::number(b2));
    m_pUi->lineEdit_B1->setText(QString::number(b1));
    m_pUi->lineEdit_B0->setText(QString::number(b0));
}

void CIPEditWidget::SetAddress(quint32 adr)
{
    SetAddress(quint8(adr >> 24), quint8(adr >> 16), quint8(adr >> 8), quint8(adr));
}

bool CIPEditWidget::GetAddress(quint8* b3, quint8* b2, quint8* b1, quint8* b0)
{
    const struct {
        QLineEdit* field;
        quint8* octet;
    } fields[] = {{m_pUi->lineEdit_B3, &m_B3}, {m_pUi->lineEdit_B2, &m_B2}, {m_pUi->lineEdit_B1, &m_B1},
                  {m_pUi->lineEdit_B0, &m_B0}};
    for (const auto& f : fields) {
        if (!f.field->isModified())
            continue;
        // An emptied or half-typed field keeps the old octet rather than turning into 0.
        QString text = f.field->text();
        int pos = 0;
        if (m_pValidator->validate(text, pos) != QValidator::Acceptable)
            continue;
        m_Modified = true;
        *f.octet = quint8(text.toUInt());
    }
    m_IPAdr = (quint32(m_B3) << 24) | (quint32(m_B2) << 16) | (quint32(m_B1) << 8) | m_B0;
    *b3 = m_B3;
    *b2 = m_B2;
    *b1 = m_B1;
    *b0 = m_B0;
    return m_Modified;
}
