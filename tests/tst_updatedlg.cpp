#include "EditQuillDlg.h"
#include "SimControl.h"
#include "TestLog.h"
#include "TestUi.h"
#include "UpdateDlg.h"

#include <QFileDialog>
#include <QNetworkDatagram>
#include <QProcess>
#include <QUdpSocket>
#include <QtTest>
#include <QtWidgets>

#include <cstring>
#include <functional>

// The update dialog driven as a person would: clicks, keys, Qt's own file dialog, and an emulated
// receiver over real sockets in the private network. Runs against the emulator wait for real
// 1-second ticks, so there are few of them and each follows a whole opening.

namespace {

constexpr quint32 QUSD = 0x44535551;
const QHostAddress kDevice(QStringLiteral("198.18.0.5"));
const QHostAddress kNobody(QStringLiteral("198.18.0.9"));  ///< local address where nothing listens

const char* const kRadios[] = {"radioButtonApp0", "radioButtonApp1", "radioButtonConfig_01",
                               "radioButtonConfig_02", "radioButtonConfig_03", "radioButtonConfig_04"};
const char* const kBrowse[] = {"pushButtonBrowseApp0", "pushButtonBrowseApp1", "pushButtonBrowseConfig1",
                               "pushButtonBrowseConfig2", "pushButtonBrowseConfig3", "pushButtonBrowseConfig4"};
const char* const kFileLabels[] = {"labelAppFile0", "labelAppFile1", "labelConfigFile1",
                                   "labelConfigFile2", "labelConfigFile3", "labelConfigFile4"};
// Position of each item's path among one model's seven (Config1..4, App0..2).
const int kSlot[] = {4, 5, 0, 1, 2, 3};

// A discovery record written out byte by byte: every byte distinct from its neighbours, so that
// a byte moved or changed on the way shows.
QByteArray record(const QByteArray& model, quint8 opMode, quint16 length, const QHostAddress& ip, quint16 port)
{
    QByteArray r(862, '\0');
    for (int i = 0; i < r.size(); ++i)
        r[i] = char((i * 37 + 11) & 0xFF);
    r[0] = char(length & 0xFF);
    r[1] = char(length >> 8);
    r[2] = char(0x5A);
    r[3] = char(0xA5);
    r[4] = 1;
    r.replace(5, model.size() + 1, model + '\0');
    const quint32 a = ip.toIPv4Address();
    for (int i = 0; i < 4; ++i)
        r[37 + i] = char(a >> (8 * i));  // byte 40 is the first octet
    r[53] = char(port & 0xFF);
    r[54] = char(port >> 8);
    r[87] = char(opMode);
    return r;
}

QString colour(QObject& dlg)
{
    const QString sheet = child<QPushButton>(dlg, "pushButtonProgram")->styleSheet();
    const QRegularExpression re(QStringLiteral("^QPushButton\\{\t\tbackground-color: (\\w+);"));
    return re.match(sheet).captured(1);
}

void setRecord(CUpdateDlg& dlg, const QByteArray& r) { std::memcpy(dlg.m_Record, r.constData(), size_t(r.size())); }

// Fourteen paths that all name directories, as on a first start, with the App2 paths made recognisable.
ImagePathSet firstUsePaths(const QString& dir)
{
    ImagePathSet p;
    for (int i = 0; i < ImagePathSet::Count; ++i)
        p.paths[i] = dir + (i < 7 ? "/Quillix/" : "/Quillrad/");
    p.paths[ImagePathSet::App2IQ] = dir + "/Quillix/app2-iq.hex";
    p.paths[ImagePathSet::App2SDR] = dir + "/Quillrad/app2-sdr.hex";
    return p;
}

} // namespace

class tst_UpdateDlg : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { m_Log.start(); }
    void cleanup() { m_Log.stop(); }
    void iqModeSwitch_data();
    void iqModeSwitch();
    void itemsFilesAndHandBack_data();
    void itemsFilesAndHandBack();
    void programmingRuns();
    void failedConfigurationRun();
    void throughSettingsDialog();

private:
    QTemporaryDir m_Dir;
    TestLog m_Log;
};

void tst_UpdateDlg::initTestCase()
{
    QVERIFY(m_Dir.isValid());
    // Valid images for both models, with small application images so that a run takes few blocks.
    const QString script = QFINDTESTDATA("../scripts/make-images");
    QVERIFY(!script.isEmpty());
    QCOMPARE(QProcess::execute(script, {m_Dir.path(), QStringLiteral("8192")}), 0);
}

void tst_UpdateDlg::iqModeSwitch_data()
{
    QTest::addColumn<int>("opMode");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("sent");  // bytes of the Set datagram, -1 for none
    QTest::addRow("I/Q mode: nothing") << 0 << 862 << -1;
    QTest::addRow("Quill mode, Length 800") << 1 << 800 << 800;
    QTest::addRow("Aux mode, Length 900 capped") << 2 << 900 << 862;
}

void tst_UpdateDlg::iqModeSwitch()
{
    QFETCH(int, opMode);
    QFETCH(int, length);
    QFETCH(int, sent);

    QUdpSocket receiver;
    QVERIFY2(receiver.bind(QHostAddress::AnyIPv4, 48321, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint),
             qPrintable(receiver.errorString()));

    const QByteArray rec = record("Quillrad", quint8(opMode), quint16(length), kNobody, 9);
    {
        CUpdateDlg dlg(nullptr);
        setRecord(dlg, rec);
        dlg.m_Paths = firstUsePaths(m_Dir.path());
        dlg.Init();
        QTest::qWait(1200);  // past the 750 ms close
    }

    QList<QNetworkDatagram> got;
    while (receiver.hasPendingDatagrams())
        got << receiver.receiveDatagram();
    if (sent < 0) {
        QVERIFY(got.isEmpty());
        QCOMPARE(m_Log.count("UDP Open send Set msg"), 0);
        QCOMPARE(m_Log.count("UDP Close"), 0);
        return;
    }
    QCOMPARE(got.size(), 1);
    QByteArray expected = rec.left(sent);
    expected[4] = 2;   // MsgType: Set
    expected[87] = 0;  // OpMode: I/Q
    QCOMPARE(got[0].data(), expected);
    QCOMPARE(got[0].senderPort(), 48322);
    QCOMPARE(got[0].destinationPort(), 48321);
    QCOMPARE(m_Log.count("UDP Open send Set msg"), 1);
    QCOMPARE(m_Log.count("UDP Close"), 1);
}

void tst_UpdateDlg::itemsFilesAndHandBack_data()
{
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<int>("stored");     // ProgItem handed in
    QTest::addColumn<int>("select");     // item clicked before browsing, -1 for none
    QTest::addColumn<QString>("file");   // typed into the file dialog, relative to the test folder; empty: cancel
    QTest::addColumn<QString>("label");  // file label after browsing
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<int>("closeBy");    // 0 Close button, 1 Escape, 2 close box
    QTest::addColumn<int>("item");       // ProgItem handed back

    QTest::addRow("Quillrad App0 image, Close")
        << QByteArray("Quillrad") << 0 << -1 << "Quillrad/app0.bin" << "app0.bin" << "Select App0 File"
        << "App0 files (*.hex *.bin)" << 0 << 0;
    QTest::addRow("Quillix Config02 rejects a Quillrad bitstream, Escape")
        << QByteArray("Quillix") << 0 << 3 << "Quillrad/quillrad_cfg02.bit" << "Invalid file"
        << "Select Config02 File" << "Config01 files (*.bit)" << 1 << 3;
    QTest::addRow("Quillix App1 image, close box")
        << QByteArray("Quillix") << 2 << 1 << "Quillix/app1.bin" << "app1.bin" << "Select App1 File"
        << "App1 files (*.hex *.bin)" << 2 << 1;
    QTest::addRow("Config4 cancelled keeps its path, Escape")
        << QByteArray("Quillrad") << 5 << -1 << QString() << "Invalid file" << "Select Config04 File"
        << "Config04 files (*.bit)" << 1 << 5;
    QTest::addRow("stored item 9 selects App0")
        << QByteArray("Quillrad") << 9 << -1 << "Quillrad/app0.bin" << "app0.bin" << "Select App0 File"
        << "App0 files (*.hex *.bin)" << 2 << 0;
}

void tst_UpdateDlg::itemsFilesAndHandBack()
{
    QFETCH(QByteArray, model);
    QFETCH(int, stored);
    QFETCH(int, select);
    QFETCH(QString, file);
    QFETCH(QString, label);
    QFETCH(QString, caption);
    QFETCH(QString, filter);
    QFETCH(int, closeBy);
    QFETCH(int, item);

    ImagePathSet in = firstUsePaths(m_Dir.path());
    in.progItem = stored;
    CUpdateDlg dlg(nullptr);
    setRecord(dlg, record(model, 0, 862, kNobody, 9));
    dlg.m_Paths = in;
    dlg.Init();
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    // First use: every path is a directory, so only the selected item was read, and rejected.
    const int first = (stored >= 0 && stored < 6) ? stored : 0;
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(child<QLabel>(dlg, kFileLabels[i])->text(), i == first ? "Invalid file" : "Select File");
        QCOMPARE(child<QPushButton>(dlg, kBrowse[i])->isVisible(), i == first);
        QCOMPARE(child<QRadioButton>(dlg, kRadios[i])->isChecked(), i == first);
    }
    QTest::mouseClick(child<QPushButton>(dlg, "pushButtonProgram"), Qt::LeftButton);
    QCOMPARE(m_Log.count("Start error"), 1);

    const int target = select >= 0 ? select : first;
    if (select >= 0) {
        QTest::mouseClick(child<QRadioButton>(dlg, kRadios[select]), Qt::LeftButton);
        for (int i = 0; i < 6; ++i)
            QCOMPARE(child<QPushButton>(dlg, kBrowse[i])->isVisible(), i == select);
    }

    QString seenCaption;
    QStringList seenFilters;
    const QString typed = file.isEmpty() ? QString() : m_Dir.filePath(file);
    whenModal<QFileDialog>([&](QFileDialog* fd) {
        seenCaption = fd->windowTitle();
        seenFilters = fd->nameFilters();
        if (typed.isEmpty()) {
            QTest::keyClick(fd, Qt::Key_Escape);
            return;
        }
        QLineEdit* edit = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(edit);
        QTest::keyClicks(edit, typed);
        QTest::keyClick(edit, Qt::Key_Return);
    });
    QTest::mouseClick(child<QPushButton>(dlg, kBrowse[target]), Qt::LeftButton);
    QCOMPARE(seenCaption, caption);
    QCOMPARE(seenFilters, QStringList{filter});
    QCOMPARE(child<QLabel>(dlg, kFileLabels[target])->text(), label);

    switch (closeBy) {
    case 0:
        QTest::mouseClick(child<QDialogButtonBox>(dlg, "buttonBox")->button(QDialogButtonBox::Close), Qt::LeftButton);
        break;
    case 1:
        QTest::keyClick(&dlg, Qt::Key_Escape);
        break;
    default:
        QVERIFY(dlg.close());
        break;
    }
    QVERIFY(!dlg.isVisible());

    ImagePathSet expected = in;
    if (!typed.isEmpty())
        expected.paths[ImagePathSet::modelBase(model == "Quillix") + kSlot[target]] = typed;
    expected.progItem = item;
    QCOMPARE(dlg.m_Paths.progItem, expected.progItem);
    for (int i = 0; i < ImagePathSet::Count; ++i)
        QCOMPARE(dlg.m_Paths.paths[i], expected.paths[i]);
}

void tst_UpdateDlg::programmingRuns()
{
    const QString d = m_Dir.path();
    SimControlConfig cfg;
    cfg.serial = QStringLiteral("QR000777");
    cfg.versions[0] = 123;
    cfg.versions[2] = 200;
    cfg.versions[4] = 123;
    cfg.versions[8] = 7;
    // Slow acknowledgements stretch each run to about a second, long enough to try the controls.
    cfg.failure = SimControlConfig::SlowAck;
    cfg.slowAckMs = 100;
    cfg.cfgBlockSize = 8000;
    SimControl sim(cfg);
    QVERIFY(sim.listen(kDevice, 0));
    QSignalSpy finished(&sim, &SimControl::runFinished);

    CUpdateDlg dlg(nullptr);
    setRecord(dlg, record("Quillrad", 0, 862, kDevice, sim.serverPort()));
    dlg.m_Paths = firstUsePaths(d);
    dlg.m_Paths.paths[ImagePathSet::App0SDR] = d + "/Quillrad/app0.bin";
    dlg.m_Paths.paths[ImagePathSet::Config2SDR] = d + "/Quillrad/quillrad_cfg02.bit";
    dlg.m_Paths.progItem = 2;  // Config1: a directory, so no valid file yet
    dlg.Init();
    dlg.show();

    QLabel* status = child<QLabel>(dlg, "labelStatus");
    QPushButton* start = child<QPushButton>(dlg, "pushButtonProgram");
    QPushButton* closeButton = child<QDialogButtonBox>(dlg, "buttonBox")->button(QDialogButtonBox::Close);
    QCOMPARE(status->text(), "Not Connected");
    QCOMPARE(colour(dlg), "lightGray");
    QCOMPARE(child<QLabel>(dlg, "label_info")->text(), "Info");
    QCOMPARE(child<QLabel>(dlg, "label_VerApp0")->text(), "?");

    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Got Info"), 6000);
    QCOMPARE(child<QLabel>(dlg, "label_info")->text(),
             "Model = Quillrad  SN = QR000777  Boot Version = 1.23  HW Version = 2");
    QCOMPARE(child<QLabel>(dlg, "label_VerApp0")->text(), "1.23");
    QCOMPARE(child<QLabel>(dlg, "label_VerCfg2")->text(), "7");
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Connected Idle"), 3000);
    QCOMPARE(colour(dlg), "lightGray");

    QTest::mouseClick(start, Qt::LeftButton);  // no valid file: only logged
    QCOMPARE(m_Log.count("Start error"), 1);

    // Application run.
    QTest::mouseClick(child<QRadioButton>(dlg, "radioButtonApp0"), Qt::LeftButton);
    QCOMPARE(child<QLabel>(dlg, "labelAppFile0")->text(), "app0.bin");
    QTRY_COMPARE_WITH_TIMEOUT(colour(dlg), QString("green"), 1500);
    QCOMPARE(start->styleSheet().size(), 248);
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(m_Log.contains("Start App0"));
    QTRY_COMPARE_WITH_TIMEOUT(colour(dlg), QString("yellow"), 3000);

    // While programming, nothing may replace the image or end the dialog.
    for (const char* name : kRadios)
        QVERIFY(!child<QRadioButton>(dlg, name)->isEnabled());
    for (const char* name : kBrowse)
        QVERIFY(!child<QPushButton>(dlg, name)->isEnabled());
    QVERIFY(!closeButton->isEnabled());
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QVERIFY(dlg.isVisible());
    QVERIFY(!dlg.close());
    QVERIFY(dlg.isVisible());
    m_Log.clear();
    QTest::mouseClick(start, Qt::LeftButton);
    QCOMPARE(m_Log.count("Start error"), 1);
    QTest::mouseClick(child<QPushButton>(dlg, "pushButtonAbort"), Qt::LeftButton);

    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Program Finished OK"), 5000);
    QCOMPARE(child<QProgressBar>(dlg, "progressBar")->value(), 100);
    QCOMPARE(colour(dlg), "lightGray");
    QVERIFY(closeButton->isEnabled() && child<QRadioButton>(dlg, "radioButtonConfig_02")->isEnabled());
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished[0], (QList<QVariant>{0, true}));
    // The flash holds the image as the reader prepared it: the file with its check location and CRC stamped.
    CFirmwareImage image;
    QCOMPARE(image.ReadAppFile(d + "/Quillrad/app0.bin", QUSD, 0), 0);
    const int end = int(image.m_MaxFileAdr) + 1;
    QCOMPARE(sim.appFlash(0).mid(0x4000, end - 0x4000),
             QByteArray(reinterpret_cast<const char*>(image.Buffer()) + 0x4000, end - 0x4000));
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(dlg, "label_VerApp0")->text(), QString("1.24"), 6000);

    // Configuration run, from the same opening.
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Connected Idle"), 3000);
    QTest::mouseClick(child<QRadioButton>(dlg, "radioButtonConfig_02"), Qt::LeftButton);
    QCOMPARE(child<QLabel>(dlg, "labelConfigFile2")->text(), "quillrad_cfg02.bit");
    QTRY_COMPARE_WITH_TIMEOUT(colour(dlg), QString("green"), 1500);
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(m_Log.contains("Start Cfg2"));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Program Finished OK"), 5000);
    QCOMPARE(finished.size(), 2);
    QCOMPARE(finished[1], (QList<QVariant>{1, true}));
    QFile bit(d + "/Quillrad/quillrad_cfg02.bit");
    QVERIFY(bit.open(QIODevice::ReadOnly));
    const QByteArray bits = bit.readAll();
    QCOMPARE(sim.cfgSlot(1).left(bits.size()), bits);
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(dlg, "label_VerCfg2")->text(), QString("8"), 6000);
}

void tst_UpdateDlg::failedConfigurationRun()
{
    SimControlConfig cfg;
    cfg.failure = SimControlConfig::AbortConfig;
    SimControl sim(cfg);
    QVERIFY(sim.listen(kDevice, 0));

    CUpdateDlg dlg(nullptr);
    setRecord(dlg, record("Quillrad", 0, 862, kDevice, sim.serverPort()));
    dlg.m_Paths = firstUsePaths(m_Dir.path());
    dlg.m_Paths.paths[ImagePathSet::Config1SDR] = m_Dir.path() + "/Quillrad/quillrad_cfg01.bit";
    dlg.m_Paths.progItem = 2;
    dlg.Init();
    dlg.show();
    QLabel* status = child<QLabel>(dlg, "labelStatus");

    // Green appears on a tick; starting right then leaves most of a second before the next one.
    QTRY_COMPARE_WITH_TIMEOUT(colour(dlg), QString("green"), 8000);
    QTest::mouseClick(child<QPushButton>(dlg, "pushButtonProgram"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("!! Programmin Failed !!"), 800);
    QCOMPARE(colour(dlg), "red");
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QString("Connected Idle"), 1500);
    QCOMPARE(colour(dlg), "green");
    QCOMPARE(child<QProgressBar>(dlg, "progressBar")->value(), 0);
}

void tst_UpdateDlg::throughSettingsDialog()
{
    CEditQuillDlg edit;
    const QByteArray rec = record("Quillrad", 1, 862, kNobody, 9);
    std::memcpy(edit.m_Record, rec.constData(), size_t(rec.size()));
    edit.m_Paths = firstUsePaths(m_Dir.path());
    edit.m_Paths.progItem = 4;
    const ImagePathSet before = edit.m_Paths;
    edit.FillForm();
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));

    QString title;
    whenModal<CUpdateDlg>([&](CUpdateDlg* upd) {
        title = upd->windowTitle();
        upd->close();
    });
    QTest::mouseClick(child<QPushButton>(edit, "pushButtonUpdate"), Qt::LeftButton);
    QCOMPARE(title, "Firmware/FPGA Update");
    QCOMPARE(m_Log.count("UDP Open send Set msg"), 1);
    QCOMPARE(m_Log.count("Exit exec"), 1);
    QCOMPARE(m_Log.count("CUpdateDlg destuctor"), 1);
    QCOMPARE(edit.m_Record[87], quint8(0));
    QVERIFY(edit.m_Paths == before);

    QTest::mouseClick(child<QDialogButtonBox>(edit, "buttonBox")->button(QDialogButtonBox::Ok), Qt::LeftButton);
    QCOMPARE(edit.m_Record[87], quint8(1));
    QVERIFY(edit.m_Changed);
}

QTEST_MAIN(tst_UpdateDlg)
#include "tst_updatedlg.moc"
