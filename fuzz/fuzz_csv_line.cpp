// Feeds arbitrary bytes as a satellite CSV file through the line reader and
// the field rules, as "Read from file" does.
#include "sat_list.h"

#include <QBuffer>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray content(reinterpret_cast<const char *>(data), static_cast<int>(size));
    QBuffer file(&content);
    file.open(QIODevice::ReadOnly);

    QByteArray line;
    for (int k = 0; k < sat_count && read_csv_line(file, &line); ++k) {
        if (line.size() > csv_line_max || line.contains('\n'))
            std::abort();
        const CsvFields fields = parse_csv_line(line);
        if (!fields.is_valid())
            continue;
        // The numbers the table shows must read back unchanged once saved.
        QByteArray saved = format_csv_line(fields.cells()).toLocal8Bit();
        saved.chop(1);
        const CsvFields again = parse_csv_line(saved);
        if (!again.is_valid() || again.position != fields.position || again.vertical != fields.vertical
            || again.horizontal != fields.horizontal)
            std::abort();
        (void)row_to_record(fields.cells());
    }
    return 0;
}
