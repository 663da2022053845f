#include "EditQuillDlg.h"
#include "Fixtures.h"
#include "MainWindow.h"
#include "QuillSim.h"
#include "SimControl.h"
#include "TestLog.h"
#include "TestUi.h"
#include "UpdateDlg.h"

#include <QFileDialog>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <QtWidgets>
#include <memory>

// A whole session as a person has it: find, open a receiver, open the update dialog, choose a file,
// program it, close both dialogs, end the program, and find the chosen file in the settings store.
class tst_EndToEnd : public QObject {
    Q_OBJECT
private slots:
    void wholeSession();
};

namespace {
QString statusText(QObject& dlg) { return child<QLabel>(dlg, "labelStatus")->text(); }
} // namespace

void tst_EndToEnd::wholeSession()
{
    TestLog log;
    log.start();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray app = Fixtures::appImage(20000, Fixtures::Quiq, 0);
    const QString appPath = dir.filePath(QStringLiteral("app0.bin"));
    QVERIFY(Fixtures::writeFile(appPath, app));

    QuillSim sim;
    QString error;
    SimReceiver rx = SimReceiver::fromJson({{"model", "Quillix"}, {"serial", "QX300"}, {"address", "198.18.0.12"},
                                            {"tcpPort", 0}, {"opMode", 1}},
                                           &error);
    QVERIFY2(!rx.record.isEmpty(), qPrintable(error));
    sim.addReceiver(rx);
    QVERIFY2(sim.start(&error), qPrintable(error));

    auto window = std::make_unique<MainWindow>();
    window->show();
    auto* list = child<QListWidget>(*window, "listWidget");
    // Find, as a person does once the window is up (the first cycle ran before it was shown).
    QTRY_COMPARE_WITH_TIMEOUT(log.count(QStringLiteral("UDP Close")), 1, 5000);
    QTest::mouseClick(child<QPushButton>(*window, "pushButtonFind"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(list->count(), 1, 5000);
    const quint16 port = sim.receiver(0).tcpPort();
    QCOMPARE(list->item(0)->text(), QStringLiteral("Quillix   SN=QX300   IP=198.18.0.12   Port=%1").arg(port));

    bool sawSettings = false, sawUpdate = false, programmed = false;
    whenModal<CEditQuillDlg>([&](CEditQuillDlg* settings) {
        sawSettings = true;
        whenModal<CUpdateDlg>([&](CUpdateDlg* update) {
            sawUpdate = true;
            QTRY_COMPARE_WITH_TIMEOUT(statusText(*update), QStringLiteral("Connected Idle"), 10000);
            QCOMPARE(child<QLabel>(*update, "label_VerApp0")->text(), QStringLiteral("1.23"));

            // Choose the file as a person would. Return only moves the focus while the settings
            // dialog exists, so the file dialog is confirmed with its Open button.
            whenModal<QFileDialog>([&](QFileDialog* fd) {
                // Typed once the dialog has the focus: Qt 6 activates it later, and clears text typed before.
                QVERIFY(QTest::qWaitForWindowActive(fd));
                QTRY_VERIFY(child<QLineEdit>(*fd, "fileNameEdit")->hasFocus());
                QTest::keyClicks(child<QLineEdit>(*fd, "fileNameEdit"), appPath);
                QTest::mouseClick(child<QDialogButtonBox>(*fd, "buttonBox")->button(QDialogButtonBox::Open),
                                  Qt::LeftButton);
            });
            QTest::mouseClick(child<QPushButton>(*update, "pushButtonBrowseApp0"), Qt::LeftButton);
            QCOMPARE(child<QLabel>(*update, "labelAppFile0")->text(), QStringLiteral("app0.bin"));
            QTRY_VERIFY_WITH_TIMEOUT(child<QPushButton>(*update, "pushButtonProgram")->styleSheet().contains("green"),
                                     3000);

            QTest::mouseClick(child<QPushButton>(*update, "pushButtonProgram"), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(statusText(*update), QStringLiteral("Program Finished OK"), 20000);
            QCOMPARE(child<QProgressBar>(*update, "progressBar")->value(), 100);
            QCOMPARE(sim.control(0)->runsCompleted(), 1);
            // Reconnected and read afresh: the receiver reports the new application version.
            QTRY_COMPARE_WITH_TIMEOUT(statusText(*update), QStringLiteral("Connected Idle"), 10000);
            QCOMPARE(child<QLabel>(*update, "label_VerApp0")->text(), QStringLiteral("1.24"));
            programmed = true;
            QTest::mouseClick(child<QDialogButtonBox>(*update, "buttonBox")->button(QDialogButtonBox::Close),
                              Qt::LeftButton);
        });
        QTest::mouseClick(child<QPushButton>(*settings, "pushButtonUpdate"), Qt::LeftButton);
        // Still in Quill mode on the form: OK switches the receiver back from I/Q mode.
        QTest::mouseClick(child<QDialogButtonBox>(*settings, "buttonBox")->button(QDialogButtonBox::Ok),
                          Qt::LeftButton);
    });
    const QRect row = list->visualItemRect(list->item(0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row.center());
    QVERIFY(sawSettings && sawUpdate && programmed);

    // Two Sets reached the receiver: I/Q mode for the update, then Quill mode again from OK.
    QTRY_COMPARE_WITH_TIMEOUT(sim.receiver(0).setsAdopted, 2, 3000);
    QCOMPARE(SimRecord::fields(sim.receiver(0).record).value("opMode").toInt(), 1);
    QCOMPARE(list->count(), 0);

    // The program ends normally: the chosen file and item are stored.
    window.reset();
    QSettings store(QStringLiteral("Pellisar"), QStringLiteral("tst_endtoend"));
    QCOMPARE(store.value("Paths/App0PathIQ").toString(), appPath);
    QCOMPARE(store.value("Paths/ProgItem").toInt(), 0);
    QCOMPARE(store.value("Paths/App0PathSDR").toString(),
             QCoreApplication::applicationDirPath() + QStringLiteral("/Quillrad/"));
    log.stop();
}

QTEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
