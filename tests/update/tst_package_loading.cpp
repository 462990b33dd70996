// Choosing a package on the Update tab: the dialog, the header shown, the
// block count and the stream left open for the session.
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "update_rig.h"

using namespace update_test;

namespace {

QByteArray header_and_blocks(const QByteArray &header, int blocks, int trailing)
{
    return header + QByteArray(int(package_block_size) * blocks + trailing, char(0x5A));
}

void verify_labels(velmora &w, const QStringList &texts)
{
    QCOMPARE(w.ui.label_model_u->text(), texts.value(0));
    QCOMPARE(w.ui.label_mcu_u->text(), texts.value(1));
    QCOMPARE(w.ui.label_date_u->text(), texts.value(2));
    QCOMPARE(w.ui.label_ver_u->text(), texts.value(3));
}

} // namespace

class TstPackageLoading : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(velmora); }

    void loads_package_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("blocks");
        QTest::addColumn<QStringList>("labels");
        const QStringList known{"Quorinel VR20", "MC9S08PT60", "2015/3/7", "3"};
        const QByteArray header("\x32\x67\x01\x00", 4);
        QTest::newRow("three blocks") << header_and_blocks(header, 3, 0) << 3 << known;
        QTest::newRow("trailing piece not counted") << header_and_blocks(header, 3, 100) << 3 << known;
        QTest::newRow("one byte short of a block") << header_and_blocks(header, 1, 545) << 1 << known;
        QTest::newRow("header only") << QByteArray("\xFF\xFF\xFF\xFF", 4) << 0
                                     << QStringList{"", "", "2028/15/31", "7"};
        // The missing header bytes keep what the window held (all zero).
        QTest::newRow("short header")
            << QByteArray("\x1C\x3F", 2) << 0 << QStringList{"Quorinel VR20", "", "2025/1/31", "1"};
    }

    void loads_package()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, blocks);
        QFETCH(QStringList, labels);
        UpdateRig r;
        QVERIFY(r.ready());
        r.window->ui.pushButton_update_start->setEnabled(false);
        r.window->ui.pushButton_update_stop->setEnabled(false);
        r.window->ui.progressBar_update->setValue(7);
        const QString path = r.write_file(file, QStringLiteral("firmware.bin"));

        r.load(path);
        QVERIFY(r.driver.boxes().isEmpty());
        QCOMPARE(r.files->asked(),
                 QStringList{R"x(open "open File" in .. for "Text Files(*.bin);;All Files(*.*)")x"});

        QCOMPARE(r.window->ui.progressBar_update->maximum(), blocks);
        QVERIFY(package_open(*r.window));
        QCOMPARE(r.window->ui.lineEdit_update->text(), path);
        verify_labels(*r.window, labels);
        QVERIFY(r.window->ui.pushButton_update_start->isEnabled());
        QVERIFY(r.window->ui.pushButton_update_stop->isEnabled());
    }

    void cancelled_dialog_leaves_no_package()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        const QString first = r.write_package(make_package(2));
        r.load(first);
        r.window->ui.pushButton_update_start->setEnabled(false);
        r.window->ui.pushButton_update_stop->setEnabled(false);

        r.load(QString());
        QCOMPARE(r.driver.texts(), QStringList{QStringLiteral("Can not find BIN file")});
        QCOMPARE(r.driver.boxes().first().title, QStringLiteral("Warning"));
        QVERIFY(!package_open(*r.window));
        QVERIFY(r.window->ui.pushButton_update_start->isEnabled());
        QVERIFY(r.window->ui.pushButton_update_stop->isEnabled());
        // What the earlier choice showed stays.
        QCOMPARE(r.window->ui.lineEdit_update->text(), first);
        QCOMPARE(r.window->ui.progressBar_update->maximum(), 2);
        QCOMPARE(r.window->ui.label_date_u->text(), QStringLiteral("2015/3/7"));
    }

    void unreadable_file_warns()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        const QString missing = r.dir.filePath(QStringLiteral("missing.bin"));
        r.load(missing);
        QCOMPARE(r.driver.texts(), QStringList{QStringLiteral("Can not open BIN file")});
        QCOMPARE(r.driver.boxes().first().title, QStringLiteral("Warning"));
        QCOMPARE(r.window->ui.lineEdit_update->text(), missing);
        QVERIFY(!package_open(*r.window));
    }

    // The one stream is closed before the next package is opened.
    void second_package_replaces_first()
    {
        UpdateRig r;
        QVERIFY(r.ready());
        r.load(r.write_package(make_package(3), QStringLiteral("a.bin")));
        TestPackage second = make_package(1, 0, 7);
        second.header = FirmwareConfig{{0x1C, 0x3F, 0x01, 0x00}};
        r.load(r.write_package(second, QStringLiteral("b.bin")));

        QVERIFY(r.driver.boxes().isEmpty());
        QCOMPARE(r.window->ui.progressBar_update->maximum(), 1);
        QVERIFY(package_open(*r.window));
        verify_labels(*r.window, {"Quorinel VR20", "MC9S08PT60", "2025/1/31", "1"});

        // The session sends the second package whole, from its first byte.
        r.press_start();
        QVERIFY(r.wait_session_end());
        QCOMPARE(r.driver.texts(), QStringList{QStringLiteral("Update process completed.")});
        QCOMPARE(first_difference(r.box.received(), second.clean_session()), QString());
    }
};

QTEST_MAIN(TstPackageLoading)
#include "tst_package_loading.moc"
