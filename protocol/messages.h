#pragma once

#include <QString>

#include <cstdint>

namespace protocol {

// Every message box the tool shows, by what it says. The window and the
// command line take their words from the one table behind message().
enum class MessageId : uint8_t {
    none,
    // ports
    port_unusable,
    port_not_found,
    port_cannot_open,
    // soft limits
    limits_out_of_range,
    limits_wrong_order,
    limits_set_ok,
    limits_set_incomplete, // the box ended the write before it had every limit byte
    limits_read_out_of_range, // the box sent a limit no box holds
    // satellite list
    list_read_ok,
    list_read_connection_error,
    list_write_ok,
    list_transfer_error,
    csv_no_file,
    csv_cannot_open,
    csv_cannot_save,
    // update
    package_not_found,
    package_cannot_open,
    device_not_prepared,
    cpu_mismatch,
    package_too_old,
    line_retries_exhausted,
    data_write_error,
    update_failed,
    update_line_lost,
    update_completed,
    // package builder
    image_cannot_open,
    image_and_package_missing,
    image_file_cannot_open,
    package_file_cannot_open,
    package_cannot_write,
};

enum class MessageIcon : uint8_t { warning, information };

struct Message {
    const char *title; // "Warning", "Error", "Hint", "Info"
    const char *text;
    MessageIcon icon;
};

// The title, text and icon of a message; `none` gives empty texts.
const Message &message(MessageId id);
// The id's own name ("list_transfer_error"), for traces and tests.
const char *message_name(MessageId id);

} // namespace protocol
