#pragma once

class QSerialPort;
class QString;

// A lock-step line is bound by the adapter's latency: USB adapters may hold a
// received byte for up to 16 ms before handing it on. Asks the driver for low
// latency (ASYNC_LOW_LATENCY, and a latency timer of 1 ms where the adapter
// has one in sysfs). Failures are ignored: a port that refuses (a
// pseudo-terminal, a plain UART) works as before.
// Returns a bit set of what took effect: 1 the driver flag, 2 the sysfs timer.
//
// `fd` is the open line and `device_path` the path it was opened by; a link
// such as /dev/COM3 is followed to the device it names.
int request_low_latency(int fd, const QString &device_path);
// The same for an open QSerialPort (the window's worker).
int request_low_latency(QSerialPort &port);
