// Builds a package from a full image (every page from 0x3200 to 0xFFFF
// filled, plus the configuration record) with vr20-pack, and reports the
// wall time and peak memory of each run, and the library's own build time.
//
//   bench_pack [--runs N] [--tool PATH/vr20-pack]
//   bench_pack --write-image PATH   (only writes the image)
#include "package_builder.h"

#include <QLoggingCategory>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string s1_line(unsigned address, const std::vector<uint8_t> &data)
{
    char buf[8];
    unsigned sum = unsigned(data.size() + 3) + (address >> 8) + (address & 0xFF);
    std::string line = "S1";
    std::snprintf(buf, sizeof buf, "%02X%04X", unsigned(data.size() + 3), address);
    line += buf;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof buf, "%02X\n", 0xFF - (sum & 0xFF));
    return line + buf;
}

// 32 data bytes a record, as S-record tools write by default.
std::string full_image()
{
    std::mt19937 gen(20150307);
    std::string image = "S00600004844521B\n" + s1_line(0x3100, {0x32, 0x67, 0x01, 0x00});
    for (unsigned a = 0x3200; a < 0x10000; a += 32) {
        std::vector<uint8_t> data(32);
        for (uint8_t &b : data)
            b = uint8_t(gen());
        image += s1_line(a, data);
    }
    return image + "S9030000FC\n";
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    int runs = 20;
    std::string tool = VR20_BINARY_DIR "/vr20-pack";
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--tool") && i + 1 < argc)
            tool = argv[++i];
        else if (!std::strcmp(argv[i], "--write-image") && i + 1 < argc)
            return std::ofstream(argv[++i]) << full_image() ? 0 : 1;
        else {
            std::fprintf(stderr, "usage: bench_pack [--runs N] [--tool PATH] | --write-image PATH\n");
            return 2;
        }
    }
    QLoggingCategory::setFilterRules("default.debug=false");

    char dir_template[] = "/tmp/bench_pack.XXXXXX";
    if (!mkdtemp(dir_template)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dir_template, image_path = dir + "/full.s19", package_path = dir + "/full.bin";
    const std::string image = full_image();
    std::ofstream(image_path) << image;

    std::vector<double> wall_ms;
    long peak_kib = 0;
    for (int r = 0; r < runs; ++r) {
        const char *args[] = {tool.c_str(), "build", image_path.c_str(), package_path.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid;
        const auto start = Clock::now();
        if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, const_cast<char **>(args), environ) != 0) {
            std::perror(tool.c_str());
            return 1;
        }
        int status = 0;
        struct rusage usage {
        };
        wait4(pid, &status, 0, &usage);
        wall_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        posix_spawn_file_actions_destroy(&actions);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "vr20-pack failed (status %d)\n", status);
            return 1;
        }
        peak_kib = std::max(peak_kib, long(usage.ru_maxrss));
    }
    std::ifstream package(package_path, std::ios::binary | std::ios::ate);
    const long package_bytes = long(package.tellg());

    // The library alone, without process start-up.
    std::vector<double> lib_ms;
    for (int r = 0; r < runs; ++r) {
        std::istringstream in(image);
        PackageBuilder builder;
        long written = 0;
        const auto start = Clock::now();
        const BuildResult result = builder.build(
            in, [&written](const char *, std::size_t n) { return (written += long(n)), true; },
            FirmwareConfig{});
        lib_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!result.is_valid() || written != package_bytes)
            return 1;
    }
    std::remove(image_path.c_str());
    std::remove(package_path.c_str());
    rmdir(dir.c_str());

    std::printf("image: %zu bytes, %ld lines (0x3100 record + 0x3200-0xFFFF)\n", image.size(),
                long(std::count(image.begin(), image.end(), '\n')));
    std::printf("package: %ld bytes, %ld blocks\n", package_bytes,
                (package_bytes - long(package_header_size)) / long(package_block_size));
    std::printf("vr20-pack build, %d runs: wall median %.2f ms, min %.2f ms, max %.2f ms\n", runs,
                median(wall_ms), *std::min_element(wall_ms.begin(), wall_ms.end()),
                *std::max_element(wall_ms.begin(), wall_ms.end()));
    std::printf("vr20-pack build: peak resident memory %ld KiB\n", peak_kib);
    std::printf("library build in process: median %.2f ms\n", median(lib_ms));
    return 0;
}
