#include "MainWindow.h"
#include "ImagePathSet.h"

#include <QtTest>

namespace {
// The fourteen path keys in their stored order, written out by hand: the Quillix block first.
const char* const kKeys[] = {"Config1PathIQ", "Config2PathIQ", "Config3PathIQ", "Config4PathIQ", "App0PathIQ",
                             "App1PathIQ", "App2PathIQ", "Config1PathSDR", "Config2PathSDR", "Config3PathSDR",
                             "Config4PathSDR", "App0PathSDR", "App1PathSDR", "App2PathSDR"};

QSettings store() { return QSettings(QStringLiteral("Pellisar"), QStringLiteral("tst_settings")); }
} // namespace

// Persisted window state and image paths, in a store that scripts/run-test points at a throw-away HOME.
class tst_Settings : public QObject {
    Q_OBJECT
private slots:
    void init() { store().clear(); }

    void survivesRestart_data()
    {
        QTest::addColumn<QVariant>("progItem");  // invalid: nothing stored, a first start
        QTest::addColumn<int>("expectedItem");
        QTest::addColumn<bool>("minimised");
        QTest::addRow("first start") << QVariant() << 0 << false;
        QTest::addRow("item 3, minimised") << QVariant(3) << 3 << true;
        QTest::addRow("out of range kept") << QVariant(17) << 17 << false;
        QTest::addRow("not a number reads 0") << QVariant(QStringLiteral("abc")) << 0 << false;
    }

    void survivesRestart()
    {
        QFETCH(QVariant, progItem);
        QFETCH(int, expectedItem);
        QFETCH(bool, minimised);
        const bool firstStart = !progItem.isValid();
        const auto path = [&](int i) {
            return firstStart ? QCoreApplication::applicationDirPath() + (i < 7 ? "/Quillix/" : "/Quillrad/")
                              : QStringLiteral("/images/%1.bin").arg(i);
        };
        if (!firstStart) {
            QSettings s = store();
            s.setValue("Paths/ProgItem", progItem);
            for (int i = 0; i < ImagePathSet::Count; ++i)
                s.setValue(QStringLiteral("Paths/") + QLatin1String(kKeys[i]), path(i));
            s.setValue("MainWindow/minstate", minimised);
        }
        {
            MainWindow w;
            QCOMPARE(w.isMinimized(), minimised);
            if (firstStart)
                QCOMPARE(w.size(), QSize(434, 303));
            w.resize(500, 350);
        }
        {
            // The second start restores what the first one stored.
            MainWindow w;
            QCOMPARE(w.isMinimized(), minimised);
            QCOMPARE(w.size(), QSize(500, 350));
        }
        // A normal exit writes every key, defaults included.
        QSettings s = store();
        QVERIFY2(s.fileName().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")), qPrintable(s.fileName()));
        QStringList expected{"MainWindow/geometry", "MainWindow/minstate", "MainWindow/state", "Paths/ProgItem"};
        for (const char* key : kKeys)
            expected << QStringLiteral("Paths/") + QLatin1String(key);
        QStringList keys = s.allKeys();
        keys.sort();
        expected.sort();
        QCOMPARE(keys, expected);
        QCOMPARE(s.value("Paths/ProgItem").toInt(), expectedItem);
        QCOMPARE(s.value("MainWindow/minstate").toBool(), minimised);
        for (int i = 0; i < ImagePathSet::Count; ++i)
            QCOMPARE(s.value(QStringLiteral("Paths/") + QLatin1String(kKeys[i])).toString(), path(i));
    }
};

QTEST_MAIN(tst_Settings)
#include "tst_settings.moc"
