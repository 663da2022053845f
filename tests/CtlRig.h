#pragma once

#include "Fixtures.h"
#include "FirmwareImage.h"
#include "QuillSim.h"
#include "SimControl.h"

#include <QtTest>
#include <algorithm>
#include <functional>
#include <memory>

/// The real quillctl against emulated receivers in the private network, for tst_quillctl and tst_fleet.
class CtlRig {
protected:
    /// Before each test: a fresh emulator, and an empty update record in the test's folder.
    void startRig()
    {
        qRegisterMetaType<QProcess::ExitStatus>();
        m_Sim.reset(new QuillSim);
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_Dir.filePath("state")));
        QFile::remove(m_Record);
    }

    /// Runs quillctl in the test's folder to its end, `meanwhile` once it has started; returns its exit
    /// code, stdout in m_Out and stderr in m_Err.
    int run(const QStringList& args, const std::function<void(QProcess&)>& meanwhile = {})
    {
        QProcess p;
        QSignalSpy done(&p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        p.setWorkingDirectory(m_Dir.path());
        p.start(QStringLiteral(QUILLCTL_PATH), args);
        if (meanwhile && p.waitForStarted())
            meanwhile(p);
        const bool ended = done.wait(120000);
        if (!ended)
            p.kill();
        m_Out = p.readAllStandardOutput();
        m_Err = p.readAllStandardError();
        return ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    void addReceiver(const QString& model, const QString& serial, int host, QJsonObject extra = {})
    {
        extra.insert("model", model);
        extra.insert("serial", serial);
        extra.insert("address", QStringLiteral("198.18.0.%1").arg(host));
        if (!extra.contains("tcpPort"))
            extra.insert("tcpPort", 0);
        QString error;
        const SimReceiver r = SimReceiver::fromJson(extra, &error);
        QVERIFY2(!r.record.isEmpty(), qPrintable(error));
        m_Sim->addReceiver(r);
    }

    /// What a receiver's application flash holds from 0x4000 on after a run of `file`, as the reader checks it.
    static QByteArray checkedApp(const QString& file, quint32 productId, int bank = 0)
    {
        CFirmwareImage image;
        return image.ReadAppFile(file, productId, bank) ? QByteArray()
            : QByteArray(reinterpret_cast<const char*>(image.Buffer()) + 0x4000, int(image.m_MaxFileAdr) + 1 - 0x4000);
    }

    /// An application image for a Quillrad's app0, `size` bytes from 0x4000, written into the test's folder; its path.
    QString appFile(const QString& name = "app.bin", int size = 20000) const
    {
        const QString path = m_Dir.filePath(name);
        return Fixtures::writeFile(path, Fixtures::appImage(size, Fixtures::Qusd, 0)) ? path : QString();
    }

    int setsOnWire() const
    {
        const QVector<QByteArray>& got = m_Sim->received();
        return int(std::count_if(got.begin(), got.end(), [](const QByteArray& d) { return d.size() > 4 && d[4] == 2; }));
    }
    void startSim()
    {
        QString error;
        QVERIFY2(m_Sim->start(&error), qPrintable(error));
    }
    QJsonObject fields(int i) const { return SimRecord::fields(m_Sim->receiver(i).record); }
    QByteArray record() const
    {
        QFile f(m_Record);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    /// Every line of the update record; one that is no JSON object reads as an empty object.
    QList<QJsonObject> recordLines() const
    {
        QList<QJsonObject> lines;
        for (const QByteArray& line : record().split('\n'))
            if (!line.isEmpty())
                lines << QJsonDocument::fromJson(line).object();
        return lines;
    }

    std::unique_ptr<QuillSim> m_Sim;
    QTemporaryDir m_Dir;
    const QString m_Record = m_Dir.filePath("state/quillfinder/updates.jsonl");
    QByteArray m_Out, m_Err;
};
