#pragma once

#include "DiscoveryDatagram.h"
#include "FirmwareImage.h"
#include "ImagePathSet.h"
#include "ProgItem.h"
#include "SdrInterface.h"
#include "UpdateSession.h"

#include <QDialog>
#include <QString>

#include <array>

class CSetSender;
class QUdpSocket;

namespace Ui {
class CUpdateDlg;
}

/// Modal dialog that updates one receiver's two application images and four FPGA configurations.
/// It presents what its CSdrInterface signals and holds no protocol state of its own.
class CUpdateDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int ItemCount = ProgItem::Count;  ///< programming items: App0, App1, Config1..Config4

    /// Builds the form, the UDP socket and the device interface; the interface's first tick comes a second later.
    explicit CUpdateDlg(QWidget* parent);
    ~CUpdateDlg() override;

    /// Prepares the device interface and the form from m_Record and m_Paths, and switches the receiver to I/Q mode.
    void Init();
    /// Hands the current paths and the checked item back to m_Paths; refused while a run is under way.
    void done(int r) override;

    quint8 m_Record[Disc::RecordSize] = {};  ///< receiver's discovery record, written before Init(); not handed back
    ImagePathSet m_Paths;                     ///< image path set, written before Init(), read back after exec()

public slots:
    /// Closes the UDP socket opened for the I/Q-mode Set, if it is still open.
    void CloseUdp();
    /// Shows the device interface's status on the status line, the Start button and the version labels.
    void NewSdrStatusSlot(eSdrStatus status);
    /// Chooses the file of FPGA configuration 1.
    void OnBrowseConfig1();
    /// Chooses the file of FPGA configuration 2.
    void OnBrowseConfig2();
    /// Chooses the file of FPGA configuration 3.
    void OnBrowseConfig3();
    /// Chooses the file of FPGA configuration 4.
    void OnBrowseConfig4();
    /// Chooses the file of application image 0.
    void OnBrowseApp0();
    /// Chooses the file of application image 1.
    void OnBrowseApp1();
    /// Selects programming item `item` (0 to 5) and validates its file.
    void OnButtonGroup(int item);
    /// Starts programming the selected item when its file is valid and the device is ready.
    void OnStartProgSlot();
    /// Takes no action: a running sequence always goes on to its end.
    void OnAbortSlot();
    /// Shows the share of the run sent so far.
    void OnPercentComplete(int percent);

private:
    /// Colours the Start button; Qt::gray is shown as lightGray.
    void SetProgButtonColor(Qt::GlobalColor colour);
    /// Fills the info line and the six version labels from the device interface.
    void ShowVersions();
    /// Shared body of the six browse slots.
    void Browse(int item);
    /// Runs item `item`'s reader on its current path; returns the reader's result.
    [[nodiscard]] int ReadItem(int item);
    /// Shows the result of a validation in the item's file label.
    void ShowFileResult(int item, bool ok);
    /// Locks what could replace the image or end the dialog while a run is under way.
    void UpdateLocks();

    Ui::CUpdateDlg* m_pUi = nullptr;
    eSdrStatus m_Status = SDR_NOT_CONNECTED;   ///< last status received from the device interface
    QUdpSocket* m_pUdpSocket = nullptr;        ///< child; only sends the I/Q-mode Set
    CSdrInterface* m_pSdrInterface = nullptr;  ///< owned; deleted by the destructor
    CFirmwareImage m_Image;                    ///< file of the item validated last; programmed by m_pSdrInterface
    CSetSender* m_pSetSender = nullptr;        ///< child; binds, sends and closes m_pUdpSocket
    CUpdateSession* m_pSession = nullptr;      ///< child; the receiver, its checks and the run's start and end
    bool m_FileValid = false;                  ///< the selected item's file passed its reader
    std::array<QString, ImagePathSet::PerModel> m_CurPaths;  ///< this model's paths, by ImagePathSet::ModelSlot
};
