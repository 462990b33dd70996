// Feeds arbitrary bytes as a satellite CSV file through the list reader and
// the field rules, as "Read from file" and vr20-box do.
#include "sat_list.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const CsvList list = read_csv_list(content);
    if (int(list.lines.size()) > sat_count || list.file_names.size() != list.lines.size())
        std::abort();
    // A replacement character only where the file holds one.
    const bool holds_replacement = content.contains("\xEF\xBF\xBD");
    for (const CsvFields &fields : list.lines) {
        if (!fields.is_valid())
            continue;
        if (fields.name.toUtf8().size() > sat_name_bytes * 3
            || (!holds_replacement && fields.name.contains(QChar(0xFFFD))))
            std::abort();
        // The numbers the table shows must read back unchanged once saved.
        QByteArray saved = format_csv_line(fields.cells()).toUtf8();
        saved.chop(1);
        const CsvFields again = parse_csv_line(saved);
        if (!again.is_valid() || again.position != fields.position || again.vertical != fields.vertical
            || again.horizontal != fields.horizontal)
            std::abort();
        (void)row_to_record(fields.cells());
    }
    (void)csv_report(list);
    return 0;
}
