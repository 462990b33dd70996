#include "low_latency.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QString>

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

int request_low_latency(int fd, const QString &device_path)
{
    int applied = 0;
#ifdef Q_OS_LINUX
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
    const QString device = device_path.isEmpty() ? QString() : QFileInfo(device_path).canonicalFilePath();
    if (!device.isEmpty()) {
        QFile timer(
            QStringLiteral("/sys/bus/usb-serial/devices/%1/latency_timer").arg(QFileInfo(device).fileName()));
        if (timer.exists() && timer.open(QIODevice::WriteOnly) && timer.write("1") == 1)
            applied |= 2;
    }
#else
    Q_UNUSED(fd);
    Q_UNUSED(device_path);
#endif
    return applied;
}

int request_low_latency(QSerialPort &port)
{
    // QSerialPort keeps a path under /dev as the bare name ("ttyUSB0",
    // "COM3", "pts/4") and any other path whole.
    QString path = port.portName();
    if (!path.startsWith(QLatin1Char('/')) && !path.startsWith(QLatin1String("./"))
        && !path.startsWith(QLatin1String("../")))
        path.prepend(QLatin1String("/dev/"));
    return request_low_latency(int(port.handle()), path);
}
