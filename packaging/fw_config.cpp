#include "fw_config.h"

FirmwareConfigText decode_fw_config(const FirmwareConfig &config)
{
    const uint8_t *b = config.bytes;
    FirmwareConfigText text;
    if (b[3] == 0)
        text.model = QStringLiteral("Quorinel VR20");
    if (b[2] == 1)
        text.mcu = QStringLiteral("MC9S08PT60");
    text.date = QStringLiteral("%1/%2/%3").arg((b[0] & 0x0F) + 2013).arg(b[0] >> 4).arg(b[1] & 0x1F);
    text.version = QString::number(b[1] >> 5);
    return text;
}
