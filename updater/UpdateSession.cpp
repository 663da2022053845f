#include "UpdateSession.h"

#include "ProgItem.h"
#include "ReceiverModel.h"

#include <QDebug>
#include <QStringList>

#include <cstring>

const std::array<VersionName, 8> CUpdateSession::Versions = {{
    {"Boot Version", 0, true},
    {"HW Version", 2, true},
    {"App Firm 0", 4, true},
    {"App Firm 1", 5, true},
    {"Config 1", 7, false},
    {"Config 2", 8, false},
    {"Config 3", 9, false},
    {"Config 4", 10, false},
}};

QString CUpdateSession::VersionText(const SdrVersions& versions, const VersionName& which)
{
    const quint16 v = versions[which.id];
    return which.hundredths ? Disc::versionText(v) : QString::number(v);
}

QString CUpdateSession::VersionsLine(const SdrVersions& versions)
{
    QStringList parts;
    for (const VersionName& n : Versions)
        parts << QStringLiteral("%1 %2").arg(QLatin1String(n.name), VersionText(versions, n));
    return parts.join(QStringLiteral(", "));
}

CUpdateSession::CUpdateSession(CSdrInterface* sdr, CFirmwareImage* image, QObject* parent)
    : QObject(parent)
    , m_pSdr(sdr)
    , m_pImage(image)
{
    connect(m_pSdr, &CSdrInterface::RunResult, this, &CUpdateSession::OnRunResult);
    // Every front that runs firmware through a session records its runs, with no code of its own.
    new CUpdateRecorder(this, m_pSdr);
}

void CUpdateSession::SetReceiver(const quint8* record)
{
    std::memcpy(m_Record, record, Disc::RecordSize);
    m_pModel = &Models::ofHeader(m_Record);
    m_pSdr->m_IPAdr = QHostAddress(Disc::u32(m_Record, Disc::OffIPAdr));
    m_pSdr->m_Port = Disc::u16(m_Record, Disc::OffTcpPort);
}

quint32 CUpdateSession::ProductId() const
{
    return m_pModel ? m_pModel->productId : 0;
}

int CUpdateSession::ReadItem(const QString& path, int item)
{
    const int result = ProgItem::read(*m_pImage, path, ProductId(), item);
    // Hashed as the reader took it: a file changed later does not rename what a run programs.
    m_File = result == CFirmwareImage::ReadOk ? UpdateRecord::fileFacts(path) : UpdateRecord::FileFacts();
    return result;
}

QString CUpdateSession::ReceiverProblem() const
{
    // The image was checked for the model the record names; the programming commands carry the
    // product ID the receiver reports. They must agree, or another model's image would go in.
    if (m_pSdr->m_ProductId != ProductId())
        return QStringLiteral("the receiver reports product ID 0x%1, not the 0x%2 of a %3")
            .arg(m_pSdr->m_ProductId, 0, 16).arg(ProductId(), 0, 16).arg(QLatin1String(m_pModel ? m_pModel->name : "?"));
    return QString();
}

bool CUpdateSession::Start(int item)
{
    m_Before = m_pSdr->m_Versions;
    ProgItem::start(*m_pSdr, item);
    if (!m_pSdr->RunActive())
        return false;
    m_Running = true;
    emit RunStarted(item);
    return true;
}

void CUpdateSession::OnRunResult(eRunResult result)
{
    // Refused starts are told by Start() itself; only a run that began ends.
    if (!m_Running)
        return;
    m_Running = false;
    emit RunEnded(result, RunResultText(result));
}
