#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "DiscoveryCycle.h"
#include "EditQuillDlg.h"
#include "Timing.h"
#include "Version.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QSettings>
#include <QTimer>
#include <QUdpSocket>

#include <cstring>

namespace {
const char kOrganisation[] = "Pellisar";
} // namespace

QString MainWindow::AppNameFromPath(const QString& executablePath)
{
    return QFileInfo(executablePath).fileName().remove(QStringLiteral(".exe"), Qt::CaseInsensitive);
}

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    connect(ui->pushButtonFind, &QPushButton::clicked, this, &MainWindow::OnFind);
    connect(ui->listWidget, &QListWidget::itemDoubleClicked, this, &MainWindow::OnListDoubleClick);
    ClearList();

    m_AppName = AppNameFromPath(QCoreApplication::applicationFilePath());
    setWindowTitle(m_AppName + QLatin1String(" Ver " QF_VERSION));

    ReadSettings();

    m_pUdpSocket = new QUdpSocket(this);
    connect(m_pUdpSocket, &QUdpSocket::readyRead, this, &MainWindow::ReadUDPMessages);
    m_pCycle = new CDiscoveryCycle(m_pUdpSocket, Disc::MaxRows, this);

    ClearList();
    // The first discovery goes out at once; only Find waits.
    SendDiscoverRequest();
}

MainWindow::~MainWindow()
{
    WriteSettings();
    if (m_pCycle->IsOpen())
        m_pUdpSocket->close();
    delete m_pCycle;
    delete m_pUdpSocket;
    delete ui;
}

void MainWindow::ClearList()
{
    ui->listWidget->clear();
    // The constructor clears the list once before the cycle exists.
    if (m_pCycle)
        m_pCycle->Clear();
}

void MainWindow::OnFind()
{
    ClearList();
    QTimer::singleShot(Timing::FindToRequestMs, this, &MainWindow::SendDiscoverRequest);
}

void MainWindow::SendDiscoverRequest()
{
    m_pCycle->SendRequests();
    QTimer::singleShot(Timing::RequestToCloseMs, this, &MainWindow::CloseUdp);
}

void MainWindow::CloseUdp()
{
    m_pCycle->Close();
}

void MainWindow::ReadUDPMessages()
{
    qDebug() << "ReadUDPMessages" << m_pCycle->PendingSize();
    m_pCycle->ReadPending([this](const Disc::ReplyTable::Outcome& out) {
        if (out.removedRow >= 0)
            delete ui->listWidget->takeItem(out.removedRow);
        if (out.row >= 0)
            AddListEntry(out.row, out.inUse);
    });
}

void MainWindow::AddListEntry(int index, bool inUse)
{
    const quint8* h = m_pCycle->Header(index);
    // One substitution pass: a receiver's own text containing "%1" must not be filled in again.
    QString row = QStringLiteral("%1   SN=%2   IP=%3   Port=%4")
                      .arg(Disc::text(h, Disc::ModelName), Disc::text(h, Disc::SerialNum),
                           Disc::addressText(h, Disc::OffIPAdr), QString::number(Disc::u16(h, Disc::OffTcpPort)));
    if (inUse)
        row.prepend(QLatin1String("(In Use) "));
    ui->listWidget->addItem(row);
}

void MainWindow::OnListDoubleClick(QListWidgetItem* /*item*/)
{
    // The current row, not the item: both name the same row, and the row indexes the tables.
    const int row = ui->listWidget->currentRow();
    if (row < 0 || row >= m_pCycle->Rows() || !Disc::isKnownModel(m_pCycle->Header(row)))
        return;

    CEditQuillDlg dlg(this);
    std::memcpy(dlg.m_Record, m_pCycle->Record(row), Disc::RecordSize);
    dlg.m_Paths = m_Paths;
    dlg.FillForm();
    if (dlg.exec() != QDialog::Accepted)
        return;
    m_Paths = dlg.m_Paths;
    if (!dlg.m_Changed)
        return;

    ClearList();
    quint8* rec = m_pCycle->Record(row);
    std::memcpy(rec, dlg.m_Record, Disc::RecordSize);
    m_pCycle->SendSet(rec);
}

void MainWindow::ReadSettings()
{
    QSettings settings(QLatin1String(kOrganisation), m_AppName);
    settings.beginGroup(QStringLiteral("MainWindow"));
    const QByteArray state = settings.value(QStringLiteral("state"), QByteArray()).toByteArray();
    const QByteArray geometry = settings.value(QStringLiteral("geometry"), QByteArray()).toByteArray();
    restoreState(state, 0);
    restoreGeometry(geometry);
    const bool minimised = settings.value(QStringLiteral("minstate"), false).toBool();
    settings.endGroup();

    settings.beginGroup(QStringLiteral("Paths"));
    m_Paths.progItem = settings.value(QStringLiteral("ProgItem"), 0).toInt();
    const QString dir = QCoreApplication::applicationDirPath();
    for (int i = 0; i < ImagePathSet::Count; ++i) {
        const QString def = dir + QLatin1Char('/') + QLatin1String(ImagePathSet::modelOf(i).pathFolder) + QLatin1Char('/');
        m_Paths.paths[i] = settings.value(ImagePathSet::key(i), def).toString();
    }
    settings.endGroup();

    if (minimised)
        setWindowState(windowState() | Qt::WindowMinimized);
}

void MainWindow::WriteSettings()
{
    QSettings settings(QLatin1String(kOrganisation), m_AppName);
    settings.beginGroup(QStringLiteral("MainWindow"));
    settings.setValue(QStringLiteral("state"), saveState(0));
    settings.setValue(QStringLiteral("geometry"), saveGeometry());
    settings.setValue(QStringLiteral("minstate"), isMinimized());
    settings.endGroup();

    settings.beginGroup(QStringLiteral("Paths"));
    settings.setValue(QStringLiteral("ProgItem"), m_Paths.progItem);
    for (int i = 0; i < ImagePathSet::Count; ++i)
        settings.setValue(ImagePathSet::key(i), m_Paths.paths[i]);
    settings.endGroup();
}
