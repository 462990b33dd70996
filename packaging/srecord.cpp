#include "srecord.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cstring>
#include <istream>

namespace {

Q_LOGGING_CATEGORY(srecord_log, "vr20.srecord", QtWarningMsg)

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool is_hex(char c)
{
    return digit_value(c) >= 0;
}

} // namespace

uint8_t hex_byte(char first, char second)
{
    const auto value = [](char c) -> unsigned {
        const int d = digit_value(c);
        return d >= 0 ? static_cast<unsigned>(d) : static_cast<unsigned char>(c);
    };
    return static_cast<uint8_t>(value(first) * 16u + value(second));
}

SrecLineReader::SrecLineReader(std::istream &in)
    : source(in)
{ }

bool SrecLineReader::next(SrecLine &line)
{
    line = SrecLine{};
    std::streambuf *buf = source.rdbuf();
    // Characters past the kept 99; a lone CR there is just the line end.
    std::size_t extra = 0;
    bool extra_is_cr = false;
    for (;;) {
        const int c = buf ? buf->sbumpc() : std::char_traits<char>::eof();
        if (c == std::char_traits<char>::eof()) {
            source.setstate(std::ios::eofbit);
            line.cut = extra > 1 || (extra == 1 && !extra_is_cr);
            tail = line;
            return false;
        }
        if (c == '\n')
            break;
        if (line.length < SrecLine::max_chars) {
            line.text[line.length++] = static_cast<char>(c);
        } else {
            ++extra;
            extra_is_cr = c == '\r';
        }
    }
    if (extra == 0 && line.length > 0 && line.text[line.length - 1] == '\r')
        line.text[--line.length] = '\0';
    line.cut = extra > 1 || (extra == 1 && !extra_is_cr);
    ++line_count;
    return true;
}

SrecFields parse_srec_fields(const SrecLine &line)
{
    SrecFields f;
    f.type = static_cast<uint8_t>(line.at(1) - '0');
    f.count = line.byte_at(2);
    f.addr_hi = line.byte_at(4);
    f.addr_lo = line.byte_at(6);
    f.addr = static_cast<uint16_t>(f.addr_hi * 256 + f.addr_lo);
    f.has_address = line.length >= SrecFields::header_chars;
    if (f.has_address) {
        const int in_line = static_cast<int>((line.length - SrecFields::data_pos) / 2);
        f.data_bytes = std::max(0, std::min(f.count - 3, in_line));
    }
    return f;
}

SrecFault check_srec_line(const SrecLine &line)
{
    if (line.length < 2 || line.text[0] != 'S' || line.text[1] < '0' || line.text[1] > '9')
        return SrecFault::not_a_record;
    if (line.cut)
        return SrecFault::cut;
    for (std::size_t i = 2; i < line.length; ++i) {
        if (!is_hex(line.text[i]))
            return SrecFault::not_hex;
    }
    if (line.length % 2 != 0)
        return SrecFault::odd_length;
    const uint8_t count = line.byte_at(2);
    const bool address_record = line.text[1] >= '1' && line.text[1] <= '3';
    if (line.length != 4 + 2 * std::size_t(count) || (address_record && count < 3))
        return SrecFault::count_mismatch;
    unsigned sum = 0;
    for (std::size_t pos = 2; pos < line.length; pos += 2)
        sum += line.byte_at(pos);
    if ((sum & 0xFF) != 0xFF)
        return SrecFault::bad_checksum;
    return SrecFault::none;
}

const char *srec_fault_text(SrecFault fault)
{
    switch (fault) {
    case SrecFault::none:
        return "no fault";
    case SrecFault::not_a_record:
        return "not an S-record line";
    case SrecFault::not_hex:
        return "non-hexadecimal character";
    case SrecFault::odd_length:
        return "odd number of hexadecimal digits";
    case SrecFault::count_mismatch:
        return "byte count does not match the line";
    case SrecFault::bad_checksum:
        return "checksum does not match";
    case SrecFault::cut:
        return "longer than 99 characters";
    }
    return "unknown fault";
}

bool ConfigSearch::feed(const SrecLine &line)
{
    if (record_found)
        return true;
    if (!s1_seen) {
        if (!is_s1_line(line))
            return false;
        s1_seen = true;
        if (logging)
            qCDebug(srecord_log, "Line: %s", line.text);
    }
    const SrecFields f = parse_srec_fields(line);
    if (!f.has_address)
        return false;
    if (logging)
        qCDebug(srecord_log, "ADDR = 0x%x", unsigned(f.addr));
    if (f.addr != config_record_address)
        return false;
    record_found = true;
    record_count = std::min(f.data_bytes, int(sizeof record_data));
    for (int i = 0; i < record_count; ++i)
        record_data[i] = line.byte_at(SrecFields::data_pos + 2 * std::size_t(i));
    if (logging) {
        qCDebug(srecord_log, "Line: %s", line.text);
        qCDebug(srecord_log, "Number: %d", int(f.count));
    }
    return true;
}

void ConfigSearch::apply(FirmwareConfig &config) const
{
    if (!record_found)
        return;
    const int n = std::min(record_count, int(sizeof config.bytes));
    std::memcpy(config.bytes, record_data, std::size_t(n));
}

bool read_config_record(std::istream &image, FirmwareConfig &config)
{
    SrecLineReader reader(image);
    ConfigSearch search(true);
    SrecLine line;
    while (reader.next(line)) {
        if (search.feed(line))
            break;
    }
    search.apply(config);
    qCDebug(srecord_log, "config[0][1][2][3] = 0x%x, 0x%x, 0x%x, 0x%x", config.bytes[0], config.bytes[1],
            config.bytes[2], config.bytes[3]);
    return search.found();
}
