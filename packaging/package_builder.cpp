#include "package_builder.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>

#include <algorithm>
#include <fstream>
#include <istream>
#include <memory>

namespace {

Q_LOGGING_CATEGORY(package_log, "vr20.package", QtWarningMsg)

// The configuration record's page.
constexpr uint16_t config_page_first = config_record_address;
constexpr uint16_t config_page_last = config_record_address + 0xFF;
// The box maps 0x8000-0x9FFF of an image to 0xA000-0xBFFF.
constexpr uint16_t shadow_first = 0x8000;
constexpr uint16_t shadow_last = 0x9FFF;
constexpr uint16_t shadow_shift = 0x2000;
constexpr uint16_t page_mask = 0xFE00;

void report(const PackageBuilder::Progress &progress, int line, int total)
{
    if (progress)
        progress(line, total);
}

} // namespace

bool BuildResult::operator==(const BuildResult &o) const
{
    return error == o.error && std::equal(header.bytes, header.bytes + 4, o.header.bytes)
        && config_found == o.config_found && lines == o.lines && blocks == o.blocks;
}

bool PackageBuilder::close_block(const PackageSink &sink)
{
    qCDebug(package_log, "ADDR = 0x%x%x", unsigned(open_block.bytes[0]), unsigned(open_block.bytes[1]));
    ++blocks_written;
    return write_block(open_block, sink);
}

BuildResult PackageBuilder::build(std::istream &image, const PackageSink &sink,
                                  const FirmwareConfig &fallback)
{
    BuildResult result;
    blocks_written = 0;

    SrecLineReader counter(image);
    ConfigSearch search;
    SrecLine line;
    while (counter.next(line))
        search.feed(line);
    result.lines = static_cast<int>(counter.lines_read());
    result.config_found = search.found();
    result.header = fallback;
    search.apply(result.header);

    if (!sink(reinterpret_cast<const char *>(result.header.bytes), package_header_size)) {
        result.error = BuildError::package_write_error;
        return result;
    }
    report(on_progress, 0, result.lines);

    image.clear();
    image.seekg(0);
    if (!image) {
        result.error = BuildError::image_read_error;
        return result;
    }

    reset_block(open_block);
    page_chosen = false;
    SrecLineReader reader(image);
    for (int j = 0; reader.next(line); ++j) {
        report(on_progress, j, result.lines);
        if (!is_s1_line(line))
            continue;
        const SrecFields f = parse_srec_fields(line);
        if (!f.has_address)
            continue;
        uint16_t address = f.addr;
        if (address >= config_page_first && address <= config_page_last)
            continue;
        if (address >= shadow_first && address <= shadow_last)
            address = static_cast<uint16_t>(address + shadow_shift);
        if (!page_chosen) {
            set_block_page(open_block, address & page_mask);
            page_chosen = true;
        }
        for (int i = 0; i < f.data_bytes; ++i) {
            const uint8_t value = line.byte_at(SrecFields::data_pos + 2 * std::size_t(i));
            const auto at = static_cast<uint16_t>(address + i);
            if (place_byte(open_block, at, value) != place_outside_page)
                continue;
            if (!close_block(sink)) {
                result.error = BuildError::package_write_error;
                result.blocks = blocks_written;
                return result;
            }
            clear_block_lines(open_block);
            set_block_page(open_block, at & page_mask);
            place_byte(open_block, at, value);
        }
    }

    const bool written = close_block(sink);
    reset_block(open_block);
    page_chosen = false;
    result.blocks = blocks_written;
    if (!written) {
        result.error = BuildError::package_write_error;
        return result;
    }
    report(on_progress, result.lines, result.lines);
    return result;
}

BuildResult build_package_file(const QString &image_path, const QString &package_path,
                               const FirmwareConfig &fallback, const PackageBuilder::Progress &progress)
{
    BuildResult result;
    std::ifstream image;
    // A directory opens as a stream that reads nothing.
    if (!QFileInfo(image_path).isDir())
        image.open(QFile::encodeName(image_path).constData(), std::ios::in);
    if (!image.is_open()) {
        result.error = BuildError::image_not_opened;
        return result;
    }

    // A regular file is written whole or not at all: to a temporary file that
    // replaces it on success. A device or pipe (/dev/null, say) must not be
    // replaced by a file, so it is written directly.
    const QFileInfo target(package_path);
    // Writing the package over its own image would lose the image.
    if (target.exists() && target.canonicalFilePath() == QFileInfo(image_path).canonicalFilePath()) {
        result.error = BuildError::package_not_opened;
        return result;
    }
    const bool special = target.exists() && !target.isFile() && !target.isDir();
    std::unique_ptr<QFileDevice> package;
    if (special)
        package = std::make_unique<QFile>(package_path);
    else
        package = std::make_unique<QSaveFile>(package_path);
    if (!package->open(QIODevice::WriteOnly)) {
        result.error = BuildError::package_not_opened;
        return result;
    }
    QFileDevice &out = *package;
    const PackageSink sink = [&out](const char *data, std::size_t size) {
        return out.write(data, static_cast<qint64>(size)) == static_cast<qint64>(size);
    };

    PackageBuilder builder;
    builder.set_progress(progress);
    result = builder.build(image, sink, fallback);
    bool finished = false;
    if (special) {
        finished = out.flush() && out.error() == QFileDevice::NoError;
        out.close();
    } else if (result.is_valid()) {
        finished = static_cast<QSaveFile &>(out).commit();
    } else {
        static_cast<QSaveFile &>(out).cancelWriting();
    }
    if (result.is_valid() && !finished)
        result.error = BuildError::package_write_error;
    return result;
}

ImageCheck check_image(std::istream &image)
{
    ImageCheck check;
    SrecLineReader reader(image);
    ConfigSearch search;
    SrecLine line;
    while (reader.next(line)) {
        ++check.lines;
        search.feed(line);
        if (line.length == 0)
            continue;
        const SrecFault fault = check_srec_line(line);
        if (fault != SrecFault::not_a_record)
            ++check.records;
        if (fault == SrecFault::cut)
            ++check.long_lines;
        else if (fault != SrecFault::none && ++check.faulty_lines == 1) {
            check.first_fault = fault;
            check.first_fault_line = check.lines;
        }
        const SrecFields f = parse_srec_fields(line);
        if (line.text[1] == '1' && f.data_bytes > 0
            && !(f.addr >= config_page_first && f.addr <= config_page_last))
            ++check.s1_data_records;
        // S2 and S3 records carry one and two address bytes more than S1.
        else if ((line.text[1] == '2' || line.text[1] == '3') && f.data_bytes > line.text[1] - '1')
            ++check.wide_data_records;
    }
    const SrecLine &tail = reader.unterminated_tail();
    check.tail_has_data = is_s1_line(tail) && parse_srec_fields(tail).data_bytes > 0;
    check.config_found = search.found();
    return check;
}
