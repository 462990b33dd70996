// vr20-pack: builds firmware packages from S-record images and shows what a
// package holds, for use without the window (whose builder is hidden).
#include "package_builder.h"
#include "package_check.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QtGlobal>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
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
                          "info   Prints the package's header (model, MCU, date, version), its block\n"
                          "       count, each block's page address in file order, whether every check\n"
                          "       byte holds, and the size of any trailing piece.\n"
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

void error(const char *fmt, const QString &path, const char *detail)
{
    std::fprintf(stderr, "vr20-pack: ");
    std::fprintf(stderr, fmt, QFile::encodeName(path).constData(), detail);
    std::fprintf(stderr, "\n");
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

// Opens a regular file for reading; reports and returns false otherwise.
bool open_input(std::ifstream &in, const QString &path, const char *what)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        error("cannot open %s: %s", path, (std::string(what) + " does not exist").c_str());
        return false;
    }
    if (info.isDir()) {
        error("cannot open %s: %s", path, (std::string(what) + " is a directory").c_str());
        return false;
    }
    errno = 0;
    in.open(QFile::encodeName(path).constData(), std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        error("cannot open %s: %s", path, errno ? std::strerror(errno) : "unreadable");
        return false;
    }
    return true;
}

int cmd_build(const QString &image_path, const QString &package_path, bool force)
{
    std::ifstream image;
    if (!open_input(image, image_path, "image"))
        return exit_io_error;
    const QFileInfo package_info(package_path);
    if (package_info.exists()
        && package_info.canonicalFilePath() == QFileInfo(image_path).canonicalFilePath()) {
        error("cannot create %s: %s", package_path, "it is the image itself");
        return exit_usage;
    }
    const ImageCheck check = check_image(image);
    image.close();

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
    const QByteArray image_name = QFile::encodeName(image_path);
    for (const std::string &e : errors)
        std::fprintf(stderr, "vr20-pack: %s: %s%s\n", image_name.constData(), force ? "warning: " : "",
                     e.c_str());
    for (const std::string &w : warnings)
        std::fprintf(stderr, "vr20-pack: %s: warning: %s\n", image_name.constData(), w.c_str());
    if (!errors.empty() && !force) {
        std::fprintf(stderr, "vr20-pack: no package written (--force builds as the loader would)\n");
        return exit_malformed;
    }
    if (check.s1_data_records == 0)
        std::fprintf(stderr, "vr20-pack: %s: warning: no S1 data: the package holds one empty block\n",
                     QFile::encodeName(image_path).constData());
    if (!check.config_found)
        std::fprintf(stderr,
                     "vr20-pack: %s: warning: no configuration record at 0x3100: header 00 00 00 00\n",
                     QFile::encodeName(image_path).constData());

    const BuildResult result = build_package_file(image_path, package_path, FirmwareConfig{});
    switch (result.error) {
    case BuildError::none:
        break;
    case BuildError::image_not_opened:
        error("cannot open %s: %s", image_path, "image not readable");
        return exit_io_error;
    case BuildError::image_read_error:
        error("cannot read %s: %s", image_path, "the image cannot be read twice (not a regular file?)");
        return exit_io_error;
    case BuildError::package_not_opened:
        error("cannot create %s: %s", package_path, "package not writable");
        return exit_io_error;
    case BuildError::package_write_error:
        error("cannot write %s: %s", package_path, "write error, no package written");
        return exit_io_error;
    }
    std::printf("%s: header %s, %ld blocks, %ld bytes\n", QFile::encodeName(package_path).constData(),
                header_hex(result.header).toLatin1().constData(), result.blocks,
                long(package_header_size + package_block_size * std::size_t(result.blocks)));
    return exit_ok;
}

QString or_code(const QString &text, const char *what, uint8_t code)
{
    return text.isEmpty() ? QString::asprintf("(unknown %s code 0x%02X)", what, code) : text;
}

int cmd_info(const QString &path)
{
    std::ifstream in;
    if (!open_input(in, path, "package"))
        return exit_io_error;

    const PackageCheck check = check_package(in);
    if (check.read_error) {
        error("cannot read %s: %s", path, "read error");
        return exit_io_error;
    }

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
        std::fprintf(stderr, "vr20-pack: %s: malformed package: %s\n", QFile::encodeName(path).constData(),
                     f.c_str());
    return check.sound() ? exit_ok : exit_malformed;
}

} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(message_handler);
    std::vector<QString> args;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QFile::decodeName(argv[i]);
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
        return cmd_build(args[1], args[2], force);
    }
    if (args[0] == QLatin1String("info")) {
        if (args.size() != 2)
            return usage_error("info takes one package path");
        if (force)
            return usage_error("--force applies to build only");
        return cmd_info(args[1]);
    }
    return usage_error(("unknown command " + args[0].toStdString()).c_str());
}
