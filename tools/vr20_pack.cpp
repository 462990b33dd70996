// vr20-pack: builds firmware packages from S-record images and shows what a
// package holds, for use without the window (whose builder is hidden).
#include "package_builder.h"
#include "package_check.h"
#include "whole_file.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#ifndef VR20_VERSION
#define VR20_VERSION "unknown"
#endif

namespace {

enum Exit { exit_ok = 0, exit_io_error = 1, exit_usage = 2, exit_malformed = 3 };

const char usage_text[] = "Usage: vr20-pack build [--force] [--verbose] IMAGE.s19 PACKAGE.bin\n"
                          "       vr20-pack info PACKAGE.bin\n"
                          "       vr20-pack --help | --version\n"
                          "\n"
                          "build  Turns the S-record image into a firmware package, byte for byte as\n"
                          "       the loader's package builder does. The header is the image's\n"
                          "       configuration record at 0x3100. The package is written whole or not\n"
                          "       at all. Lines longer than 99 characters (cut), S2/S3 data records\n"
                          "       (not taken) and a last data line without a line end (left out) are\n"
                          "       warned of and built as the loader builds them. Lines that are not\n"
                          "       sound S-records (bad hex, count or checksum) and files without any\n"
                          "       S-record stop the build; --force builds them all the same.\n"
                          "       --verbose prints the builder's debug messages.\n"
                          "       A page that appears in two blocks (records that come back to a page)\n"
                          "       is warned of.\n"
                          "info   Prints the package's header (model, MCU, date, version), its block\n"
                          "       count, each block's page address in file order, whether every check\n"
                          "       byte holds, and the size of any trailing piece; then, on standard\n"
                          "       error, what makes it unfit to send (unknown product or MCU code, a\n"
                          "       page the builder never makes, wrong check bytes, a trailing piece)\n"
                          "       and pages that appear twice. A package cut at a block boundary\n"
                          "       cannot be told from a shorter one.\n"
                          "\n"
                          "Exit status: 0 done, 1 a file could not be opened, read or written,\n"
                          "2 wrong usage, 3 malformed input.\n";

bool g_verbose = false;

void message_handler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg && !g_verbose)
        return;
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

void error(const char *what, const QByteArray &path, const QString &detail)
{
    std::fprintf(stderr, "vr20-pack: %s %s: %s\n", what, path.constData(), detail.toLocal8Bit().constData());
}

int usage_error(const char *what)
{
    std::fprintf(stderr, "vr20-pack: %s\n%s", what, usage_text);
    return exit_usage;
}

QString header_hex(const FirmwareConfig &c)
{
    return QString::asprintf("%02X %02X %02X %02X", c.bytes[0], c.bytes[1], c.bytes[2], c.bytes[3]);
}

// Says what makes the image unfit to build from; false when that stops the build.
bool accept_image(const QByteArray &image_text, const QByteArray &image_name, bool force)
{
    std::istringstream image(image_text.toStdString());
    const ImageCheck check = check_image(image);

    // Input that is no sound S-record image stops the build unless forced;
    // what the loader itself handles in a defined way (long lines cut, S2/S3
    // records skipped, an unterminated last line left out) is only warned of.
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    if (check.records == 0)
        errors.push_back("no S-record lines: not an S-record image");
    if (check.faulty_lines > 0) {
        errors.push_back("line " + std::to_string(check.first_fault_line) + ": "
                         + srec_fault_text(check.first_fault)
                         + (check.faulty_lines > 1
                                ? " (and " + std::to_string(check.faulty_lines - 1) + " more faulty lines)"
                                : std::string()));
    }
    if (check.long_lines > 0)
        warnings.push_back(std::to_string(check.long_lines)
                           + " lines longer than 99 characters: cut at 99, as the loader does");
    if (check.wide_data_records > 0)
        warnings.push_back(std::to_string(check.wide_data_records)
                           + " S2/S3 data records: addresses wider than 16 bits are not packaged");
    if (check.tail_has_data)
        warnings.push_back("the last line has no line end: its data is left out, as the loader does");
    for (const std::string &e : errors)
        std::fprintf(stderr, "vr20-pack: %s: %s%s\n", image_name.constData(), force ? "warning: " : "",
                     e.c_str());
    for (const std::string &w : warnings)
        std::fprintf(stderr, "vr20-pack: %s: warning: %s\n", image_name.constData(), w.c_str());
    if (!errors.empty() && !force) {
        std::fprintf(stderr, "vr20-pack: no package written (--force builds as the loader would)\n");
        return false;
    }
    if (check.s1_data_records == 0)
        std::fprintf(stderr, "vr20-pack: %s: warning: no S1 data: the package holds one empty block\n",
                     image_name.constData());
    if (!check.config_found)
        std::fprintf(stderr,
                     "vr20-pack: %s: warning: no configuration record at 0x3100: header 00 00 00 00\n",
                     image_name.constData());
    return true;
}

int cmd_build(const QByteArray &image_path, const QByteArray &package_path, bool force)
{
    // The image is read once: a FIFO gives its text only once.
    const BuildResult result
        = build_package_file(image_path, package_path, FirmwareConfig{}, {},
                             [&](const QByteArray &image) { return accept_image(image, image_path, force); });
    switch (result.error) {
    case BuildError::none:
        break;
    case BuildError::refused:
        return exit_malformed;
    case BuildError::image_not_opened:
    case BuildError::image_read_error:
        error("cannot read", image_path, result.detail);
        return exit_io_error;
    case BuildError::package_not_opened:
        error("cannot create", package_path, result.detail);
        return result.detail == QLatin1String("it is the image itself") ? exit_usage : exit_io_error;
    case BuildError::package_write_error:
        error("cannot write", package_path, result.detail + QStringLiteral(", no package written"));
        return exit_io_error;
    }
    for (const std::string &w : repeated_pages(result.pages))
        std::fprintf(stderr, "vr20-pack: %s: warning: %s\n", package_path.constData(), w.c_str());
    std::printf("%s: header %s, %ld blocks, %ld bytes\n", package_path.constData(),
                header_hex(result.header).toLatin1().constData(), result.blocks,
                long(package_header_size + package_block_size * std::size_t(result.blocks)));
    return exit_ok;
}

QString or_code(const QString &text, const char *what, uint8_t code)
{
    return text.isEmpty() ? QString::asprintf("(unknown %s code 0x%02X)", what, code) : text;
}

int cmd_info(const QByteArray &path)
{
    const WholeRead package = read_whole_file(path);
    if (!package.ok()) {
        error("cannot read", path, package.error);
        return exit_io_error;
    }
    const PackageCheck check = check_package(package.bytes);

    const PackageScan &scan = check.scan;
    if (scan.header_bytes < int(package_header_size)) {
        std::printf("Header: incomplete (%d of 4 bytes)\n", scan.header_bytes);
    } else {
        const FirmwareConfigText text = decode_fw_config(scan.header);
        std::printf("Header: %s\n", header_hex(scan.header).toLatin1().constData());
        std::printf("Model: %s\n", or_code(text.model, "product", scan.header.bytes[3]).toUtf8().constData());
        std::printf("MCU: %s\n", or_code(text.mcu, "MCU", scan.header.bytes[2]).toUtf8().constData());
        std::printf("Date: %s\n", text.date.toUtf8().constData());
        std::printf("Version: %s\n", text.version.toUtf8().constData());
    }
    std::printf("Blocks: %ld\n", scan.blocks);
    for (std::size_t index = 0; index < check.blocks.size(); ++index) {
        const PackageCheck::Block &b = check.blocks[index];
        std::string checks = "check bytes hold";
        if (b.bad_lines != 0) {
            checks = "check bytes wrong in lines";
            for (std::size_t k = 0; k < block_lines; ++k) {
                if (b.bad_lines & (uint32_t(1) << k))
                    checks += " " + std::to_string(k);
            }
        }
        std::printf("Block %zu: page 0x%04X, %s\n", index, b.page, checks.c_str());
    }
    if (scan.bad_check_blocks == 0)
        std::printf("Check bytes: all hold\n");
    else
        std::printf("Check bytes: wrong in %ld blocks\n", scan.bad_check_blocks);
    if (scan.trailing_bytes == 0)
        std::printf("Trailing piece: none\n");
    else
        std::printf("Trailing piece: %ld bytes\n", scan.trailing_bytes);
    for (const std::string &f : check.faults)
        std::fprintf(stderr, "vr20-pack: %s: malformed package: %s\n", path.constData(), f.c_str());
    for (const std::string &w : check.warnings)
        std::fprintf(stderr, "vr20-pack: %s: warning: %s\n", path.constData(), w.c_str());
    return check.sound() ? exit_ok : exit_malformed;
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(message_handler);
    // Paths stay the bytes the system gave: a name need not be UTF-8.
    std::vector<QString> args;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = argument_text(argv[i]);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            std::fputs(usage_text, stdout);
            return exit_ok;
        }
        if (arg == QLatin1String("--version")) {
            std::printf("vr20-pack %s\n", VR20_VERSION);
            return exit_ok;
        }
        if (arg == QLatin1String("--force"))
            force = true;
        else if (arg == QLatin1String("--verbose") || arg == QLatin1String("-v"))
            g_verbose = true;
        else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1)
            return usage_error(("unknown option " + arg.toStdString()).c_str());
        else
            args.push_back(arg);
    }
    if (args.empty())
        return usage_error("no command given");
    if (args[0] == QLatin1String("build")) {
        if (args.size() != 3)
            return usage_error("build takes an image and a package path");
        return cmd_build(native_path(args[1]), native_path(args[2]), force);
    }
    if (args[0] == QLatin1String("info")) {
        if (args.size() != 2)
            return usage_error("info takes one package path");
        if (force)
            return usage_error("--force applies to build only");
        return cmd_info(native_path(args[1]));
    }
    return usage_error(("unknown command " + args[0].toStdString()).c_str());
}
