#include "UpdateSession.h"

#include "ProgItem.h"
#include "ReceiverModel.h"

#include <cstring>

CUpdateSession::CUpdateSession(CSdrInterface* sdr, CFirmwareImage* image, QObject* parent)
    : QObject(parent)
    , m_pSdr(sdr)
    , m_pImage(image)
{
    connect(m_pSdr, &CSdrInterface::RunResult, this, &CUpdateSession::OnRunResult);
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
    // Hashed as the reader took it: a file saved over later does not rename what a run programs.
    const ImageFile file = ImageFile::load(path);
    const int result = ProgItem::read(*m_pImage, file, ProductId(), item);
    m_File = result == CFirmwareImage::ReadOk ? file.facts() : FileFacts();
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
