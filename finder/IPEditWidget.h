#pragma once

#include <QFrame>

class QIntValidator;
class QLineEdit;

namespace Ui {
class FrameIPdit;
}

/// Four decimal octet fields that show and edit one IPv4 address and tell whether the user changed it.
class CIPEditWidget : public QFrame {
    Q_OBJECT
public:
    /// Builds the frame and its four octet fields, all limited to 0-255.
    explicit CIPEditWidget(QWidget* parent = nullptr);
    ~CIPEditWidget() override;

    /// Shows the address given octet by octet, first dotted octet first.
    void SetAddress(quint8 b3, quint8 b2, quint8 b1, quint8 b0);
    /// Shows the address given as one number whose most significant byte is the first dotted octet.
    void SetAddress(quint32 adr);
    /// Takes over the octets the user edited, writes all four (first dotted octet first) and returns the modified flag.
    bool GetAddress(quint8* b3, quint8* b2, quint8* b1, quint8* b0);

private:
    Ui::FrameIPdit* m_pUi;
    QIntValidator* m_pValidator;  ///< 0-255, shared by the four fields
    bool m_Modified = false;      ///< set once an edited octet was taken over; never cleared
    quint32 m_IPAdr = 0;          ///< the address as one number, first octet in the most significant byte
    quint8 m_B3 = 0;              ///< first octet of the dotted form
    quint8 m_B2 = 0;
    quint8 m_B1 = 0;
    quint8 m_B0 = 0;              ///< last octet of the dotted form
};
