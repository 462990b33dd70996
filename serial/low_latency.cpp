#include "low_latency.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

int request_low_latency(QSerialPort &port)
{
    int applied = 0;
#ifdef Q_OS_LINUX
    const int fd = int(port.handle());
    if (fd >= 0) {
        serial_struct info{};
        if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
            info.flags |= ASYNC_LOW_LATENCY;
            if (ioctl(fd, TIOCSSERIAL, &info) == 0)
                applied |= 1;
        }
    }
    // COM names are links to the real device: the sysfs entry is named after
    // the device itself (ttyUSB0).
    const QString device = QFileInfo(QSerialPortInfo(port).systemLocation()).canonicalFilePath();
    if (!device.isEmpty()) {
        QFile timer(
            QStringLiteral("/sys/bus/usb-serial/devices/%1/latency_timer").arg(QFileInfo(device).fileName()));
        if (timer.exists() && timer.open(QIODevice::WriteOnly) && timer.write("1") == 1)
            applied |= 2;
    }
#else
    Q_UNUSED(port);
#endif
    return applied;
}
