#include "UpdateRecord.h"

#include "DiscoveryDatagram.h"
#include "ProgItem.h"
#include "RecordFields.h"
#include "UpdateSession.h"
#include "Version.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QSysInfo>
#include <QTimer>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace UpdateRecord {

namespace {

QtMsgType g_ProblemLevel = QtDebugMsg;

void tell(const QString& file, const QString& why)
{
    const QString text = QStringLiteral("Update record %1 not written: %2").arg(file, why);
    if (g_ProblemLevel == QtDebugMsg)
        qDebug("%s", qPrintable(text));
    else
        qWarning("%s", qPrintable(text));
}

QString now() { return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs); }

QString userName()
{
    if (const passwd* pw = ::getpwuid(::getuid()))
        return QString::fromLocal8Bit(pw->pw_name);
    return qEnvironmentVariable("USER");
}

/// What every line that opens an event says of its writer, beside `event`.
QJsonObject opening(const QString& event)
{
    return {{QStringLiteral("event"), event},
            {QStringLiteral("time"), now()},
            {QStringLiteral("program"), QCoreApplication::applicationName()},
            {QStringLiteral("version"), QStringLiteral(QF_VERSION)},
            {QStringLiteral("host"), QSysInfo::machineHostName()},
            {QStringLiteral("user"), userName()}};
}

/// Of the receiver's settings only what names it: never passwords or free text.
QJsonObject receiver(const quint8* r)
{
    return {{QStringLiteral("model"), Disc::text(r, Disc::ModelName)},
            {QStringLiteral("serial"), Disc::text(r, Disc::SerialNum)},
            {QStringLiteral("mac"), Disc::macText(r)},
            {QStringLiteral("address"), Disc::addressText(r, Disc::OffIPAdr)},
            {QStringLiteral("port"), int(Disc::u16(r, Disc::OffTcpPort))}};
}

QJsonObject versions(const SdrVersions& v)
{
    QJsonObject o;
    for (const VersionName& n : SdrVersions::Names)
        o.insert(QLatin1String(n.name), v.Text(n));
    return o;
}

// Locks, appends and unlocks `bytes`; an empty string, or why it failed.
QString writeLocked(int fd, QByteArray bytes)
{
    int locked;
    while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    // A line cut short by a crash gets its line end first, so that this line stays whole and readable.
    struct stat st;
    char last = '\n';
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        bytes.prepend('\n');
    // One write on an O_APPEND file under the lock: no other writer's bytes land inside the line.
    const ssize_t n = ::write(fd, bytes.constData(), size_t(bytes.size()));
    const int writeErrno = errno;
    ::flock(fd, LOCK_UN);
    if (n == bytes.size())
        return QString();
    return n < 0 ? QString::fromLocal8Bit(std::strerror(writeErrno))
                 : QStringLiteral("only %1 of %2 bytes written").arg(n).arg(bytes.size());
}

} // namespace

QString path()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // The XDG base directory rules ignore a relative path as they ignore an empty one.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/quillfinder/updates.jsonl");
}

void setProblemLevel(QtMsgType level) { g_ProblemLevel = level; }

bool append(const QJsonObject& line, const QString& file)
{
    const QString dir = QFileInfo(file).absolutePath();
    // The folder holds hosts, users and paths: only its owner reads it.
    QDir().mkpath(QFileInfo(dir).absolutePath());
    if (::mkdir(QFile::encodeName(dir).constData(), 0700) != 0 && errno != EEXIST) {
        tell(file, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        tell(file, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const QString problem = writeLocked(fd, QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    ::close(fd);
    if (!problem.isEmpty())
        tell(file, problem);
    return problem.isEmpty();
}

bool appendSettings(const quint8* before, const quint8* after, const QString& file)
{
    QJsonObject changes;
    for (const RecordFields::Field& f : RecordFields::all())
        if (f.editable && !RecordFields::same(f, before, after))
            changes.insert(QLatin1String(f.name), QJsonObject{{QStringLiteral("before"), RecordFields::json(f, before)},
                                                              {QStringLiteral("after"), RecordFields::json(f, after)}});
    QJsonObject line = opening(QStringLiteral("settings"));
    line.insert(QStringLiteral("receiver"), receiver(before));
    line.insert(QStringLiteral("changes"), changes);
    return append(line, file);
}

QJsonObject Run::merged() const
{
    QJsonObject o = start;
    o.remove(QStringLiteral("event"));
    const bool ended = !end.isEmpty();
    o.insert(QStringLiteral("endTime"), ended ? end.value(QStringLiteral("time")) : QJsonValue());
    o.insert(QStringLiteral("result"), ended ? end.value(QStringLiteral("result")) : QLatin1String(RunResultName(RUN_INTERRUPTED)));
    for (const char* key : {"reason", "bytesSent", "durationMs", "versionsAfter"})
        o.insert(QLatin1String(key), ended ? end.value(QLatin1String(key)) : QJsonValue());
    if (!ended)
        o.insert(QStringLiteral("reason"), RunResultText(RUN_INTERRUPTED));
    return o;
}

Listing read(const QString& file)
{
    QFile f(file);
    if (!f.exists())
        return {};
    if (!f.open(QIODevice::ReadOnly)) {
        Listing l;
        l.error = QStringLiteral("%1: %2").arg(file, f.errorString());
        return l;
    }
    return read(f, file);
}

Listing read(QIODevice& device, const QString& name)
{
    Listing l;
    QHash<QString, int> byId;  ///< run id -> index in l.runs
    // Room for a line at the bound, its line end and readLine()'s terminating zero; a longer line
    // comes in pieces of this size, each dropped, so that a planted line never sits whole in memory.
    QByteArray buffer(MaxLineBytes + 2, Qt::Uninitialized);
    for (int number = 1; !device.atEnd(); ++number) {
        qint64 n = device.readLine(buffer.data(), buffer.size());
        if (n < 0) {
            l.error = QStringLiteral("%1: %2").arg(name, device.errorString());
            break;
        }
        if (n > MaxLineBytes && buffer[int(n - 1)] != '\n') {
            while (n > 0 && buffer[int(n - 1)] != '\n')
                n = device.readLine(buffer.data(), buffer.size());
            l.skipped << QStringLiteral("%1 line %2: longer than %3 bytes; skipped").arg(name).arg(number).arg(MaxLineBytes);
            continue;
        }
        const QByteArray text = QByteArray::fromRawData(buffer.constData(), int(n));
        if (text.trimmed().isEmpty())
            continue;
        QJsonParseError e;
        const QJsonObject o = QJsonDocument::fromJson(text, &e).object();
        const QString id = o.value(QStringLiteral("run")).toString();
        const QString event = o.value(QStringLiteral("event")).toString();
        const int at = byId.value(id, -1);
        if (e.error == QJsonParseError::NoError && event == QLatin1String("settings")
            && o.value(QStringLiteral("changes")).isObject()) {
            l.settings.append({o, number});
        } else if (e.error != QJsonParseError::NoError || id.isEmpty()
            || (event != QLatin1String("start") && event != QLatin1String("end"))) {
            l.skipped << QStringLiteral("%1 line %2: damaged or truncated; skipped").arg(name).arg(number);
        } else if (event == QLatin1String("start") ? at >= 0 : at < 0 || !l.runs[at].end.isEmpty()) {
            l.skipped << QStringLiteral("%1 line %2: a %3 line out of place; skipped").arg(name).arg(number).arg(event);
        } else if (event == QLatin1String("start")) {
            byId.insert(id, l.runs.size());
            l.runs.append({o, {}, number});
        } else {
            l.runs[at].end = o;
        }
    }
    return l;
}

} // namespace UpdateRecord

CUpdateRecorder::CUpdateRecorder(CUpdateSession* session, CSdrInterface* sdr)
    : QObject(session)
    , m_pSession(session)
    , m_pSdr(sdr)
{
    m_pAfterWait = new QTimer(this);
    m_pAfterWait->setSingleShot(true);
    connect(m_pAfterWait, &QTimer::timeout, this, [this] { WriteEnd(QJsonValue()); });
    connect(session, &CUpdateSession::RunStarted, this, &CUpdateRecorder::OnRunStarted);
    connect(session, &CUpdateSession::RunEnded, this, &CUpdateRecorder::OnRunEnded);
    connect(sdr, &CSdrInterface::NewSdrStatus, this, &CUpdateRecorder::OnStatus);
}

CUpdateRecorder::~CUpdateRecorder()
{
    Finish();
}

qint64 CUpdateRecorder::Sent() const
{
    return m_pSdr ? qint64(m_pSdr->NextPosition()) - m_FirstPosition : -1;
}

void CUpdateRecorder::SetRelease(const QString& release, const QString& expectedVersion)
{
    m_Release = {{QStringLiteral("release"), release}, {QStringLiteral("expectedVersion"), expectedVersion}};
}

void CUpdateRecorder::OnRunStarted(int item)
{
    Finish();
    m_RunId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_Running = true;
    m_Clock.start();
    m_FirstPosition = m_pSdr->NextPosition();
    const FileFacts& f = m_pSession->File();
    const QJsonValue file = f.path.isEmpty() ? QJsonValue()
                                             : QJsonObject{{QStringLiteral("path"), f.path},
                                                           {QStringLiteral("size"), double(f.size)},
                                                           {QStringLiteral("sha256"), f.sha256}};
    QJsonObject line = UpdateRecord::opening(QStringLiteral("start"));
    line.insert(QStringLiteral("run"), m_RunId);
    line.insert(QStringLiteral("receiver"), UpdateRecord::receiver(m_pSession->Discovered()));
    line.insert(QStringLiteral("item"), ProgItem::name(item));
    line.insert(QStringLiteral("file"), file);
    line.insert(QStringLiteral("versionsBefore"), UpdateRecord::versions(m_pSession->VersionsBefore()));
    for (auto it = m_Release.begin(); it != m_Release.end(); ++it)
        line.insert(it.key(), it.value());
    UpdateRecord::append(line);
}

void CUpdateRecorder::OnRunEnded(eRunResult result, const QString& reason)
{
    if (!m_Running)
        return;
    m_Running = false;
    SetEnd(QLatin1String(RunResultName(result)), reason);
    // A done run is followed by a reconnection that reads the new versions; they complete its end.
    if (result == RUN_DONE)
        m_pAfterWait->start(UpdateRecord::AfterVersionsWaitMs);
    else
        WriteEnd(QJsonValue());
}

void CUpdateRecorder::OnStatus(eSdrStatus status)
{
    if (status == SDR_GOT_INFO && m_pAfterWait->isActive())
        WriteEnd(UpdateRecord::versions(m_pSdr->m_Versions));
}

void CUpdateRecorder::Finish()
{
    if (m_Running) {
        m_Running = false;
        SetEnd(QLatin1String(RunResultName(RUN_ABANDONED)), RunResultText(RUN_ABANDONED));
    }
    if (!m_End.isEmpty())
        WriteEnd(QJsonValue());
}

void CUpdateRecorder::SetEnd(const QString& result, const QString& reason)
{
    const qint64 sent = Sent();
    m_End = {{QStringLiteral("run"), m_RunId},
             {QStringLiteral("event"), QStringLiteral("end")},
             {QStringLiteral("time"), UpdateRecord::now()},
             {QStringLiteral("result"), result},
             {QStringLiteral("reason"), reason},
             {QStringLiteral("bytesSent"), sent < 0 ? QJsonValue() : QJsonValue(double(sent))},
             {QStringLiteral("durationMs"), double(m_Clock.elapsed())}};
    // Each line stands alone: a search for the release finds the end of its runs as well as the start.
    for (auto it = m_Release.begin(); it != m_Release.end(); ++it)
        m_End.insert(it.key(), it.value());
}

void CUpdateRecorder::WriteEnd(const QJsonValue& versionsAfter)
{
    m_pAfterWait->stop();
    m_End.insert(QStringLiteral("versionsAfter"), versionsAfter);
    UpdateRecord::append(m_End);
    m_End = QJsonObject();
    m_RunId.clear();
}
