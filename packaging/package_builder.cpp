#include "package_builder.h"

#include <QLoggingCategory>

#include <algorithm>
#include <istream>
#include <sstream>

#include "whole_file.h"

namespace {

Q_LOGGING_CATEGORY(package_log, "vr20.package", QtWarningMsg)

// The configuration record's page.
constexpr uint16_t config_page_first = config_record_address;
constexpr uint16_t config_page_last = config_record_address + 0xFF;
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
    pages.push_back(block_page(open_block));
    return write_block(open_block, sink);
}

BuildResult PackageBuilder::build(std::istream &image, const PackageSink &sink,
                                  const FirmwareConfig &fallback)
{
    BuildResult result;
    blocks_written = 0;
    pages.clear();

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
    result.pages = pages;
    if (!written) {
        result.error = BuildError::package_write_error;
        return result;
    }
    report(on_progress, result.lines, result.lines);
    return result;
}

BuildResult build_package_file(const QByteArray &image_path, const QByteArray &package_path,
                               const FirmwareConfig &fallback, const PackageBuilder::Progress &progress,
                               const std::function<bool(const QByteArray &image)> &accept)
{
    BuildResult result;
    const WholeRead image = read_whole_file(image_path);
    if (!image.ok()) {
        result.error = image.outcome == WholeRead::Outcome::too_large ? BuildError::image_read_error
                                                                      : BuildError::image_not_opened;
        result.detail = image.error;
        return result;
    }
    // Writing the package over its own image would lose the image.
    if (same_file(image_path, package_path)) {
        result.error = BuildError::package_not_opened;
        result.detail = QStringLiteral("it is the image itself");
        return result;
    }
    if (accept && !accept(image.bytes)) {
        result.error = BuildError::refused;
        return result;
    }

    bool opened = false;
    const FileCommit commit = commit_file(package_path, [&](const FileSink &file) {
        opened = true;
        std::istringstream in(image.bytes.toStdString());
        PackageBuilder builder;
        builder.set_progress(progress);
        result = builder.build(
            in, [&file](const char *data, std::size_t size) { return file(data, qint64(size)); }, fallback);
        return result.is_valid();
    });
    if (!commit.ok) {
        if (result.is_valid())
            result.error = opened ? BuildError::package_write_error : BuildError::package_not_opened;
        result.detail = commit.error;
    }
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
