#pragma once

// Helpers for the packaging tests: S-record images made by real S-record
// tools (objcopy, srec_cat), the builder run into memory, and packages taken
// apart again with OpenSSL as the independent cipher.

#include "package_builder.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <sstream>

namespace fixture {

struct ToolRun {
    int exit_code = -1;
    QByteArray out;
    QByteArray err;
};

inline ToolRun run_tool(const QString &program, const QStringList &args, const QByteArray &input = {})
{
    ToolRun run;
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000)) {
        run.err = "could not start " + program.toLocal8Bit();
        return run;
    }
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        run.err = "timed out: " + program.toLocal8Bit();
        return run;
    }
    run.exit_code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.out = p.readAllStandardOutput();
    run.err += p.readAllStandardError();
    return run;
}

inline bool have_tool(const char *name)
{
    return !QStandardPaths::findExecutable(name).isEmpty();
}

inline QByteArray random_bytes(int size, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray data(size, '\0');
    for (char &c : data)
        c = static_cast<char>(gen.bounded(256));
    return data;
}

inline QByteArray ramp(int size, int start = 0)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>(start + i);
    return data;
}

// The S-record image objcopy makes of data placed at address (16 data bytes
// a record, S1 records below 0x10000).
inline QByteArray objcopy_image(uint32_t address, const QByteArray &data)
{
    QTemporaryDir dir;
    const QString bin = dir.filePath("data.bin"), srec = dir.filePath("data.s19");
    QFile f(bin);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size())
        return {};
    f.close();
    const ToolRun run = run_tool(
        "objcopy",
        {"-I", "binary", "-O", "srec", "--change-addresses=0x" + QString::number(address, 16), bin, srec});
    if (run.exit_code != 0) {
        qWarning("objcopy failed: %s", run.err.constData());
        return {};
    }
    QFile out(srec);
    return out.open(QIODevice::ReadOnly) ? out.readAll() : QByteArray();
}

// The image srec_cat makes of the pieces (address, data) with extra output
// options, e.g. "-Output_Block_Size=252" or "-address-length=3".
inline QByteArray srec_cat_image(const QList<QPair<uint32_t, QByteArray>> &pieces,
                                 const QStringList &options = {})
{
    QTemporaryDir dir;
    QStringList args;
    for (int i = 0; i < pieces.size(); ++i) {
        const QString bin = dir.filePath(QString("piece%1.bin").arg(i));
        QFile f(bin);
        if (!f.open(QIODevice::WriteOnly) || f.write(pieces[i].second) != pieces[i].second.size())
            return {};
        f.close();
        args << bin << "-binary"
             << "-offset"
             << "0x" + QString::number(pieces[i].first, 16);
    }
    args << "-o"
         << "-"
         << "-motorola" << options;
    const ToolRun run = run_tool("srec_cat", args);
    if (run.exit_code != 0) {
        qWarning("srec_cat failed: %s", run.err.constData());
        return {};
    }
    return run.out;
}

// The lines of image that start with prefix (e.g. "S1"), each with its LF.
inline QByteArray lines_of(const QByteArray &image, const QByteArray &prefix)
{
    QByteArray out;
    for (const QByteArray &line : image.split('\n')) {
        if (line.startsWith(prefix))
            out += line + '\n';
    }
    return out;
}

// An image of the given data lines between a header and a termination record.
inline QByteArray framed(const QByteArray &data_lines)
{
    return "S00600004844521B\n" + data_lines + "S9030000FC\n";
}

inline QByteArray to_crlf(QByteArray text)
{
    return text.replace("\n", "\r\n");
}

struct Built {
    BuildResult result;
    QByteArray package;
    QList<QPair<int, int>> progress;
};

inline Built build(const QByteArray &image, const FirmwareConfig &fallback = {})
{
    Built built;
    std::istringstream in(std::string(image.constData(), std::size_t(image.size())));
    PackageBuilder builder;
    builder.set_progress([&built](int line, int total) { built.progress.append({line, total}); });
    built.result = builder.build(
        in,
        [&built](const char *data, std::size_t size) {
            built.package.append(data, int(size));
            return true;
        },
        fallback);
    return built;
}

// AES-128-ECB over whole 16-byte blocks with the package key, by OpenSSL.
inline QByteArray openssl_ecb(const QByteArray &data, bool decrypt)
{
    QStringList args{
        "enc", decrypt ? "-d" : "-e", "-aes-128-ecb", "-nopad", "-K", "5a1f0c93e27b48d6a03c9e715bd24f86"};
    const ToolRun run = run_tool("openssl", args, data);
    if (run.exit_code != 0)
        qWarning("openssl failed: %s", run.err.constData());
    return run.out;
}

// A package block taken apart: its page and its 512 plain bytes.
struct PlainBlock {
    uint16_t page = 0;
    QByteArray plain;
    bool operator==(const PlainBlock &o) const { return page == o.page && plain == o.plain; }
};

// One expected run of bytes in a page.
struct Piece {
    int offset;
    QByteArray bytes;
};

inline PlainBlock page(uint16_t page_address, const QList<Piece> &pieces = {})
{
    PlainBlock b{page_address, QByteArray(int(page_size), char(0xFF))};
    for (const Piece &p : pieces)
        b.plain.replace(p.offset, p.bytes.size(), p.bytes);
    return b;
}

struct Decoded {
    QByteArray header;
    QList<PlainBlock> blocks;
    QString fault; // empty when the package is sound
};

// Splits a package into header and blocks, checks every check byte and
// decrypts every line 0 with OpenSSL (all in one run: ECB treats each
// 16-byte block alone).
inline Decoded decode(const QByteArray &package)
{
    Decoded d;
    if (package.size() < int(package_header_size)
        || (package.size() - int(package_header_size)) % int(package_block_size) != 0) {
        d.fault = QString("package size %1 is not 4 + 546 * N").arg(package.size());
        return d;
    }
    d.header = package.left(4);
    const int n = (package.size() - 4) / int(package_block_size);
    QByteArray cipher;
    for (int i = 0; i < n; ++i) {
        const QByteArray block = package.mid(4 + i * int(package_block_size), int(package_block_size));
        for (int k = 0; k < int(block_lines); ++k) {
            int sum = 0;
            for (int j = 0; j < int(stored_line_bytes); ++j)
                sum += uint8_t(block[2 + 17 * k + j]);
            if (sum % 256 != 0 && d.fault.isEmpty())
                d.fault = QString("block %1 line %2: check byte does not hold").arg(i).arg(k);
        }
        cipher += block.mid(2, 16);
        PlainBlock p;
        p.page = uint16_t(uint8_t(block[0]) << 8 | uint8_t(block[1]));
        for (int k = 0; k < int(block_lines); ++k)
            p.plain += block.mid(2 + 17 * k, 16);
        d.blocks.append(p);
    }
    const QByteArray plain0 = n ? openssl_ecb(cipher, true) : QByteArray();
    if (plain0.size() != cipher.size()) {
        d.fault = "openssl could not decrypt line 0";
        return d;
    }
    for (int i = 0; i < n; ++i)
        d.blocks[i].plain.replace(0, 16, plain0.mid(16 * i, 16));
    return d;
}

inline QByteArray config_bytes(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
{
    const char bytes[4] = {char(b0), char(b1), char(b2), char(b3)};
    return QByteArray(bytes, 4);
}

inline QString describe(const PlainBlock &b)
{
    return QString("page 0x%1 %2").arg(b.page, 4, 16, QChar('0')).arg(QString(b.plain.toHex()));
}

// Compares decoded blocks with the expected ones; names the first difference.
inline bool same_blocks(const QList<PlainBlock> &got, const QList<PlainBlock> &want, QString *why)
{
    if (got.size() != want.size()) {
        *why = QString("%1 blocks, expected %2").arg(got.size()).arg(want.size());
        for (const PlainBlock &b : got)
            *why += QString(" [0x%1]").arg(b.page, 4, 16, QChar('0'));
        return false;
    }
    for (int i = 0; i < got.size(); ++i) {
        if (got[i].page != want[i].page) {
            *why = QString("block %1: page 0x%2, expected 0x%3")
                       .arg(i)
                       .arg(got[i].page, 4, 16, QChar('0'))
                       .arg(want[i].page, 4, 16, QChar('0'));
            return false;
        }
        for (int off = 0; off < int(page_size); ++off) {
            if (got[i].plain[off] != want[i].plain[off]) {
                *why = QString("block %1 (page 0x%2) offset 0x%3: 0x%4, expected 0x%5")
                           .arg(i)
                           .arg(got[i].page, 4, 16, QChar('0'))
                           .arg(off, 0, 16)
                           .arg(uint8_t(got[i].plain[off]), 2, 16, QChar('0'))
                           .arg(uint8_t(want[i].plain[off]), 2, 16, QChar('0'));
                return false;
            }
        }
    }
    return true;
}

} // namespace fixture

Q_DECLARE_METATYPE(fixture::PlainBlock)
Q_DECLARE_METATYPE(QList<fixture::PlainBlock>)
