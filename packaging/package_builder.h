#pragma once

#include "fw_config.h"
#include "package_block.h"
#include "srecord.h"

#include <QString>

#include <functional>
#include <iosfwd>
#include <vector>

enum class BuildError {
    none,
    image_not_opened,
    package_not_opened,
    image_read_error, // the image could not be read a second time (not seekable), or is too large
    package_write_error,
    refused, // the caller turned the image down: nothing written
};

struct BuildResult {
    BuildError error = BuildError::none;
    FirmwareConfig header; // the header written
    bool config_found = false; // the image has a record at 0x3100
    int lines = 0; // lines with a line end: the progress total
    long blocks = 0; // blocks written
    QString detail; // what the system said about a file that failed
    std::vector<uint16_t> pages; // of the blocks written, in file order

    bool is_valid() const { return error == BuildError::none; }
    bool operator==(const BuildResult &o) const;
    bool operator!=(const BuildResult &o) const { return !(*this == o); }
};

// Turns an S-record image into a package: the header, then one block per run
// of bytes for the same 512-byte page, in the order the image gives them.
//
// The header is the image's configuration record (read again at every build);
// where the image has none, or a record with fewer than four data bytes, the
// bytes of `fallback` stand. Only S1 lines with a line end count; the
// configuration page 0x3100-0x31FF is left out; data for 0x8000-0x9FFF goes
// to 0xA000-0xBFFF. A block is closed when a byte for another page comes and
// at the end, always at least one block. Data for page 0 gets a block of its
// own, like any other page. One block is held in memory.
class PackageBuilder
{
public:
    // Called with (0, total) before the conversion, (j, total) before line j
    // and (total, total) at the end; total is the number of lines.
    using Progress = std::function<void(int line, int total)>;

    void set_progress(Progress progress) { on_progress = std::move(progress); }

    // The image must be seekable: it is read twice, once to count its lines
    // and find the record, once to convert it. Stops at the first write
    // error.
    BuildResult build(std::istream &image, const PackageSink &sink, const FirmwareConfig &fallback);

private:
    bool close_block(const PackageSink &sink);

    Progress on_progress;
    PackageBlock open_block;
    bool page_chosen = false;
    long blocks_written = 0;
    std::vector<uint16_t> pages;
};

// Builds the package file package_path from the image file image_path (both
// the system's bytes for the names). The image is read whole, opened once,
// so a FIFO serves too; `accept`, if set, sees its text before anything is
// written and may turn it down (Refused). The package is committed whole
// (commit_file): a failed build leaves a file already at package_path as it
// was, and a device or pipe there is written in place. The image itself is
// never a package path (PackageNotOpened).
BuildResult build_package_file(const QByteArray &image_path, const QByteArray &package_path,
                               const FirmwareConfig &fallback, const PackageBuilder::Progress &progress = {},
                               const std::function<bool(const QByteArray &image)> &accept = {});

// What the command-line tool checks before building; the builder itself
// takes every line as it comes.
struct ImageCheck {
    int lines = 0; // lines with a line end
    int records = 0; // of those, lines starting "S<digit>"
    int faulty_lines = 0; // non-empty lines that are not sound S-records
    int long_lines = 0; // lines over 99 characters (cut by the builder)
    int first_fault_line = 0; // 1-based
    SrecFault first_fault = SrecFault::none;
    int s1_data_records = 0; // S1 records with data for the blocks
    int wide_data_records = 0; // S2/S3 records with data (not taken)
    bool tail_has_data = false; // a last line without line end is an S1 record with data
    bool config_found = false;
};

ImageCheck check_image(std::istream &image);
