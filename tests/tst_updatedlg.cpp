#include "EditQuillDlg.h"
#include "Fixtures.h"
#include "SimControl.h"
#include "TestLog.h"
#include "TestUi.h"
#include "UpdateDlg.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <cstring>

// The update dialog, driven as a person would, against an emulated receiver over real sockets in the
// private network.

using namespace Fixtures;

namespace {

const QByteArray kCfg02 = bitFile(designName(SimModels::Quillrad, 2, 8), 50000);
const QByteArray kCfg02v9 = bitFile(designName(SimModels::Quillrad, 2, 9), 50000);
const QHostAddress kDevice(QStringLiteral("198.18.0.5"));
const QHostAddress kNobody(QStringLiteral("198.18.0.9"));  ///< local address where nothing listens

const char* const kRadios[] = {"radioButtonApp0", "radioButtonApp1", "radioButtonConfig_01",
                               "radioButtonConfig_02", "radioButtonConfig_03", "radioButtonConfig_04"};
const char* const kBrowse[] = {"pushButtonBrowseApp0", "pushButtonBrowseApp1", "pushButtonBrowseConfig1",
                               "pushButtonBrowseConfig2", "pushButtonBrowseConfig3", "pushButtonBrowseConfig4"};
const char* const kFileLabels[] = {"labelAppFile0", "labelAppFile1", "labelConfigFile1",
                                   "labelConfigFile2", "labelConfigFile3", "labelConfigFile4"};
const char* const kVersionLabels[] = {"label_VerApp0", "label_VerApp1", "label_VerCfg1",
                                      "label_VerCfg2", "label_VerCfg3", "label_VerCfg4"};

QString colour(QObject& dlg)
{
    const QString sheet = child<QPushButton>(dlg, "pushButtonProgram")->styleSheet();
    return QRegularExpression("^QPushButton\\{\t\tbackground-color: (\\w+);").match(sheet).captured(1);
}

void open(CUpdateDlg& dlg, const QByteArray& rec, const ImagePathSet& paths)
{
    std::memcpy(dlg.m_Record, rec.constData(), size_t(rec.size()));
    dlg.m_Paths = paths;
    dlg.Init();
    dlg.show();
}

/// Presses item `item`'s "Browse.." and, in the file dialog, types `path` and Return, or presses Escape
/// for an empty `path`; returns the file dialog's "caption | filters".
QString pickFile(CUpdateDlg& dlg, int item, const QString& path)
{
    QString seen;
    whenModal<QFileDialog>([&](QFileDialog* fd) {
        seen = fd->windowTitle() + " | " + fd->nameFilters().join(", ");
        // Keys go in once the dialog has the focus: Qt 6 activates it later and clears text typed before.
        QLineEdit* edit = child<QLineEdit>(*fd, "fileNameEdit");
        QVERIFY(QTest::qWaitForWindowActive(fd));
        QTRY_VERIFY(edit->hasFocus());
        if (path.isEmpty())
            return QTest::keyClick(fd, Qt::Key_Escape);
        QTest::keyClicks(edit, path);
        QTest::keyClick(edit, Qt::Key_Return);
    });
    QTest::mouseClick(child<QPushButton>(dlg, kBrowse[item]), Qt::LeftButton);
    return seen;
}

} // namespace

struct ItemsRow {
    QByteArray model;
    int stored, select;  // ProgItem handed in; item clicked before browsing
    QString file;        // typed into the file dialog, relative to the test folder; empty: cancel
    QString label;       // file label after browsing
    QString fileDialog;  // caption | filters
    QString closeBy;     // "Close", "Esc" or "close box"
    int item;            // ProgItem handed back
};
Q_DECLARE_METATYPE(ItemsRow)

class tst_UpdateDlg : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_Dir.isValid());
        qputenv("XDG_STATE_HOME", QFile::encodeName(m_Dir.filePath("state")));
        for (int i = 0; i < 14; ++i)
            m_FirstUse.paths[i] = m_Dir.path() + (i < 7 ? "/Quillix/" : "/Quillrad/");
        m_FirstUse.paths[6] = m_Dir.filePath("Quillix/app2-iq.hex");
        m_FirstUse.paths[13] = m_Dir.filePath("Quillrad/app2-sdr.hex");
        QVERIFY(QDir(m_Dir.path()).mkpath("Quillix") && QDir(m_Dir.path()).mkpath("Quillrad"));
        QVERIFY(writeFile(m_Dir.filePath("Quillrad/app0.bin"), appImage(8192, Qusd, 0)));
        QVERIFY(writeFile(m_Dir.filePath("Quillrad/cfg02.bit"), kCfg02));
    }
    void init() { m_Log.start(); }
    void cleanup() { m_Log.stop(); }

    void iqModeSwitch_data()
    {
        QTest::addColumn<int>("opMode");
        QTest::addRow("I/Q mode: nothing") << 0;
        QTest::addRow("Quill mode") << 1;
        QTest::addRow("Aux mode") << 2;
    }

    void iqModeSwitch()
    {
        // The settings dialog opens the update dialog on copies and takes the paths and item back; a
        // receiver in another mode gets a Set to I/Q, and OK sends it back to the mode the form shows.
        QFETCH(int, opMode);
        const bool sent = opMode != 0;
        QUdpSocket receiver;
        QVERIFY(receiver.bind(QHostAddress::AnyIPv4, 48321, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
        const QByteArray rec = record("Quillrad", quint8(opMode), 862, kNobody, 9);
        CEditQuillDlg edit;
        std::memcpy(edit.m_Record, rec.constData(), size_t(rec.size()));
        edit.m_Paths = m_FirstUse;
        edit.m_Paths.progItem = 4;
        edit.FillForm();
        edit.show();
        whenModal<CUpdateDlg>([&](CUpdateDlg* upd) {
            QTest::qWait(900);
            QTest::mouseClick(child<QRadioButton>(*upd, kRadios[1]), Qt::LeftButton);
            upd->close();
        });
        QTest::mouseClick(child<QPushButton>(edit, "pushButtonUpdate"), Qt::LeftButton);
        // Bound until 750 ms after the Set, closed right after: timed by the log, as a slow start of the
        // dialog (valgrind) delays everything after the Set but not the socket's timer.
        QCOMPARE(m_Log.count("UDP Close"), int(sent));
        const qint64 bound = m_Log.msecs("UDP Close") - m_Log.msecs("UDP Open send Set msg");
        QVERIFY2(!sent || (bound >= 650 && bound <= 930), qPrintable(QStringLiteral("closed %1 ms after the Set").arg(bound)));
        QCOMPARE(edit.m_Record[87], quint8(0));
        QCOMPARE(edit.m_Paths.progItem, 1);
        QVERIFY(edit.m_Paths.paths == m_FirstUse.paths);
        QTest::mouseClick(boxButton(edit, QDialogButtonBox::Ok), Qt::LeftButton);
        QCOMPARE(edit.m_Record[87], quint8(opMode));

        QList<QNetworkDatagram> got;
        while (receiver.hasPendingDatagrams())
            got << receiver.receiveDatagram();
        QCOMPARE(got.size(), sent ? 1 : 0);
        if (!sent)
            return;
        QByteArray expected = rec;
        expected[4] = 2;   // MsgType: Set
        expected[87] = 0;  // OpMode: I/Q
        QCOMPARE(got[0].data(), expected);
        QCOMPARE(got[0].senderPort(), 48322);
    }

    void itemsFilesAndHandBack_data()
    {
        QTest::addColumn<ItemsRow>("row");

        QTest::addRow("stored item 9 selects App0, Close")
            << ItemsRow{QByteArray("Quillrad"), 9, 0, "Quillrad/app0.bin", "app0.bin",
                        "Select App0 File | App0 files (*.hex *.bin)", "Close", 0};
        QTest::addRow("Quillix Config02 rejects a Quillrad bitstream, Escape")
            << ItemsRow{QByteArray("Quillix"), 0, 3, "Quillrad/cfg02.bit", "Invalid file",
                        "Select Config02 File | Config01 files (*.bit)", "Esc", 3};
        QTest::addRow("Config4 cancelled keeps its path, close box")
            << ItemsRow{QByteArray("Quillrad"), 5, 5, QString(), "Invalid file",
                        "Select Config04 File | Config04 files (*.bit)", "close box", 5};
    }

    void itemsFilesAndHandBack()
    {
        QFETCH(ItemsRow, row);
        const auto& [model, stored, select, file, label, fileDialog, closeBy, item] = row;

        ImagePathSet in = m_FirstUse;
        in.progItem = stored;
        CUpdateDlg dlg(nullptr);
        open(dlg, record(model, 0, 862, kNobody, 9), in);
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));

        // Only the selected item was read, and rejected, being a directory.
        const int first = stored < 6 ? stored : 0;
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(child<QLabel>(dlg, kFileLabels[i])->text(), i == first ? "Invalid file" : "Select File");
            QCOMPARE(child<QPushButton>(dlg, kBrowse[i])->isVisible(), i == first);
            QCOMPARE(child<QRadioButton>(dlg, kRadios[i])->isChecked(), i == first);
        }
        QTest::mouseClick(child<QPushButton>(dlg, "pushButtonProgram"), Qt::LeftButton);
        QCOMPARE(m_Log.count("Start error"), 1);

        QTest::mouseClick(child<QRadioButton>(dlg, kRadios[select]), Qt::LeftButton);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(child<QPushButton>(dlg, kBrowse[i])->isVisible(), i == select);

        const QString typed = file.isEmpty() ? QString() : m_Dir.filePath(file);
        QCOMPARE(pickFile(dlg, select, typed), fileDialog);
        QCOMPARE(child<QLabel>(dlg, kFileLabels[select])->text(), label);

        closeDialog(dlg, closeBy);
        QVERIFY(!dlg.isVisible());

        // Only the model's own path of the item changes; the slots run Config1..4, App0..2.
        ImagePathSet expected = in;
        if (!typed.isEmpty())
            expected.paths[(model == "Quillix" ? 0 : 7) + (select + 4) % 6] = typed;
        QCOMPARE(dlg.m_Paths.progItem, item);
        QVERIFY(dlg.m_Paths.paths == expected.paths);
    }

    void configurationRun_data()
    {
        QTest::addColumn<int>("failure");
        QTest::addRow("finishes") << int(SimControlConfig::SlowAck);
        QTest::addRow("aborted by the receiver") << int(SimControlConfig::AbortConfig);
    }

    void configurationRun()
    {
        QFETCH(int, failure);
        const bool aborted = failure == SimControlConfig::AbortConfig;
        SimControlConfig cfg;
        // Slow acknowledgements stretch the run to about a second, long enough to try the controls.
        cfg.failure = SimControlConfig::Failure(failure);
        cfg.slowAckMs = 100;
        // A whole-bank erase on real flash takes tens of seconds; idle ticks and polls go on meanwhile.
        cfg.eraseMs = aborted ? 0 : 20000;
        cfg.cfgBlockSize = 8000;
        SimControl sim(cfg);
        QVERIFY(sim.listen(kDevice, 0));
        QVERIFY(writeFile(m_Dir.filePath("Quillrad/cfg02.bit"), kCfg02));

        CUpdateDlg dlg(nullptr);
        openOnConfig02(dlg, sim);
        QLabel* status = child<QLabel>(dlg, "labelStatus");
        QPushButton* start = child<QPushButton>(dlg, "pushButtonProgram");
        QPushButton* closeButton = boxButton(dlg, QDialogButtonBox::Close);
        QCOMPARE(status->text(), "Not Connected");
        QCOMPARE(colour(dlg), "lightGray");
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Got Info"), 6000);
        QCOMPARE(child<QLabel>(dlg, "label_info")->text(),
                 "Model = Quillrad  SN = QR000001  Boot Version = 1.05  HW Version = 2");
        // A cancelled file dialog keeps the item's file and reads it again: the file changed on disk
        // meanwhile, and Start sends the new bytes.
        QVERIFY(writeFile(m_Dir.filePath("Quillrad/cfg02.bit"), kCfg02v9));
        QCOMPARE(pickFile(dlg, 3, QString()), QString("Select Config02 File | Config01 files (*.bit)"));
        QCOMPARE(child<QLabel>(dlg, "labelConfigFile2")->text(), "cfg02.bit");
        // Green appears on a tick; starting right then leaves most of a second before the next one.
        QTRY_COMPARE_WITH_TIMEOUT(colour(dlg), QString("green"), 3000);
        QTest::mouseClick(start, Qt::LeftButton);

        if (aborted) {
            QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("!! Programmin Failed !!"), 800);
            QCOMPARE(colour(dlg), "red");
            QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Connected Idle"), 1500);
            QCOMPARE(colour(dlg), "green");
            QCOMPARE(child<QProgressBar>(dlg, "progressBar")->value(), 0);
            return;
        }

        // All through the erase the status reads idle, yet the run has begun: nothing may replace the
        // image or end the dialog, and a second Start is refused. Close is disabled; Escape and the
        // close box are tried well past any five-second watch.
        const auto locked = [&] {
            for (int i = 0; i < 6; ++i)
                if (child<QRadioButton>(dlg, kRadios[i])->isEnabled() || child<QPushButton>(dlg, kBrowse[i])->isEnabled())
                    return false;
            return !closeButton->isEnabled() && closeButton->toolTip() == "A firmware run is in progress";
        };
        QVERIFY(locked());
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(m_Log.count("Start error"), 1);
        QTest::qWait(18000);
        QCOMPARE(status->text(), QString("Connected Idle"));
        QVERIFY(locked());
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QVERIFY(dlg.isVisible());
        QVERIFY(!dlg.close());  // the close box

        QTRY_COMPARE_WITH_TIMEOUT(colour(dlg), QString("yellow"), 5000);
        QVERIFY(locked());
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(m_Log.count("Start error"), 2);

        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Program Finished OK"), 5000);
        QCOMPARE(child<QProgressBar>(dlg, "progressBar")->value(), 100);
        QCOMPARE(colour(dlg), "lightGray");
        QVERIFY(closeButton->isEnabled() && closeButton->toolTip().isEmpty());
        QCOMPARE(sim.cfgSlot(1).left(kCfg02v9.size()), kCfg02v9);
        // Start right after "Program Finished OK": the reconnection would cut it, so nothing goes out.
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(m_Log.count("Start error"), 3);
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Connected Idle"), 8000);
        QCOMPARE(sim.runsStarted(), 1);
        QCOMPARE(sim.runsCut(), 0);
        QCOMPARE(sim.protocolViolations(), 0);
        QTest::mouseClick(closeButton, Qt::LeftButton);
        QVERIFY(!dlg.isVisible());
    }

    void everyItem()
    {
        // All six items through one dialog: each file goes to its own bank or slot, and the item's own
        // version label shows the version that file carries after the reconnection.
        SimControl sim{SimControlConfig{}};
        QVERIFY(sim.listen(kDevice, 0));
        ImagePathSet paths = m_FirstUse;
        for (int item = 0; item < 6; ++item) {
            const QString path = m_Dir.filePath(QStringLiteral("every%1.%2").arg(item).arg(item < 2 ? "bin" : "bit"));
            QVERIFY(writeFile(path, item < 2 ? appImage(3000, Qusd, quint8(item), 301 + item)
                                             : bitFile(designName(SimModels::Quillrad, item - 1, 29 + item), 3000)));
            paths.paths[7 + (item + 4) % 6] = path;  // the Quillrad block: Config1..4, App0..2
        }
        CUpdateDlg dlg(nullptr);
        open(dlg, record("Quillrad", 0, 862, kDevice, sim.serverPort()), paths);
        const QStringList shown = {"3.01", "3.02", "31", "32", "33", "34"};
        for (int item = 0; item < 6; ++item) {
            QTest::mouseClick(child<QRadioButton>(dlg, kRadios[item]), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(colour(dlg), QString("green"), 8000);
            QTest::mouseClick(child<QPushButton>(dlg, "pushButtonProgram"), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(dlg, "labelStatus")->text(), QString("Program Finished OK"), 8000);
            QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(dlg, kVersionLabels[item])->text(), shown[item], 8000);
        }
    }

    // last: the application's quit stays in force for the rest of the program
    void quitDuringRun()
    {
        // The desktop session ends while the receiver erases: the dialog's loop ends although Close is
        // refused, and the receiver hears that the run is off instead of waiting for blocks.
        SimControlConfig cfg;
        cfg.eraseMs = 60000;
        SimControl sim(cfg);
        QVERIFY(sim.listen(kDevice, 0));
        {
            CUpdateDlg dlg(nullptr);
            openOnConfig02(dlg, sim);
            QTRY_COMPARE_WITH_TIMEOUT(colour(dlg), QString("green"), 8000);
            QTest::mouseClick(child<QPushButton>(dlg, "pushButtonProgram"), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(sim.runsStarted(), 1, 2000);
            // As main() does on SIGTERM; Qt 6's quit() does nothing outside QApplication::exec().
            QTimer::singleShot(200, qApp, [] { QCoreApplication::exit(0); });
            dlg.exec();
        }
        QTRY_VERIFY_WITH_TIMEOUT(sim.log().contains("run aborted by the host"), 3000);
        QCOMPARE(sim.runsCut(), 0);
        // The window's runs go into the update record as quillctl's do; this one's end says how it ended.
        QFile rec(m_Dir.filePath("state/quillfinder/updates.jsonl"));
        QVERIFY(rec.open(QIODevice::ReadOnly));
        const QByteArray last = rec.readAll().trimmed().split('\n').last();
        QCOMPARE(QJsonDocument::fromJson(last).object().value("result").toString(), "abandoned");
    }

private:
    /// Opens `dlg` on a Quillrad served by `sim`, Config02 selected with a valid file.
    void openOnConfig02(CUpdateDlg& dlg, const SimControl& sim)
    {
        ImagePathSet paths = m_FirstUse;
        paths.paths[8] = m_Dir.filePath("Quillrad/cfg02.bit");
        paths.progItem = 3;
        open(dlg, record("Quillrad", 0, 862, kDevice, sim.serverPort()), paths);
    }

    QTemporaryDir m_Dir;
    TestLog m_Log;
    ImagePathSet m_FirstUse;  ///< all paths name directories, as on a first start; App2 made recognisable
};

QTEST_MAIN(tst_UpdateDlg)
#include "tst_updatedlg.moc"
