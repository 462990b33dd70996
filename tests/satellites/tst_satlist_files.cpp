// The satellite list's CSV files through the real window and its file
// dialogs; and the second entry of the list read.
#include "satlist_fixture.h"

#include <cstring>

#include "file_size_limit.h"

using namespace satlist;

Q_DECLARE_METATYPE(QList<QStringList>)

struct SatlistFilesTag;
template <>
struct VelmoraAccess<SatlistFilesTag> {
    static uint8_t *record() { return velmora::sat_record; }
};

namespace {

const QStringList marker{"before", "1", "2", "3"};

QByteArray lines(int count, const char *form)
{
    QByteArray all;
    for (int k = 1; k <= count; ++k)
        all += QByteArray(form).replace("%1", QByteArray::number(k));
    return all;
}

void write_file(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(content), qint64(content.size()));
}

} // namespace

class TstSatlistFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(velmora); }

    void save_and_read_back()
    {
        ListRig r;
        const QString path = r.dir.filePath("list.csv");
        set_row(r.window, 0, {"Sat 1", "192", "45", "-45"});
        set_row(r.window, 1, {"Blank", " ", " ", " "});
        set_row(r.window, 2, {QString::fromUtf8("Astra \xC3\xBC long name"), "-200", "", "7"});
        set_row(r.window, 3, {"A,B", "1", "2", "3"});

        r.choose(r.window.ui.pushButton_sat_save_file, path);
        QCOMPARE(r.driver.texts(),
                 QStringList{"The file was saved, but 1 row will not read back from the file as "
                             "it is (a list file has no quoting: a comma or a line feed splits "
                             "the line):\n  row 4: the name \"A,B\" holds a comma"});
        QCOMPARE(r.window.ui.lineEdit_sat_setting->text(), QFileInfo(path).absoluteFilePath());
        QCOMPARE(r.window.ui.progressBar_sat_setting->value(), 100);
        // UTF-8 whatever the locale.
        const QByteArray expected
            = "Sat 1,192,45,-45,\nBlank,,,,\nAstra \xC3\xBC long name,-200,,7,\nA,B,1,2,3,\n"
            + QByteArray(",,,,\n").repeated(195);
        QCOMPARE(read_file(path), expected);

        for (int row = 0; row < sats; ++row)
            set_row(r.window, row, marker);
        r.choose(r.window.ui.pushButton_sat_read_file, path);
        // The name's comma shifts the fields of its line.
        QCOMPARE(r.driver.texts().size(), 2);
        QCOMPARE(r.driver.texts().constLast(),
                 QString("The file was loaded, but not all of it reads as it "
                         "stands.\n\n1 number field does not read as the number "
                         "it shows:\n  line 4, position \"B\" reads as 18"));
        QCOMPARE(r.window.ui.progressBar_sat_setting->value(), 100);
        QCOMPARE(row_texts(r.window, 0), (QStringList{"Sat 1", "192", "45", "-45"}));
        QCOMPARE(row_texts(r.window, 1), (QStringList{"Blank", "0", "0", "0"}));
        // 15 bytes of UTF-8 (the u-umlaut is two).
        QCOMPARE(row_texts(r.window, 2),
                 (QStringList{QString::fromUtf8("Astra \xC3\xBC long n"), "-200", "0", "7"}));
        // The comma of the name splits its line: "B" is a position of 'B' - 48.
        QCOMPARE(row_texts(r.window, 3), (QStringList{"A", "18", "1", "2"}));
        QCOMPARE(row_texts(r.window, 198), (QStringList{"", "0", "0", "0"}));

        QCOMPARE(r.files.asked(),
                 (QStringList{R"x(save "Save Files" in .. for "CSV Files(*.csv)", parentless)x",
                              R"x(open "open File" in .. for "CSV Files(*.csv)")x"}));
    }

    void save_replaces_a_longer_file()
    {
        ListRig r;
        const QString path = r.dir.filePath("long.csv");
        write_file(path, QByteArray(20000, 'Z'));
        r.choose(r.window.ui.pushButton_sat_save_file, path);
        QCOMPARE(read_file(path), QByteArray(",,,,\n").repeated(sats));
    }

    void failed_save_keeps_the_old_file()
    {
        ListRig r;
        const QString path = r.dir.filePath("old.csv");
        write_file(path, "old,1,2,3,\n");
        {
            harness::FileSizeLimit full(64);
            r.choose(r.window.ui.pushButton_sat_save_file, path);
        }
        QCOMPARE(r.driver.texts(), QStringList{"Fail to save CSV file, the file is unchanged"});
        QCOMPARE(r.end_title(), QString("Warning"));
        QCOMPARE(read_file(path), QByteArray("old,1,2,3,\n"));
        QCOMPARE(QDir(r.dir.path()).entryList(QDir::Files), QStringList{"old.csv"});
    }

    void read_rules_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QList<QStringList>>("rows"); // rows 0.. as read; the next keeps its marker
        QTest::addColumn<QString>("said"); // how the warning starts; empty: no warning

        const QList<QStringList> two{{"a", "1", "2", "3"}, {"b", "-4", "5", "-6"}};
        const QString partly = "The file was loaded, but not all of it reads as it stands.\n\n";
        const QString nothing = "The file holds no satellite line";
        QTest::newRow("LF") << QByteArray("a,1,2,3,\nb,-4,5,-6,\n") << two << QString();
        QTest::newRow("CR LF") << QByteArray("a,1,2,3,\r\nb,-4,5,-6,\r\n") << two << QString();
        QTest::newRow("last line without line end")
            << QByteArray("a,1,2,3,\nb,-4,5,-6,\nc,7,8,9") << two
            << partly + "1 line is not a satellite row and was skipped:\n  line 3: \"c,7,8,9\"";
        QTest::newRow("one line without line end")
            << QByteArray("a,1,2,3,") << QList<QStringList>{} << nothing;
        QTest::newRow("fewer than three commas keep their rows")
            << QByteArray("a,1,2,3,\n\nshort,1\nb,-4,5,-6,\n")
            << QList<QStringList>{{"a", "1", "2", "3"}, marker, marker, {"b", "-4", "5", "-6"}}
            << partly
                + "2 lines are not satellite rows and were skipped:\n  line 2: \"\"\n  line 3: \"short,1\"";
        QTest::newRow("semicolons: nothing loaded")
            << QByteArray("a;1;2;3\nb;-4;5;-6\n") << QList<QStringList>{}
            << nothing
                + ": a line of name, position, vertical and horizontal, separated by commas. This "
                  "file separates its fields by semicolons (;).\n\nNothing was loaded: the table is as it "
                  "was.";
        QTest::newRow("Windows-1252, a number that is no integer")
            << QByteArray("T\xFCrksat 42E,12.5,2,3,\n")
            << QList<QStringList>{{QString::fromUtf8("T\xC3\xBCrksat 42E"), "1185", "2", "3"}}
            << partly
                + "1 number field does not read as the number it shows:\n  line 1, position \"12.5\" reads "
                  "as 1185";
    }

    void read_rules()
    {
        QFETCH(QByteArray, content);
        QFETCH(QList<QStringList>, rows);
        QFETCH(QString, said);
        ListRig r;
        const QString path = r.dir.filePath("in.csv");
        write_file(path, content);
        for (int row = 0; row < sats; ++row)
            set_row(r.window, row, marker);
        r.choose(r.window.ui.pushButton_sat_read_file, path);
        QCOMPARE(r.driver.texts().size(), said.isEmpty() ? 0 : 1);
        if (!said.isEmpty()) {
            QVERIFY2(r.driver.texts().constFirst().startsWith(said),
                     qPrintable(r.driver.texts().constFirst()));
            QCOMPARE(r.end_title(), QString("Warning"));
        }
        for (int row = 0; row < rows.size(); ++row)
            QCOMPARE(row_texts(r.window, row), rows[row]);
        QCOMPARE(row_texts(r.window, rows.size()), marker);
    }

    void more_than_199_lines()
    {
        ListRig r;
        const QString path = r.dir.filePath("many.csv");
        write_file(path, lines(250, "s%1,%1,1,2,\n"));
        r.choose(r.window.ui.pushButton_sat_read_file, path);
        QCOMPARE(row_texts(r.window, 0), (QStringList{"s1", "1", "1", "2"}));
        QCOMPARE(row_texts(r.window, 198), (QStringList{"s199", "199", "1", "2"}));
        QCOMPARE(r.window.ui.sat_setting->rowCount(), sats);
    }

    void file_problems()
    {
        ListRig r;
        set_row(r.window, 0, marker);
        r.window.ui.pushButton_sat_read_file->click(); // dialog cancelled
        r.window.ui.pushButton_sat_save_file->click();
        r.choose(r.window.ui.pushButton_sat_read_file, r.dir.filePath("missing.csv"));
        r.choose(r.window.ui.pushButton_sat_save_file, r.dir.filePath("no/such/dir/out.csv"));
        QCOMPARE(
            r.driver.texts(),
            (QStringList{"No CSV file", "No CSV file", "Fail to open CSV file", "Fail to open CSV file"}));
        for (const auto &box : r.driver.boxes())
            QCOMPARE(box.title, QString("Warning"));
        QCOMPARE(row_texts(r.window, 0), marker);
        QVERIFY(!QFile::exists(r.dir.filePath("no")));
    }

    void second_entry_of_the_list_read()
    {
        ListRig r;
        uint8_t *record = VelmoraAccess<SatlistFilesTag>::record();
        std::fill(record, record + 20, uint8_t(0));
        std::memcpy(record, "Zero", 4);
        set_row(r.window, 4, marker);

        QMetaObject::invokeMethod(&r.window, "slt_sat_data_ready", Q_ARG(uchar, 0));
        QCOMPARE(row_texts(r.window, 4), marker);
        QVERIFY(r.driver.boxes().isEmpty());

        // Always numbers here: no blanks for an all-zero record.
        QMetaObject::invokeMethod(&r.window, "slt_sat_data_ready", Q_ARG(uchar, 5));
        QCOMPARE(row_texts(r.window, 4), (QStringList{"Zero", "0", "0", "0"}));
        QCOMPARE(r.window.ui.progressBar_sat_setting->value(), 6);
        QVERIFY(r.driver.boxes().isEmpty());

        // The backup warns of a name its file cannot give back.
        set_row(r.window, 6, {"A,B", "1", "2", "3"});
        QMetaObject::invokeMethod(&r.window, "slt_sat_data_ready", Q_ARG(uchar, 200));
        QCOMPARE(
            r.driver.texts(),
            (QStringList{"Satellite data read successfully!",
                         "The satellite list was backed up to " + backup_folder()
                             + ", but 1 row will not read back from the file as it is (a list file has no "
                               "quoting: a comma or a line feed splits the line):\n  row 7: the name \"A,B\" "
                               "holds a comma"}));
        QCOMPARE(r.end_title(), QString("Info"));

        // The read's backup holds what "Save to file" writes.
        const QStringList backups = r.backups("-read.csv");
        QCOMPARE(backups.size(), 1);
        QVERIFY(backups[0].startsWith(r.dir.filePath("data") + "/"));
        const QString saved = r.dir.filePath("saved.csv");
        r.choose(r.window.ui.pushButton_sat_save_file, saved);
        QCOMPARE(read_file(backups[0]), read_file(saved));
        QVERIFY(read_file(saved).contains("\nZero,0,0,0,\n"));
    }

    void a_backup_that_fails_is_told_after_the_read()
    {
        ListRig r;
        // A file where the backup folder belongs.
        QVERIFY(QDir().mkpath(QFileInfo(backup_folder()).path()));
        write_file(backup_folder(), "not a folder");
        QMetaObject::invokeMethod(&r.window, "slt_sat_data_ready", Q_ARG(uchar, 200));
        QCOMPARE(
            r.driver.texts(),
            (QStringList{"Satellite data read successfully!", "The satellite list could not be backed up."}));
        const harness::ShownBox warning = r.driver.boxes().at(1);
        QCOMPARE(warning.title, QString("Warning"));
        QCOMPARE(warning.icon, QMessageBox::Warning);
        QCOMPARE(warning.button_texts, QStringList{"Yes"});
        QVERIFY2(warning.detailed_text.contains(backup_folder()), qPrintable(warning.detailed_text));
        QVERIFY(sat_buttons_enabled(r.window));
        // Told once: the next read that backs up fine says nothing more.
        QVERIFY(QFile::remove(backup_folder()));
        r.driver.clear();
        QMetaObject::invokeMethod(&r.window, "slt_sat_data_ready", Q_ARG(uchar, 200));
        QCOMPARE(r.driver.texts(), QStringList{"Satellite data read successfully!"});
    }

    // Cells the write would alter are marked as the file fills them, and
    // the marks follow an edit.
    void out_of_range_values_from_a_file_are_marked()
    {
        ListRig r;
        const QString path = r.dir.filePath("far.csv");
        write_file(path, "Far,5001,91,-91,\nNear,192,45,-45,\n");
        r.choose(r.window.ui.pushButton_sat_read_file, path);
        QTableWidget *table = r.window.ui.sat_setting;
        QVERIFY(!cell_marked(*table->item(0, 0)));
        QCOMPARE(table->item(0, 1)->toolTip(), QString("5001 is above 5000: the box gets 0"));
        QCOMPARE(table->item(0, 2)->toolTip(), QString("91 is above 90: the box gets 45"));
        QCOMPARE(table->item(0, 3)->toolTip(), QString("-91 is below -90: the box gets -45"));
        for (int col = 1; col < sat_columns; ++col)
            QVERIFY(cell_marked(*table->item(0, col)));
        for (int col = 0; col < sat_columns; ++col)
            QVERIFY(!cell_marked(*table->item(1, col)));

        QVERIFY(type_cell(r.window, 0, 1, "5000"));
        QVERIFY(!cell_marked(*table->item(0, 1)));
        QVERIFY(type_cell(r.window, 1, 2, "-128"));
        QCOMPARE(table->item(1, 2)->toolTip(), QString("-128 is below -90: the box gets 45"));
        QVERIFY(r.driver.boxes().isEmpty());
    }

    void read_from_file_with_unsaved_edits_data()
    {
        QTest::addColumn<bool>("edit");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("no edits: read at once") << false << QString() << true;
        QTest::newRow("edits, Cancel: nothing read") << true << "Cancel" << false;
        QTest::newRow("edits, Discard: read") << true << "Discard" << true;
    }

    void read_from_file_with_unsaved_edits()
    {
        QFETCH(bool, edit);
        QFETCH(QString, answer);
        QFETCH(bool, loaded);
        ListRig r;
        const QString path = r.dir.filePath("in.csv");
        write_file(path, "From file,1,2,3,\n");
        if (edit)
            QVERIFY(type_cell(r.window, 0, 0, "Edited"));
        if (!answer.isEmpty())
            r.driver.queue_answer(answer);
        r.choose(r.window.ui.pushButton_sat_read_file, path);

        QCOMPARE(r.driver.boxes().size(), edit ? 1 : 0);
        if (edit) {
            const harness::ShownBox question = r.driver.boxes().constFirst();
            QCOMPARE(question.title, QString("Unsaved edits"));
            QCOMPARE(question.answer, answer);
            QCOMPARE(question.default_button, QMessageBox::Cancel);
        }
        QCOMPARE(r.files.asked().size(), loaded ? 1 : 0);
        QCOMPARE(row_texts(r.window, 0).constFirst(), loaded ? QString("From file") : QString("Edited"));

        // What the file filled holds no edit: the next read asks nothing.
        r.driver.clear();
        r.choose(r.window.ui.pushButton_sat_read_file, path);
        QCOMPARE(r.driver.boxes().size(), loaded ? 0 : 1);
    }

    void closing_with_unsaved_edits_data()
    {
        QTest::addColumn<bool>("edit");
        QTest::addColumn<bool>("save");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("closed");
        QTest::newRow("no edits: closes at once") << false << false << QString() << true;
        QTest::newRow("edits, Cancel: stays") << true << false << "Cancel" << false;
        QTest::newRow("edits, Discard: closes") << true << false << "Discard" << true;
        QTest::newRow("edits saved to a file: closes at once") << true << true << QString() << true;
    }

    void closing_with_unsaved_edits()
    {
        QFETCH(bool, edit);
        QFETCH(bool, save);
        QFETCH(QString, answer);
        QFETCH(bool, closed);
        ListRig r;
        r.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.window));
        if (edit)
            QVERIFY(type_cell(r.window, 7, 1, "-5"));
        if (save)
            r.choose(r.window.ui.pushButton_sat_save_file, r.dir.filePath("kept.csv"));
        if (!answer.isEmpty())
            r.driver.queue_answer(answer);
        r.window.ui.pushButton_sat_close->click();

        QCOMPARE(r.driver.texts().size(), answer.isEmpty() ? 0 : 1);
        QCOMPARE(r.window.isVisible(), !closed);
        if (!closed) {
            // Asked again at the next try.
            r.driver.queue_answer("Discard");
            QVERIFY(r.window.close());
            QCOMPARE(r.driver.texts().size(), 2);
        }
    }
};

QTEST_MAIN(TstSatlistFiles)
#include "tst_satlist_files.moc"
