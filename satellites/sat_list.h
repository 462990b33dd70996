#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <vector>

class QIODevice;

constexpr int sat_count = 199; // slots in the box, rows of the table, lines of a CSV file
constexpr int sat_columns = 4; // name, position, vertical, horizontal
constexpr int sat_record_size = 20; // one satellite on the serial line
constexpr int sat_name_bytes = 15; // name bytes the box keeps in front of its zero byte
constexpr int csv_line_max = 254; // characters of a CSV line the reader keeps
// The box's error byte, which restarts a satellite of a list read: a record
// holding it as a value cannot be read back.
constexpr uint8_t box_error_byte = 0xEF;

enum SatColumn { col_name = 0, col_position = 1, col_vertical = 2, col_horizontal = 3 };

// A column as messages name it: "name", "position", "vertical", "horizontal".
QString sat_column_name(SatColumn column);

// The four cell texts of one table row, in column order.
using SatRow = std::array<QString, sat_columns>;

// One satellite as the box stores it: bytes 0-15 name (UTF-8, ended by a zero
// byte), 16-17 position, 18 horizontal, 19 vertical. The position travels
// high byte first from the box and low byte first to the box.
struct SatRecord {
    uint8_t bytes[sat_record_size] = {};
};

// ---- CSV files -----------------------------------------------------------

// The fields of one CSV line after the reader's split and number rules.
struct CsvFields {
    bool valid = false; // false when the line has fewer than three commas
    QString name;
    int16_t position = 0;
    int8_t vertical = 0;
    int8_t horizontal = 0;

    bool is_valid() const { return valid; }
    // The texts the table shows for these fields (plain decimal numbers).
    SatRow cells() const;
    bool operator==(const CsvFields &o) const;
};

// Reads the next line of a CSV file from `in` into `line`, without its line
// end (LF or CR LF) and cut to its first csv_line_max characters; the rest of a
// longer line is skipped, and `cut` (if given) tells whether it was. Returns
// false at the end of the file: a last line with no line end after it is not
// returned (`line` then holds what there was of it).
bool read_csv_line(QIODevice &in, QByteArray *line, bool *cut = nullptr);

// How a list file's bytes are taken: a file that is valid UTF-8 (a
// byte-order mark dropped) as UTF-8, any other as Windows-1252, the "ANSI"
// code page such files come from; its five undefined bytes map to the code
// points Latin-1 gives them. Neither ever yields U+FFFD for a byte.
enum class CsvEncoding { utf8, windows_1252 };
CsvEncoding csv_encoding(const QByteArray &file);
QString decode_csv_text(const QByteArray &bytes, CsvEncoding encoding);

// Splits one CSV line (as read_csv_line gives it) into name, position,
// vertical and horizontal. The name is the text before the first comma, cut
// at the last whole character within sat_name_bytes bytes of the file; the
// horizontal field runs from the third comma to the next comma or the end.
// A line with fewer than three commas gives an invalid result.
CsvFields parse_csv_line(const QByteArray &line, CsvEncoding encoding = CsvEncoding::utf8);

// A list file as both front ends load it, with what it holds that is not a
// sound satellite line. Line k (from 1) is satellite k; lines after the 199th
// are not read.
struct CsvList {
    struct Line {
        int number = 0; // 1..199
        QString text; // the line as the file has it (cut lines: their first 254 characters)
    };
    struct OddField {
        int line = 0;
        SatColumn column = col_position;
        QString text; // the field as the file has it
        int value = 0; // what the number rules made of it
    };

    CsvEncoding encoding = CsvEncoding::utf8;
    // One entry per line read; a line with fewer than three commas is
    // invalid, and its row is not loaded.
    std::vector<CsvFields> lines;
    // Each valid line's name before the cut, as the file has it.
    std::vector<QString> file_names;
    // Lines that are no satellite row: fewer than three commas, or a last
    // line without a line end.
    std::vector<Line> skipped;
    int semicolon_lines = 0; // skipped lines with three semicolons or more
    // Number fields that are not plain integers (blanks and one leading sign
    // allowed), or whose integer does not fit the field's bits: they do not
    // read as the number they show.
    std::vector<OddField> odd_fields;
    std::vector<int> cut_lines; // longer than csv_line_max characters

    int satellite_lines() const;
    // Every line a satellite line, as it reads.
    bool sound() const { return skipped.empty() && odd_fields.empty() && cut_lines.empty(); }
};

// Reads a whole list file.
CsvList read_csv_list(const QByteArray &file);

// What read_csv_list found amiss, for the technician: counts, and the first
// csv_report_shown lines or fields of each kind. Empty when the list is sound.
constexpr int csv_report_shown = 5;
QString csv_report(const CsvList &list);
// The warning for a file without one satellite line; it names a file that
// separates its fields by semicolons.
QString csv_no_satellite_text(const CsvList &list);

// The number rules of a CSV field: blanks are skipped, '-' and '+' set the
// sign wherever they stand (the last one wins), every other character adds a
// digit worth its code minus 48. The value wraps at 16 or 8 bits; the sign is
// applied last. An empty field gives 0.
int16_t csv_number16(const QByteArray &field);
int8_t csv_number8(const QByteArray &field);

// One line of a saved CSV file: the four cell texts, each followed by a comma,
// then LF. An empty cell or one holding exactly " " is an empty field.
QString format_csv_line(const SatRow &row);

// A list file has no quoting: a cell holding a comma or a line feed is saved
// as it is and splits its line when the file is read back. What such a cell
// holds ("a comma", "a line feed", "a comma and a line feed"); empty when it
// reads back as it is.
QString csv_cell_problem(const QString &text);
// The rows of `rows` that a file will not give back as they are, counted,
// and the first csv_report_shown of them; empty when all read back.
QString csv_round_trip_report(const std::vector<SatRow> &rows);

// A whole CSV file of `rows`, each line as format_csv_line gives it, in
// UTF-8 whatever the locale: the bytes "Save to file" writes.
QByteArray format_csv(const std::vector<SatRow> &rows);

// ---- Satellite records ---------------------------------------------------

enum class EmptySlot {
    blank, // a record with position, horizontal and vertical all zero shows " " in those cells
    numbers, // always show the numbers
};

// The table row for a record received from the box.
SatRow record_to_row(const SatRecord &rec, EmptySlot rule = EmptySlot::blank);

// The record sent to the box for a table row: the name's UTF-8 bytes cut at
// the last whole character within sat_name_bytes and zero filled, byte 15 zero; the position by
// QString::toShort, 0 when it is not a number or above 5000, low byte first;
// vertical and horizontal by QString::toInt, their low 8 bits as a signed
// byte, replaced by 45 (vertical) or -45 (horizontal) beyond +-90.
SatRecord row_to_record(const SatRow &row);

// A cell whose text the write does not send as it reads.
struct CellChange {
    SatColumn column;
    QString text; // the cell's text
    QString sent; // what the box gets, as the table would show it ("0", "-45", a name cut short)
    QString reason; // why, e.g. "5001 is above 5000: the box gets 0"
    // What the box gets holds its error byte 0xEF: it can store it, but a
    // list read of that satellite never ends.
    bool unreadable = false;
    bool operator==(const CellChange &o) const;
};

// The cells of `row` that row_to_record alters, by the very rules it uses,
// in column order.
// Not changed: an empty cell, " " (an empty slot as the box shows it), and
// integers the box gets as they mean ("+5", "007"). Changed: a name of more
// than 15 UTF-8 bytes; text that is neither blank nor an integer; a position
// that is no 16-bit number or above 5000; a vertical or horizontal beyond
// 8 bits or beyond +-90. Reported too, though sent as it reads: a value sent
// with the byte 0xEF (a vertical or horizontal of -17, a position with
// either byte 0xEF, a name with a character from U+F000 to U+FFFF).
// Numbers are read as QString::toInt reads them, since that is what the box
// gets: whitespace around a number does not count (" 5 " is 5, not changed),
// a cell of whitespace only is blank, and U+2212 is a minus sign.
// A name cut short is sent back as the table shows it after reading the list
// from the box: its whole characters within 15 bytes.
std::vector<CellChange> write_changes(const SatRow &row);
