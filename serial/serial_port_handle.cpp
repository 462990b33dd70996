#include "serial_port_handle.h"

#include <QLoggingCategory>
#include <QMetaObject>

#include <type_traits>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

#include "low_latency.h"

constexpr std::chrono::milliseconds serial_port_handle::io_wait_limit;

namespace {

Q_LOGGING_CATEGORY(serial_log, "vr20.serial", QtWarningMsg)

// The far end hung up, or the device is gone.
bool line_hung_up(QSerialPort &port)
{
#ifdef Q_OS_UNIX
    pollfd p{int(port.handle()), POLLIN, 0};
    return poll(&p, 1, 0) < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    Q_UNUSED(port);
    return true;
#endif
}

} // namespace

serial_port_handle::serial_port_handle()
{
    moveToThread(&thread);
    thread.start(QThread::InheritPriority);
}

serial_port_handle::~serial_port_handle()
{
    shut_down();
}

void serial_port_handle::shut_down()
{
    if (stopped.load())
        return;
    release_port();
    // A blocking call into a thread that has quit would never return, so no
    // operation may reach the worker from here on.
    stopped = true;
    thread.quit();
    thread.wait();
}

template <typename F>
auto serial_port_handle::in_port_thread(F &&operation) -> decltype(operation())
{
    using Result = decltype(operation());
    if (QThread::currentThread() == &thread)
        return operation();
    if constexpr (std::is_void_v<Result>) {
        if (stopped.load())
            return;
        QMetaObject::invokeMethod(
            this, [&] { operation(); }, Qt::BlockingQueuedConnection);
    } else {
        // Every operation with a result reports failure as true.
        Result result{true};
        if (stopped.load())
            return result;
        QMetaObject::invokeMethod(
            this, [&] { result = operation(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

void serial_port_handle::assert_port_thread() const
{
    if (port && QThread::currentThread() != port->thread())
        qFatal("serial port used outside its thread");
}

bool serial_port_handle::open_port(const QString &name)
{
    return in_port_thread([&] {
        port = new QSerialPort(name);
        assert_port_thread();
        port->setBaudRate(baud_rate, QSerialPort::AllDirections);
        port->setFlowControl(QSerialPort::NoFlowControl);
        port->setParity(QSerialPort::NoParity);
        port->setDataBits(QSerialPort::Data8);
        port->setStopBits(QSerialPort::OneStop);
        // Asked for on a closed port: refused, and the line is never held in break.
        port->setBreakEnabled(true);
        watch_port_errors();
        if (!port->isOpen() && port->open(QIODevice::ReadWrite))
            request_low_latency(*port);
        return !port->isOpen();
    });
}

bool serial_port_handle::reopen_port()
{
    return in_port_thread([&] {
        if (!port)
            return true;
        assert_port_thread();
        if (!port->isOpen() && port->open(QIODevice::ReadWrite))
            request_low_latency(*port);
        return !port->isOpen();
    });
}

void serial_port_handle::close_port()
{
    in_port_thread([&] {
        if (!port)
            return;
        assert_port_thread();
        // Received bytes go; the last bytes sent still go out. A conversation
        // ends with its own last byte (the list read's final 0xCC): cleared
        // before the box has read it, it would leave the box waiting for it.
        if (port->isOpen())
            port->clear(QSerialPort::Input);
        port->close();
    });
}

void serial_port_handle::clear_port()
{
    in_port_thread([&] {
        if (!port || !port->isOpen())
            return;
        assert_port_thread();
        port->clear(QSerialPort::AllDirections);
    });
}

void serial_port_handle::release_port()
{
    in_port_thread([&] {
        if (!port)
            return;
        assert_port_thread();
        if (port->isOpen()) {
            port->flush();
            port->clear(QSerialPort::AllDirections);
            disconnect(port, &QSerialPort::readyRead, nullptr, nullptr);
            port->close();
        }
        delete port;
        port = nullptr;
    });
}

bool serial_port_handle::put_byte(uchar byte)
{
    if (!port)
        return true;
    assert_port_thread();
    const char c = static_cast<char>(byte);
    ++sends;
    return port->write(&c, 1) != 1;
}

bool serial_port_handle::write_and_wait(uchar byte)
{
    return in_port_thread([&] {
        if (put_byte(byte))
            return true;
        return !port->waitForBytesWritten(int(io_wait_limit.count()));
    });
}

bool serial_port_handle::write_byte(uchar byte)
{
    return in_port_thread([&] {
        if (put_byte(byte))
            return true;
        // Out now, not at the next turn of this thread's loop: a reply read
        // before then clears both directions and would take the byte with it.
        port->flush();
        return false;
    });
}

bool serial_port_handle::wait_read_byte(uchar &byte)
{
    return in_port_thread([&] {
        if (!port)
            return true;
        assert_port_thread();
        if (port->bytesAvailable() == 0 && !port->waitForReadyRead(int(io_wait_limit.count())))
            return true;
        char c = 0;
        if (port->read(&c, 1) != 1)
            return true;
        byte = static_cast<uchar>(c);
        return false;
    });
}

bool serial_port_handle::has_port()
{
    return !in_port_thread([&] { return port == nullptr; });
}

bool serial_port_handle::port_is_open()
{
    return !in_port_thread([&] { return !(port && port->isOpen()); });
}

void serial_port_handle::set_port_lost_handler(QObject *context, std::function<void()> handler)
{
    in_port_thread([&] {
        lost_context = context;
        lost_handler = std::move(handler);
    });
}

void serial_port_handle::set_reply_stamping(bool on)
{
    stamping = on;
    std::lock_guard<std::mutex> lock(stamps_mutex);
    reply_stamps.clear();
}

quint32 serial_port_handle::take_reply_stamp()
{
    std::lock_guard<std::mutex> lock(stamps_mutex);
    if (reply_stamps.empty())
        return sends.load() - 1; // no stamp: never taken for an answer
    const quint32 stamp = reply_stamps.front();
    reply_stamps.pop_front();
    return stamp;
}

void serial_port_handle::update_write_complete()
{
    if (!port)
        return;
    assert_port_thread();
    char c = 0;
    reply = port->read(&c, 1) == 1 ? static_cast<uchar>(c) : 0;
    port->clear(QSerialPort::AllDirections);
    qCDebug(serial_log, "FeedBack = 0x%x", reply);
    if (stamping) {
        std::lock_guard<std::mutex> lock(stamps_mutex);
        reply_stamps.push_back(sends.load());
    }
    emit update_sgl_rply(reply);
}

void serial_port_handle::update_reply_connect()
{
    in_port_thread([&] {
        reply = 0;
        if (!port)
            return;
        assert_port_thread();
        disconnect(port, nullptr, nullptr, nullptr);
        watch_port_errors();
        connect(port, &QSerialPort::readyRead, this, &serial_port_handle::update_write_complete);
    });
}

void serial_port_handle::update_reply_disconnect()
{
    in_port_thread([&] {
        if (!port)
            return;
        assert_port_thread();
        disconnect(port, &QSerialPort::readyRead, this, &serial_port_handle::update_write_complete);
    });
}

void serial_port_handle::set_sat_idx(uchar idx)
{
    sat_index = idx;
}

void serial_port_handle::watch_port_errors()
{
    connect(port, &QSerialPort::errorOccurred, this, &serial_port_handle::on_port_error,
            Qt::UniqueConnection);
}

void serial_port_handle::on_port_error(QSerialPort::SerialPortError error)
{
    // Qt reports NoError right after open() and TimeoutError when one of our
    // own waits runs out; neither means the line is gone. A hang-up floods
    // ReadError/ResourceError and leaves the port "open": closing it on the
    // first one stops the flood.
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
        return;
    if (!port || !port->isOpen())
        return;
    assert_port_thread();
    // A read notification whose bytes a clear discarded first (a stray byte
    // just before a conversation clears the port) ends in a read of nothing,
    // which Qt reports as ReadError too. Only a line that hung up is lost.
    if (error == QSerialPort::ReadError && !line_hung_up(*port)) {
        port->clearError();
        return;
    }
    // Rare and worth knowing: shown unless turned off.
    qCWarning(serial_log, "serial port error %d: %s", int(error), qPrintable(port->errorString()));
    port->clearError();
    port->close();
    if (lost_context && lost_handler) {
        auto handler = lost_handler;
        QMetaObject::invokeMethod(
            lost_context, [handler] { handler(); }, Qt::QueuedConnection);
    }
}
