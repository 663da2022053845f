#pragma once

#include "DiscoveryDatagram.h"
#include "ImagePathSet.h"

#include <QDialog>

class QValidator;
class CIPEditWidget;

namespace Ui {
class DialogQuillEdit;
}

/// Modal dialog that shows one receiver's discovery record and writes the user's edits back into it.
/// It has no Cancel: OK, Esc and the close box all apply the form.
class CEditQuillDlg : public QDialog {
    Q_OBJECT
public:
    /// Builds the form and turns Return/Enter into Tab application-wide while the dialog exists.
    explicit CEditQuillDlg(QWidget* parent = nullptr);
    ~CEditQuillDlg() override;

    /// Fills the form from m_Record; call once after copying the record in and before exec().
    void FillForm();
    /// Rewrites Return and Enter key events into Tab so that they move the focus instead of closing.
    bool eventFilter(QObject* watched, QEvent* event) override;

    quint8 m_Record[Disc::RecordSize] = {};  ///< record copy, written before FillForm(), read after exec()
    ImagePathSet m_Paths;                     ///< image path set copy
    bool m_Changed = false;                   ///< set by accept() when any record byte was changed

public slots:
    /// Writes the edited fields into m_Record, sets m_Changed when anything differs, then closes accepted.
    void accept() override;
    /// Same as accept(): the dialog has no way to discard edits.
    void reject() override;
    /// Opens the firmware/FPGA update dialog for this receiver.
    void OnFirmwareUpdate();

private:
    bool ReadAddress(CIPEditWidget* editor, int offset);

    Ui::DialogQuillEdit* m_pUi;
    QValidator* m_pPortValidator;  ///< plain digits, 0-65535, shared by the two port fields
    quint32 m_RFPortMin = 0;          ///< Hz, as loaded into the form
    quint32 m_RFPortMax = 0;          ///< Hz, as loaded into the form
};
