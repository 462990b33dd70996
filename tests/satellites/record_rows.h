#pragma once

// The record rules' rows: a table row, the record the write sends for it,
// and the cells the write alters on the way. The record test and the mark
// test both take their rows from here.

#include <QList>
#include <QtTest>

#include <cstring>

#include "sat_list.h"

Q_DECLARE_METATYPE(SatRow)
Q_DECLARE_METATYPE(SatRecord)

inline SatRecord make_record(const QByteArray &name, uint8_t b16, uint8_t b17, uint8_t b18, uint8_t b19)
{
    SatRecord rec;
    std::memcpy(rec.bytes, name.constData(), static_cast<size_t>(qMin(name.size(), 16)));
    rec.bytes[16] = b16;
    rec.bytes[17] = b17;
    rec.bytes[18] = b18;
    rec.bytes[19] = b19;
    return rec;
}

inline QByteArray record_bytes(const SatRecord &rec)
{
    return QByteArray(reinterpret_cast<const char *>(rec.bytes), sat_record_size).toHex(' ');
}

// Columns "row" (SatRow), "record" (SatRecord) and "altered" (QList<int>,
// the columns whose cell the box gets otherwise than it reads, or cannot send
// back).
inline void add_record_rows()
{
    QTest::addColumn<SatRow>("row");
    QTest::addColumn<SatRecord>("record");
    QTest::addColumn<QList<int>>("altered");
    const QList<int> none;
    const QList<int> name{col_name};
    const QList<int> position{col_position};
    const QList<int> vertical{col_vertical};
    const QList<int> horizontal{col_horizontal};
    const QByteArray u_umlaut = "\xC3\xBC";

    QTest::newRow("Sat 1") << SatRow{"Sat 1", "192", "45", "-45"}
                           << make_record("Sat 1", 0xC0, 0x00, 0xD3, 0x2D) << none;
    QTest::newRow("name of 15 bytes")
        << SatRow{"ABCDEFGHIJKLMNO", "", "", ""} << make_record("ABCDEFGHIJKLMNO", 0, 0, 0, 0) << none;
    QTest::newRow("name of 16 bytes")
        << SatRow{"ABCDEFGHIJKLMNOP", "", "", ""} << make_record("ABCDEFGHIJKLMNO", 0, 0, 0, 0) << name;
    QTest::newRow("longer name cut") << SatRow{"ABCDEFGHIJKLMNOPQR", "", "", ""}
                                     << make_record("ABCDEFGHIJKLMNO", 0, 0, 0, 0) << name;
    QTest::newRow("UTF-8 name of 15 bytes")
        << SatRow{QString::fromUtf8("T" + u_umlaut.repeated(7)), "", "", ""}
        << make_record("T" + u_umlaut.repeated(7), 0, 0, 0, 0) << none;
    QTest::newRow("UTF-8 name of 16 bytes, a character across byte 15: cut before it")
        << SatRow{QString::fromUtf8(u_umlaut.repeated(8)), "", "", ""}
        << make_record(u_umlaut.repeated(7), 0, 0, 0, 0) << name;
    QTest::newRow("empty row") << SatRow{} << make_record("", 0, 0, 0, 0) << none;
    QTest::newRow("vertical -17 sent as it reads, with the byte 0xEF")
        << SatRow{"", "", "-17", ""} << make_record("", 0, 0, 0, 0xEF) << vertical;
    QTest::newRow("empty slot from box")
        << SatRow{"Free", " ", " ", " "} << make_record("Free", 0, 0, 0, 0) << none;
    QTest::newRow("plus sign and leading zeros")
        << SatRow{"", "+5", "007", "-007"} << make_record("", 5, 0, 0xF9, 7) << none;
    QTest::newRow("position 5000") << SatRow{"", "5000", "", ""} << make_record("", 0x88, 0x13, 0, 0) << none;
    QTest::newRow("position 5001") << SatRow{"", "5001", "", ""} << make_record("", 0, 0, 0, 0) << position;
    QTest::newRow("position -5000") << SatRow{"", "-5000", "", ""} << make_record("", 0x78, 0xEC, 0, 0)
                                    << none;
    QTest::newRow("position -30000") << SatRow{"", "-30000", "", ""} << make_record("", 0xD0, 0x8A, 0, 0)
                                     << none;
    QTest::newRow("position 40000") << SatRow{"", "40000", "", ""} << make_record("", 0, 0, 0, 0) << position;
    QTest::newRow("position text") << SatRow{"", "12x", "", ""} << make_record("", 0, 0, 0, 0) << position;
    QTest::newRow("position 12.5") << SatRow{"", "12.5", "", ""} << make_record("", 0, 0, 0, 0) << position;
    QTest::newRow("vertical 90") << SatRow{"", "", "90", ""} << make_record("", 0, 0, 0, 90) << none;
    QTest::newRow("vertical 91") << SatRow{"", "", "91", ""} << make_record("", 0, 0, 0, 0x2D) << vertical;
    QTest::newRow("vertical -91") << SatRow{"", "", "-91", ""} << make_record("", 0, 0, 0, 0x2D) << vertical;
    QTest::newRow("vertical 200 cut first")
        << SatRow{"", "", "200", ""} << make_record("", 0, 0, 0, 0xC8) << vertical;
    QTest::newRow("vertical 300 cut first")
        << SatRow{"", "", "300", ""} << make_record("", 0, 0, 0, 44) << vertical;
    QTest::newRow("horizontal 91") << SatRow{"", "", "", "91"} << make_record("", 0, 0, 0xD3, 0)
                                   << horizontal;
    QTest::newRow("horizontal -100") << SatRow{"", "", "", "-100"} << make_record("", 0, 0, 0xD3, 0)
                                     << horizontal;
    QTest::newRow("horizontal -90") << SatRow{"", "", "", "-90"} << make_record("", 0, 0, 0xA6, 0) << none;
}
