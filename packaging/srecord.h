#pragma once

#include "fw_config.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>

// Reading Motorola S-record images as the builder and the image selection
// take them: 16-bit addresses, at most 99 characters of a line, nothing
// validated.

// The address of the configuration record in every image.
constexpr uint16_t config_record_address = 0x3100;

// Two characters to one byte: '0'-'9', 'A'-'F' and 'a'-'f' count as their
// digit, any other character as its own code; the result is
// (first * 16 + second) modulo 256. Nothing is rejected.
uint8_t hex_byte(char first, char second);

// One text line of an image: at most max_chars characters are kept, without
// the line end (LF, or CR LF). Positions past the kept text read as NUL.
struct SrecLine {
    static constexpr std::size_t max_chars = 99;

    char text[max_chars + 1] = {};
    std::size_t length = 0;
    bool cut = false; // the line was longer than max_chars; the rest was skipped

    char at(std::size_t pos) const { return pos < length ? text[pos] : '\0'; }
    // hex_byte of the characters at pos and pos + 1.
    uint8_t byte_at(std::size_t pos) const { return hex_byte(at(pos), at(pos + 1)); }
};

// Reads lines one at a time. A line counts only when its line end was read:
// a last line without one is left out (it is kept in unterminated_tail() for
// diagnostics). A line of any length is consumed completely, so reading
// always ends at the end of the stream.
class SrecLineReader
{
public:
    explicit SrecLineReader(std::istream &in);

    // Reads the next line; false when the read reached the end of the stream.
    bool next(SrecLine &line);

    // The number of lines read so far (next() calls that returned true).
    long lines_read() const { return line_count; }
    // The characters after the last line end, if any (first 99 kept).
    const SrecLine &unterminated_tail() const { return tail; }

private:
    std::istream &source;
    long line_count = 0;
    SrecLine tail;
};

// The fields of a line, by character position: type digit at 1, byte count
// at 2, address high and low bytes at 4 and 6, data from 8.
struct SrecFields {
    static constexpr std::size_t header_chars = 8;
    static constexpr std::size_t data_pos = 8;

    bool has_address = false; // the line holds its 8 header characters
    uint8_t type = 0; // character at 1 minus '0'
    uint8_t count = 0;
    uint8_t addr_hi = 0;
    uint8_t addr_lo = 0;
    uint16_t addr = 0;
    // Data bytes to take: count - 3, but only those whose two characters lie
    // within the kept line (a count larger than the line, or a cut line).
    int data_bytes = 0;
};

SrecFields parse_srec_fields(const SrecLine &line);

// True for an S1 line (type digit '1' at position 1).
inline bool is_s1_line(const SrecLine &line)
{
    return line.at(1) == '1';
}

// Faults of a line as an S-record; the builder never looks at them, only
// the command-line tool reports them.
enum class SrecFault {
    none,
    not_a_record, // does not start with 'S' and a digit
    not_hex, // a character after the type digit is not hexadecimal
    odd_length, // the characters after the type digit are not whole bytes
    count_mismatch, // the byte count does not match the line's length
    bad_checksum,
    cut, // longer than 99 characters: only the first 99 are used
};

SrecFault check_srec_line(const SrecLine &line);
const char *srec_fault_text(SrecFault fault);

// Finds the configuration record: the first S1 line, then from that line on
// the first line whose address is exactly 0x3100, whatever its type. Fed one
// line at a time so that the builder can run it in its counting pass.
class ConfigSearch
{
public:
    // With log set, writes the search's debug messages ("Line: %s",
    // "ADDR = 0x%x", "Number: %d") as the image selection does.
    explicit ConfigSearch(bool log = false)
        : logging(log)
    { }

    // Takes the next line; true once the search has ended at a record (no
    // further lines are needed).
    bool feed(const SrecLine &line);

    bool seen_s1() const { return s1_seen; }
    bool found() const { return record_found; }
    // The record's data bytes (at most 4 matter) and how many there were.
    // Only meaningful when found().
    const uint8_t *data() const { return record_data; }
    int data_count() const { return record_count; }

    // Copies the record's first data bytes into config: a record with fewer
    // than four replaces only as many bytes. Without a record config stays.
    void apply(FirmwareConfig &config) const;

private:
    bool logging = false;
    bool s1_seen = false;
    bool record_found = false;
    uint8_t record_data[17] = {};
    int record_count = 0;
};

// The image selection's reading of the configuration record: reads up to the
// record (no further), updates config as ConfigSearch::apply does and logs
// the debug messages of the search. Returns whether the record was found.
bool read_config_record(std::istream &image, FirmwareConfig &config);
