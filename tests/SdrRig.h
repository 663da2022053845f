#pragma once

#include "Fixtures.h"
#include "ProgItem.h"
#include "SimControl.h"

#include <QtTest>

/// The statuses a spy recorded, in order.
inline QList<int> ints(const QSignalSpy& spy)
{
    QList<int> out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toInt();
    return out;
}

/// The message type (the header's top three bits) of each message in `got`.
inline QList<int> types(const QList<QByteArray>& got)
{
    QList<int> out;
    for (const QByteArray& m : got)
        out << (quint8(m.at(1)) >> 5);
    return out;
}

/// A CSdrInterface wired to an emulated receiver over real sockets in the test's private network,
/// with an image and spies on the client's status and progress.
struct SdrRig {
    static inline const QHostAddress Device{QStringLiteral("198.18.0.7")};

    explicit SdrRig(const SimControlConfig& cfg) : sim(cfg) {}
    /// Serves the receiver and waits until the client is idle and the receiver has its first status poll.
    bool start()
    {
        if (!sim.listen(Device, 0))
            return false;
        sdr.m_IPAdr = Device;
        sdr.m_Port = sim.serverPort();
        return QTest::qWaitFor([&] { return ints(status).contains(SDR_CONNECTED_IDLE); }, 8000)
            && QTest::qWaitFor([&] { return sim.received().contains(QByteArray::fromHex("04200500")); }, 2000)
            && sdr.Status() == SDR_CONNECTED_IDLE;
    }
    /// Writes `content` and reads it as application `item` (0 or 1) or configuration `item` - 1 (2 to 5).
    int load(const QString& path, const QByteArray& content, int item)
    {
        return Fixtures::writeFile(path, content) ? ProgItem::read(image, ImageFile::load(path), Fixtures::Qusd, item) : -1;
    }
    /// Starts programming `item` with fresh records of the status and of what the receiver gets.
    void program(int item)
    {
        status.clear();
        sim.clearReceived();
        ProgItem::start(sdr, item);
    }
    SimControl sim;
    CFirmwareImage image;
    CSdrInterface sdr{nullptr, &image};
    QSignalSpy status{&sdr, &CSdrInterface::NewSdrStatus};
    QSignalSpy percent{&sdr, &CSdrInterface::PercentComplete};
};
