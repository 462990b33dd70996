// The window as the technician sees it: size, tabs, table, port boxes, and
// the texts the form sets.
#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include "form_font.h"
#include "harness.h"
#include "serial_port_handle.h"
#include "velmora.h"

class TstWindowLayout : public QObject
{
    Q_OBJECT

    std::unique_ptr<harness::ModalDriver> driver;
    std::unique_ptr<velmora> window;
    // No port beyond the COM names, whatever this machine has.
    std::shared_ptr<harness::FixedListing> listing = std::make_shared<harness::FixedListing>();

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(velmora);
        if (harness::com_name_exists())
            QSKIP("a /dev/COMn exists on this machine; the start-up probe would find it");
        driver = std::make_unique<harness::ModalDriver>();
        window = std::make_unique<velmora>(listing);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    void cleanupTestCase()
    {
        window.reset();
        driver.reset();
    }

    void no_port_gives_one_warning_and_no_port_object()
    {
        QCOMPARE(driver->boxes().size(), 1);
        const harness::ShownBox box = driver->boxes().first();
        QCOMPARE(box.title, QStringLiteral("Warning"));
        QCOMPARE(box.text, QStringLiteral("Serial Port Not Found!"));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Yes));
        QCOMPARE(box.default_button, QMessageBox::NoButton);
        QCOMPARE(box.icon, QMessageBox::Warning);
        QVERIFY(box.parentless);
        QCOMPARE(window->ui.comboBox_port_rw->currentIndex(), 0);
        QCOMPARE(window->ui.comboBox_port_update->currentIndex(), 0);
        QVERIFY(!harness::worker(*window).has_port());
    }

    void window_is_fixed_at_800_by_600()
    {
        QCOMPARE(window->size(), QSize(800, 600));
        QCOMPARE(window->minimumSize(), QSize(800, 600));
        QCOMPARE(window->maximumSize(), QSize(800, 600));
        window->resize(1000, 700);
        QCOMPARE(window->size(), QSize(800, 600));
        QCOMPARE(window->windowTitle(), QStringLiteral("Quorinel VR20 Loader Editor v2.0"));
        QCOMPARE(window->objectName(), QStringLiteral("velmoraClass"));
        QVERIFY(!window->windowIcon().isNull());
        QCOMPARE(window->locale(), QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void two_tabs_are_shown()
    {
        QTabWidget *tabs = window->ui.tabWidget;
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(tabs->tabText(0), QStringLiteral("Satellite Setting"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("Update"));
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(tabs->indexOf(window->ui.tab_2), -1);
        QVERIFY(!window->ui.pushButton_package_start->isVisible());
        QVERIFY(window->ui.label_mcu_m->isHidden());
        QVERIFY(window->ui.label_mcu_u->isHidden());
    }

    void the_satellite_table()
    {
        QTableWidget *table = window->ui.sat_setting;
        QCOMPARE(table->rowCount(), 199);
        QCOMPARE(table->columnCount(), 4);
        const QStringList titles{"Satellite Name", "Position", "Vertical", "Horizontal"};
        for (int col = 0; col < 4; ++col) {
            QCOMPARE(table->horizontalHeaderItem(col)->text(), titles.at(col));
            QCOMPARE(table->horizontalHeaderItem(col)->textAlignment(), int(Qt::AlignCenter));
        }
        QCOMPARE(table->columnWidth(0), 240);
        QCOMPARE(table->horizontalHeader()->defaultSectionSize(), 80);
        QCOMPARE(table->verticalHeader()->defaultSectionSize(), 30);
        QVERIFY(!table->isSortingEnabled());
        // Rows are numbered by the header, not named.
        QCOMPARE(table->model()->headerData(0, Qt::Vertical).toInt(), 1);
        QCOMPARE(table->model()->headerData(198, Qt::Vertical).toInt(), 199);
    }

    void port_boxes_hold_fifteen_names_data()
    {
        QTest::addColumn<int>("retranslations");
        QTest::newRow("as built") << 0;
        QTest::newRow("after a second retranslateUi") << 1;
    }

    void port_boxes_hold_fifteen_names()
    {
        QFETCH(int, retranslations);
        for (int i = 0; i < retranslations; ++i)
            window->ui.retranslateUi(window.get());
        for (QComboBox *box : {window->ui.comboBox_port_rw, window->ui.comboBox_port_update}) {
            QCOMPARE(box->count(), 15);
            for (int row = 0; row < 15; ++row)
                QCOMPARE(box->itemText(row), QStringLiteral("COM%1").arg(row + 1));
        }
    }

    void texts_and_placement_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("read from device") << "pushButton_sat_read"
                                          << "Read from device" << QRect(320, 490, 121, 31);
        QTest::newRow("save to device") << "pushButton_sat_save"
                                        << "Save to device" << QRect(470, 490, 121, 31);
        QTest::newRow("save to file") << "pushButton_sat_save_file"
                                      << "Save to file" << QRect(170, 490, 121, 31);
        QTest::newRow("read from file") << "pushButton_sat_read_file"
                                        << "Read from file" << QRect(20, 490, 121, 31);
        QTest::newRow("get soft limit") << "pushButton_get_lmt"
                                        << "Get soft limit" << QRect(30, 150, 121, 31);
        QTest::newRow("set soft limit") << "pushButton_set_lmt"
                                        << "Set soft limit" << QRect(30, 210, 121, 31);
        QTest::newRow("east label") << "label_22"
                                    << "EAST Limit" << QRect(20, 80, 71, 31);
        QTest::newRow("west label") << "label_23"
                                    << "WEST Limit" << QRect(20, 30, 71, 31);
        QTest::newRow("update start") << "pushButton_update_start"
                                      << "Start" << QRect(320, 440, 121, 31);
        QTest::newRow("update stop") << "pushButton_update_stop"
                                     << "Stop" << QRect(470, 440, 121, 31);
        QTest::newRow("package chooser") << "pushButton_bin_update"
                                         << "..." << QRect(560, 220, 41, 31);
        QTest::newRow("update file") << "label_9"
                                     << "Update File" << QRect(30, 220, 71, 31);
        QTest::newRow("status") << "label_update_status"
                                << "" << QRect(110, 290, 571, 20);
        QTest::newRow("s19 label") << "label_19"
                                   << "S19 File" << QRect(30, 180, 71, 31);
    }

    void texts_and_placement()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QRect, geometry);
        auto *widget = window->findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->property("text").toString(), text);
        QCOMPARE(widget->geometry(), geometry);
    }

    // Where a caption needed more room it grew leftwards, and the port boxes
    // rightwards, into free space.
    void widened_widgets_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("satellite tab's port caption") << "label_14" << QRect(610, 360, 61, 31);
        QTest::newRow("update tab's port caption") << "label_15" << QRect(610, 220, 61, 31);
        QTest::newRow("satellite tab's port box") << "comboBox_port_rw" << QRect(680, 360, 86, 31);
        QTest::newRow("update tab's port box") << "comboBox_port_update" << QRect(680, 220, 86, 31);
    }

    void widened_widgets()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        auto *widget = window->findChild<QWidget *>(name);
        QVERIFY(widget);
        QCOMPARE(widget->geometry(), geometry);
    }

    // No widget of a tab covers another or reaches past the tab's edge.
    void widgets_keep_apart_data()
    {
        QTest::addColumn<QString>("page");
        QTest::newRow("satellite setting") << "tab_3";
        QTest::newRow("soft limits frame") << "frame";
        QTest::newRow("update") << "tab";
        QTest::newRow("package") << "tab_2";
    }

    void widgets_keep_apart()
    {
        QFETCH(QString, page);
        auto *parent = window->findChild<QWidget *>(page);
        QVERIFY(parent);
        // A page as the tab widget shows it (the removed package page had the
        // same room), or the frame.
        const QRect room
            = parent == window->ui.frame ? parent->rect() : QRect(QPoint(0, 0), window->ui.tab_3->size());
        const QList<QWidget *> widgets
            = parent->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(widgets.size() > 3);
        for (int i = 0; i < widgets.size(); ++i) {
            const QRect r = widgets[i]->geometry();
            QVERIFY2(room.contains(r), qPrintable(widgets[i]->objectName()));
            for (int j = i + 1; j < widgets.size(); ++j)
                QVERIFY2(!r.intersects(widgets[j]->geometry()),
                         qPrintable(widgets[i]->objectName() + " / " + widgets[j]->objectName()));
        }
    }

    void fonts_and_frames()
    {
        QCOMPARE(window->ui.lineEdit_est_lmt->font().family(), QStringLiteral("Arial"));
        QCOMPARE(window->ui.label_22->font().pointSize(), 9);
        QCOMPARE(window->ui.label_model_u->font().family(), QStringLiteral("Arial"));
        QCOMPARE(window->ui.label_model_u->font().pointSize(), 9);
        QCOMPARE(window->ui.label_model_u->frameShape(), QFrame::Box);
        QCOMPARE(window->ui.label_model_u->frameShadow(), QFrame::Raised);
        QCOMPARE(window->ui.label_22->alignment(), Qt::AlignRight | Qt::AlignVCenter);
        QCOMPARE(window->ui.progressBar_update->maximum(), 100);
        QCOMPARE(window->ui.progressBar_update->value(), 0);
    }

    // The form's face becomes the application's font; without a face to
    // load the font stays as it was.
    void the_form_font_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("loads");
        QTest::newRow("Tahoma from fonts-wine") << QString::fromLatin1(form_font_file) << true;
        QTest::newRow("a missing file") << "/nonexistent/vr20/tahoma.ttf" << false;
        QTest::newRow("a file that holds no face") << QCoreApplication::applicationFilePath() << false;
    }

    void the_form_font()
    {
        QFETCH(QString, file);
        QFETCH(bool, loads);
        if (loads && !QFileInfo::exists(file))
            QSKIP("fonts-wine is not installed (scripts/packages.sh installs it)");
        const QFont before = QApplication::font();
        const QString family = use_form_font(file);
        const QFont after = QApplication::font();
        QApplication::setFont(before);
        QCOMPARE(after.family(), family);
        if (loads) {
            QCOMPARE(family, QStringLiteral("Tahoma"));
            QCOMPARE(after.pointSize(), 9);
        } else {
            QCOMPARE(after, before);
        }
    }

    void every_close_button_closes_the_window_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("satellite tab") << "pushButton_sat_close";
        QTest::newRow("update tab") << "pushButton_update_close";
        QTest::newRow("package tab") << "pushButton_package_close";
    }

    void every_close_button_closes_the_window()
    {
        QFETCH(QString, name);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->findChild<QPushButton *>(name)->click();
        QVERIFY(!window->isVisible());
    }
};

QTEST_MAIN(TstWindowLayout)
#include "tst_window_layout.moc"
