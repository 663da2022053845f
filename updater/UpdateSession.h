#pragma once

#include "DiscoveryDatagram.h"
#include "ImageFile.h"
#include "SdrInterface.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

class CFirmwareImage;
struct ReceiverModel;

/// What a firmware run needs around the programming interface, for the update dialog and quillctl
/// alike: the receiver taken from its discovery record (model, product ID, address and control port,
/// the mode to go back to), the item's file read for that model, the checks before a start, the
/// versions before and after, and one moment each for "run started" and "run ended", which a front may
/// have the update record follow (CUpdateRecorder).
class CUpdateSession : public QObject {
    Q_OBJECT
public:
    /// Follows `sdr`, which programs from `image`; both stay the caller's and outlive the session.
    CUpdateSession(CSdrInterface* sdr, CFirmwareImage* image, QObject* parent);

    /// Takes the receiver's discovery record and points the interface at its address and control port.
    void SetReceiver(const quint8* record);
    /// The record as discovered, the mode to go back to included; all zeros before SetReceiver().
    const quint8* Discovered() const { return m_Record; }
    /// The receiver's model (a record of none is taken for the first model); nullptr before SetReceiver().
    const ReceiverModel* Model() const { return m_pModel; }
    /// The product ID that files are checked against: the model's.
    quint32 ProductId() const;
    /// True when the receiver is not in I/Q mode: it serves its control port only there, so a Set
    /// made with ToIqMode() goes out first.
    bool NeedsIqMode() const { return m_Record[Disc::OffOpMode] != Disc::OpModeIQ; }
    /// Switches `record` to I/Q mode and leaves every other byte.
    static void ToIqMode(quint8* record) { record[Disc::OffOpMode] = Disc::OpModeIQ; }

    /// Reads `path` once as programming item `item` for the receiver's model into the image; the
    /// reader's result.
    [[nodiscard]] int ReadItem(const QString& path, int item);
    /// Takes an image that already holds an item checked for the receiver's model, read from the
    /// bytes `file` names: a batch reads each model's image once and programs every receiver from it.
    void UseImage(const FileFacts& file) { m_File = file; }
    /// The bytes the image holds, as read last; an empty path when the last read failed.
    const FileFacts& File() const { return m_File; }
    /// Why the connected receiver should not get a file checked for its model (it reports another
    /// product ID), or an empty string. quillctl refuses such a receiver; the update dialog keeps the
    /// start rule people know it by.
    QString ReceiverProblem() const;
    /// Starts programming item `item` from the image; false when nothing went out
    /// (CSdrInterface::LastResult() says why).
    bool Start(int item);
    /// What the receiver reported before the run started.
    const SdrVersions& VersionsBefore() const { return m_Before; }

signals:
    /// A run of programming item `item` began: its start commands went out.
    void RunStarted(int item);
    /// The run ended: how, and why in words.
    void RunEnded(eRunResult result, const QString& reason);

private:
    void OnRunResult(eRunResult result);

    CSdrInterface* m_pSdr;
    CFirmwareImage* m_pImage;
    const ReceiverModel* m_pModel = nullptr;
    quint8 m_Record[Disc::RecordSize] = {};  ///< as discovered
    SdrVersions m_Before;
    FileFacts m_File;  ///< of the last read
    bool m_Running = false;
};
