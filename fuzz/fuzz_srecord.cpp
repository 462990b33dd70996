// Arbitrary bytes as an S-record image: the configuration record search and
// the whole package build, checking what every package must be.
#include "package_builder.h"
#include "srecord.h"

#include <QLoggingCategory>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

struct Quiet {
    Quiet() { QLoggingCategory::setFilterRules("default.debug=false"); }
} quiet;

void require(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);

    {
        std::istringstream in(text);
        FirmwareConfig config;
        std::memset(config.bytes, 0xA5, sizeof config.bytes);
        const bool found = read_config_record(in, config);
        if (!found)
            require(config.bytes[0] == 0xA5 && config.bytes[3] == 0xA5);
    }
    {
        std::istringstream in(text);
        SrecLineReader reader(in);
        SrecLine line;
        while (reader.next(line)) {
            require(line.length <= SrecLine::max_chars && line.text[line.length] == '\0');
            const SrecFields f = parse_srec_fields(line);
            require(f.data_bytes == 0 || SrecFields::data_pos + 2 * std::size_t(f.data_bytes) <= line.length);
            (void)check_srec_line(line);
        }
    }

    std::istringstream in(text);
    std::string package;
    int last_line = -1, total = -1;
    PackageBuilder builder;
    builder.set_progress([&](int line, int lines) {
        require(line >= last_line || line == 0);
        require(line <= lines);
        last_line = line;
        total = lines;
    });
    const BuildResult r = builder.build(
        in,
        [&package](const char *bytes, std::size_t n) {
            package.append(bytes, n);
            return true;
        },
        FirmwareConfig{});
    require(r.is_valid());
    require(r.blocks >= 1 && total == r.lines && last_line == r.lines);
    require(package.size() == package_header_size + package_block_size * std::size_t(r.blocks));
    require(std::memcmp(package.data(), r.header.bytes, package_header_size) == 0);

    std::istringstream again(package);
    long seen = 0;
    const PackageScan scan = scan_package(again, [&seen](long, const PackageBlock &block) {
        require(bad_check_lines(block) == 0);
        require(block_page(block) % page_size == 0);
        ++seen;
    });
    require(scan.blocks == r.blocks && seen == r.blocks && scan.trailing_bytes == 0);
    return 0;
}
