#include "Fixtures.h"
#include "QuillSim.h"
#include "SettingsFile.h"
#include "UpdateRecord.h"

#include <QtTest>

namespace {
/// A receiver's record from the emulator's own encoder: its defaults, serial QX1, `fields`, then `over`.
QByteArray simRecord(QJsonObject fields, const QJsonObject& over = {})
{
    fields.insert("serial", "QX1");
    for (auto it = over.begin(); it != over.end(); ++it)
        fields.insert(it.key(), it.value());
    QString error;
    return SimRecord::build(fields, &error);
}
const quint8* bytes(const QByteArray& a) { return reinterpret_cast<const quint8*>(a.constData()); }
/// The plan of QX1 from `document`, its network problem last among its problems; a document that
/// does not parse plans nothing but its problems.
SettingsFile::Plan planned(const QByteArray& record, const QByteArray& document)
{
    SettingsFile::Document doc;
    SettingsFile::Plan p;
    if (!SettingsFile::parse(document, &doc, &p.problems))
        return p;
    p = SettingsFile::plan(bytes(record), doc.defaults, doc.receivers.value("QX1"));
    if (!p.networkProblem.isEmpty())
        p.problems << p.networkProblem;
    return p;
}
} // namespace

// Settings documents read, checked and planned against one receiver's record, and the record of a Set.
class tst_SettingsFile : public QObject {
    Q_OBJECT
private slots:
    void problems_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QStringList>("problems");  // every one, in the document's key order
        QTest::addRow("every value form taken, limits included")
            << QByteArray(R"({"defaults": {"TCP Port": 65535, "udp port": "0", "Use DHCP": true, "Audio Monitor": "Always On",
                 "External Ref": 1, "Connection Time Limit": 255, "RF Port 2 Auto Range Max": 56, "Latitude": ""},
                 "receivers": {"QX1": {"Quill-xx Description": "Roof 40 m", "Use DHCP": "off", "RF Port 2 Auto Range Min": 0.125}}})")
            << QStringList();
        QTest::addRow("not JSON") << QByteArray(R"({"receivers": )") << QStringList{"not JSON: unterminated object at byte 14"};
        QTest::addRow("not an object") << QByteArray("[1]") << QStringList{"not a JSON object"};
        QTest::addRow("every other kind at once, each named")
            << QByteArray(R"({"colour": 1, "defaults": {"Serial Number": "QX2", "TCP Port": 70000, "tcp port": 1},
                 "receivers": {"QX1": {"Colour": "red", "Latitude": 51.5, "UDP Port": true, "Connection Time Limit": 256}, "QX2": 5}})")
            << QStringList{"unknown key \"colour\"; a settings file holds \"defaults\" and \"receivers\"",
                           "defaults: \"Serial Number\" is not a setting; the receiver reports it",
                           "defaults: TCP Port: a port number 0-65535, plain digits",
                           "defaults: \"TCP Port\" and \"tcp port\" name the same setting",
                           "QX1: unknown key \"Colour\"", "QX1: Connection Time Limit: 0-255 minutes (0: no limit)",
                           "QX1: Latitude: a string, not a number", "QX1: UDP Port: a number or a string, not a boolean",
                           "QX2: not an object"};
    }

    void problems()
    {
        QFETCH(QByteArray, document);
        QFETCH(QStringList, problems);
        SettingsFile::Document doc;
        QStringList found;
        QCOMPARE(SettingsFile::parse(document, &doc, &found), problems.isEmpty());
        QCOMPARE(found, problems);
    }

    void plan_data()
    {
        QTest::addColumn<QJsonObject>("receiver");  // the emulator's fields
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QStringList>("changes");   // "field: now -> wanted"
        QTest::addColumn<QJsonObject>("adopted");   // the emulator's fields the target holds over the record's
        QTest::addColumn<QStringList>("problems");  // the network problem last
        const QJsonObject quillix{{"model", "Quillix"}};
        QTest::addRow("own entry wins over the defaults")
            << quillix << QByteArray(R"({"defaults": {"TCP Port": 50001, "Connection Time Limit": 30, "Use DHCP": "yes"},
                                          "receivers": {"QX1": {"TCP Port": "50002"}, "QX2": {"TCP Port": 1}}})")
            << QStringList{"TCP Port: 50000 -> 50002", "Use DHCP: no -> yes", "Connection Time Limit: 0 Min -> 30 Min"}
            << QJsonObject{{"tcpPort", 50002}, {"netFlags", 1}, {"timeout", 30}} << QStringList();
        QTest::addRow("******** keeps a password, own over a default")
            << quillix << QByteArray(R"({"defaults": {"Transmit Password": "other"},
                                          "receivers": {"QX1": {"Transmit Password": "********", "Receive Password": "rx"}}})")
            << QStringList{"Receive Password:  -> ********"} << QJsonObject{{"rxPassword", "rx"}} << QStringList();
        QTest::addRow("RF range: a default the model lacks is left out, its own entry refused")
            << QJsonObject{{"model", "Quillrad"}} << QByteArray(R"({"defaults": {"RF Port 2 Auto Range Max": 30, "UDP Port": 7},
                                                                   "receivers": {"QX1": {"RF Port 2 Auto Range Min": 1}}})")
            << QStringList{"UDP Port: 0 -> 7"} << QJsonObject{{"altUdpPort", 7}}
            << QStringList{"RF Port 2 Auto Range Min: this model has no RF range"};
        QTest::addRow("an address that leaves the gateway outside")
            << quillix << QByteArray(R"({"receivers": {"QX1": {"TCP IP Adr": "10.0.0.5"}}})")
            << QStringList{"TCP IP Adr: 198.18.0.2 -> 10.0.0.5"} << QJsonObject{{"address", "10.0.0.5"}}
            << QStringList{"gateway 198.18.0.254 is outside the subnet 10.0.0.0/24 of 10.0.0.5"};
        QTest::addRow("a gateway outside that stays, and the alternate destination: no network check")
            << QJsonObject{{"model", "Quillix"}, {"gateway", "10.0.0.1"}}
            << QByteArray(R"({"receivers": {"QX1": {"UDP Adr": "198.18.0.255", "GateWay IP": "10.0.0.1"}}})")
            << QStringList{"UDP Adr: 0.0.0.0 -> 198.18.0.255"} << QJsonObject{{"altUdpAddress", "198.18.0.255"}} << QStringList();
    }

    void plan()
    {
        QFETCH(QJsonObject, receiver);
        QFETCH(QByteArray, document);
        QFETCH(QStringList, changes);
        QFETCH(QJsonObject, adopted);
        QFETCH(QStringList, problems);
        const SettingsFile::Plan p = planned(simRecord(receiver), document);
        QCOMPARE(p.problems, problems);
        QStringList listed;
        for (const SettingsFile::Change& c : p.changes)
            listed << QStringLiteral("%1: %2 -> %3").arg(QLatin1String(c.field->name), c.now, c.wanted);
        QCOMPARE(listed, changes);
        // Every other byte as the receiver reported it.
        QCOMPARE(p.target, simRecord(receiver, adopted));
    }

    void exportPlansNothing()
    {
        const QByteArray record = simRecord({{"model", "Quillrad"}, {"rxPassword", "rx"}, {"timeout", 9}});
        const QJsonObject exported = SettingsFile::exportRecord(bytes(record));
        QCOMPARE(exported, QJsonDocument::fromJson(R"({"TCP IP Adr": "198.18.0.2", "TCP Port": 50000, "Use DHCP": false,
            "SubNet Mask": "255.255.255.0", "GateWay IP": "198.18.0.254", "Use Alternate Data Destination UDP Address": false,
            "UDP Adr": "0.0.0.0", "UDP Port": 0, "Quill-xx Operation Mode": "I/Q Mode", "UART Operational Mode": "Normal",
            "Audio Monitor": "Monitor Off", "External Ref": "Ext Ref Off", "Quill-xx Description": "Emulated receiver",
            "Quill-xx Description URL": "", "Optional Quill-xx Server URL": "", "List Server Domain": "", "List Server Script Path": "",
            "Receive Password": "********", "Transmit Password": "********", "Latitude": "51.5074", "Longitude": "-0.1278",
            "Connection Time Limit": 9})").object());
        QCOMPARE(SettingsFile::exportRecord(bytes(record), true).value("Receive Password"), QJsonValue("rx"));
        // Applied unchanged, with a value's other form beside it, it plans nothing.
        QJsonObject entry = exported;
        entry.insert("tcpport", "50000");
        entry.remove("TCP Port");
        const SettingsFile::Plan p = planned(record, QJsonDocument(QJsonObject{{"receivers", QJsonObject{{"QX1", entry}}}}).toJson());
        QCOMPARE(p.problems, QStringList());
        QVERIFY(p.changes.isEmpty());
        QCOMPARE(p.target, record);
    }

    void recordedBesideDamage()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("updates.jsonl");
        QVERIFY(Fixtures::writeFile(file, "{\"event\":\"settings\",\"changes\":7}\n"));
        const QByteArray before = simRecord({{"model", "Quillix"}, {"txPassword", "old"}});
        QVERIFY(UpdateRecord::appendSettings(bytes(before), bytes(simRecord({{"model", "Quillix"}, {"txPassword", "new"},
                                                                             {"tcpPort", 50001}, {"rxPassword", "rx"}})), file));
        const UpdateRecord::Listing l = UpdateRecord::read(file);
        QCOMPARE(l.skipped, QStringList{file + " line 1: damaged or truncated; skipped"});
        QCOMPARE(l.settings.size(), 1);
        QJsonObject line = l.settings[0].json;
        QVERIFY(QDateTime::fromString(line.take("time").toString(), Qt::ISODateWithMs).isValid());
        for (const char* key : {"program", "version", "host", "user"})
            QVERIFY2(!line.take(key).toString().isEmpty(), key);
        QCOMPARE(line, QJsonDocument::fromJson(R"({"event": "settings",
            "receiver": {"model": "Quillix", "serial": "QX1", "mac": "02:00:c0:a8:00:02", "address": "198.18.0.2", "port": 50000},
            "changes": {"TCP Port": {"before": 50000, "after": 50001}, "Receive Password": {"before": "", "after": "********"},
                        "Transmit Password": {"before": "********", "after": "********"}}})").object());
    }
};

QTEST_GUILESS_MAIN(tst_SettingsFile)
#include "tst_settingsfile.moc"
