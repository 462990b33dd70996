#pragma once

#include <QString>
#include <cstdint>

// The 4-byte configuration record of a firmware image: build date, version,
// MCU code and product code. Stored at 0x3100 in the image, as the header of
// every package file, and sent first to the bootloader.
struct FirmwareConfig {
    uint8_t bytes[4] = {0, 0, 0, 0};
};

// The four display texts of a configuration record.
struct FirmwareConfigText {
    QString model;
    QString mcu;
    QString date;
    QString version;
};

// Decodes a record into its texts; codes without a name give empty texts.
FirmwareConfigText decode_fw_config(const FirmwareConfig &config);
