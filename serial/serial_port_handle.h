#pragma once

#include <QObject>
#include <QSerialPort>
#include <QThread>

#include <atomic>
#include <deque>
#include <mutex>
#include <chrono>
#include <functional>

// The serial worker: owns the one port to the box, applies the line settings
// and turns every arrival of data into exactly one reply byte.
//
// QSerialPort is not thread-safe and its notifiers belong to the thread that
// owns it, so the port object lives in the worker's thread and every port
// operation runs there. The operations below may be called from the GUI
// thread: they are carried into the worker's thread and the caller waits for
// their result, so the caller sees them in the order it made them.
//
// Results of the blocking operations are true on failure or time-out and
// false on success.
class serial_port_handle : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds io_wait_limit{3000};
    static constexpr qint32 baud_rate = 57600;

    serial_port_handle();
    ~serial_port_handle() override;

    // Creates a port object for `name`, applies the line settings and opens
    // it read/write. The caller releases any earlier port object first.
    bool open_port(const QString &name);
    // Opens the existing port object again if it is closed.
    bool reopen_port();
    // Discards received bytes and closes the port; the object stays. Bytes
    // already sent are not taken back.
    void close_port();
    // Discards received and unsent bytes.
    void clear_port();
    // Flushes, clears, disconnects and closes the port, then destroys it.
    void release_port();
    // Writes one byte and waits until it has been handed to the line.
    bool write_and_wait(uchar byte);
    // Writes one byte without waiting for it to leave.
    bool write_byte(uchar byte);
    // Waits for data and reads one byte into `byte`; leaves it alone on time-out.
    bool wait_read_byte(uchar &byte);

    bool has_port();
    bool port_is_open();

    // Called once, queued into `context`'s thread, when the open port fails
    // (the far end hung up, the adapter was pulled out). The worker has then
    // closed the port already.
    void set_port_lost_handler(QObject *context, std::function<void()> handler);

    // Bytes handed to the port so far. A reply read before the latest send
    // cannot be the answer to it.
    quint32 sent_count() const { return sends.load(); }

    // With stamping on, every update_sgl_rply has a stamp: sent_count() when
    // its byte was read. A receiver that gets every emission takes them in
    // order, one per emission, with take_reply_stamp().
    void set_reply_stamping(bool on);
    quint32 take_reply_stamp();

    // Releases the port and stops the thread; later calls do nothing and
    // report failure. The destructor does this too.
    void shut_down();

    QSerialPort *port = nullptr;
    uchar reply = 0;
    uchar sat_index = 0;
    QThread thread;

signals:
    void sat_data_ready(uchar idx);
    void sat_data_read_finish();
    void update_sgl_rply(uchar rply);

public slots:
    void update_write_complete();
    void update_reply_connect();
    void update_reply_disconnect();
    void set_sat_idx(uchar idx);

private:
    template <typename F>
    auto in_port_thread(F &&operation) -> decltype(operation());
    void assert_port_thread() const;
    // Hands one byte to the port object, in the port's thread; true when
    // there is no port or it refused the byte.
    bool put_byte(uchar byte);
    void watch_port_errors();
    void on_port_error(QSerialPort::SerialPortError error);

    std::atomic<bool> stopped{false};
    std::atomic<quint32> sends{0};
    std::atomic<bool> stamping{false};
    std::mutex stamps_mutex;
    std::deque<quint32> reply_stamps;
    QObject *lost_context = nullptr;
    std::function<void()> lost_handler;
};
