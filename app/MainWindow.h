#pragma once

#include "ImagePathSet.h"

#include <QMainWindow>

class CDiscoveryCycle;
class QListWidgetItem;
class QUdpSocket;

namespace Ui {
class MainWindow;
}

/// The finder's only window: broadcasts discovery requests, lists the receivers that answer,
/// and carries a double-clicked receiver through its settings dialog and back as a Set datagram.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    /// Builds the form, loads the persisted settings and sends the first discovery at once.
    explicit MainWindow(QWidget* parent = nullptr);
    /// Stores the persisted settings and closes the socket.
    ~MainWindow() override;

    /// The executable's file name without any ".exe", in any case of letters.
    static QString AppNameFromPath(const QString& executablePath);

private slots:
    void OnFind();
    void OnListDoubleClick(QListWidgetItem* item);
    void ReadUDPMessages();
    void SendDiscoverRequest();
    void CloseUdp();

private:
    void AddListEntry(int index, bool inUse);
    void ReadSettings();
    void WriteSettings();
    void ClearList();

    Ui::MainWindow* ui;
    QString m_AppName;                   ///< window title prefix and settings application name
    QUdpSocket* m_pUdpSocket = nullptr;
    ImagePathSet m_Paths;
    CDiscoveryCycle* m_pCycle = nullptr;  ///< the open flag and the header and record of each list row; works through m_pUdpSocket
};
