#include "messages.h"

#include <iterator>

namespace protocol {

namespace {

struct Entry {
    MessageId id;
    const char *name;
    Message message;
};

constexpr MessageIcon warning = MessageIcon::warning;
constexpr MessageIcon information = MessageIcon::information;

const char *const transfer_error_text = "Data transfer error, please restart box and PC software";

// In the order of MessageId.
const Entry table[] = {
    {MessageId::none, "none", {"", "", warning}},
    {MessageId::port_unusable,
     "port_unusable",
     {"Warning", "The serial port is occupied or not exist, please try another port.", warning}},
    {MessageId::port_not_found, "port_not_found", {"Warning", "Serial Port Not Found!", warning}},
    {MessageId::port_cannot_open, "port_cannot_open", {"Warning", "Cannot Open or Find the Port!", warning}},
    {MessageId::limits_out_of_range,
     "limits_out_of_range",
     {"Warning", "The EAST/WEST limit setting should between -5000 to 5000.", warning}},
    {MessageId::limits_wrong_order,
     "limits_wrong_order",
     {"Warning", "The EAST limit should be greater than the WEST limit.", warning}},
    {MessageId::limits_set_ok, "limits_set_ok", {"Hint", "EAST/WEST limit set OK.", information}},
    {MessageId::limits_set_incomplete,
     "limits_set_incomplete",
     {"Warning",
      "The box ended the exchange before it received every limit. Read the limits back to check them.",
      warning}},
    {MessageId::limits_read_out_of_range,
     "limits_read_out_of_range",
     {"Warning", "The box answered with a limit outside -5000 to 5000. Read the limits again to check them.",
      warning}},
    {MessageId::list_read_ok, "list_read_ok", {"Info", "Satellite data read successfully!", information}},
    {MessageId::list_read_connection_error,
     "list_read_connection_error",
     {"Error", "Data connection error, please restart box and PC software", warning}},
    {MessageId::list_write_ok, "list_write_ok", {"Hint", "Satellite data write successfully!", information}},
    {MessageId::list_transfer_error, "list_transfer_error", {"Error", transfer_error_text, warning}},
    {MessageId::csv_no_file, "csv_no_file", {"Warning", "No CSV file", warning}},
    {MessageId::csv_cannot_open, "csv_cannot_open", {"Warning", "Fail to open CSV file", warning}},
    {MessageId::csv_cannot_save,
     "csv_cannot_save",
     {"Warning", "Fail to save CSV file, the file is unchanged", warning}},
    {MessageId::package_not_found, "package_not_found", {"Warning", "Can not find BIN file", warning}},
    {MessageId::package_cannot_open, "package_cannot_open", {"Warning", "Can not open BIN file", warning}},
    {MessageId::device_not_prepared,
     "device_not_prepared",
     {"Warning", "Device has not been prepared, please re-connect cable and reboot the update software.",
      warning}},
    {MessageId::cpu_mismatch,
     "cpu_mismatch",
     {"Warning", "BIN file CPU does not corresponding with device's CPU", warning}},
    {MessageId::package_too_old, "package_too_old", {"Warning", "Too old BIN file", warning}},
    {MessageId::line_retries_exhausted, "line_retries_exhausted", {"Warning", transfer_error_text, warning}},
    {MessageId::data_write_error,
     "data_write_error",
     {"Warning", "Data write error, please restart box and PC software", warning}},
    {MessageId::update_failed,
     "update_failed",
     {"Error", "Update process failed, please reboot the device and restart the update program.", warning}},
    {MessageId::update_line_lost, "update_line_lost", {"Error", transfer_error_text, warning}},
    {MessageId::update_completed, "update_completed", {"Hint", "Update process completed.", information}},
    {MessageId::image_cannot_open, "image_cannot_open", {"Warning", "Fail to open S19 file!", warning}},
    {MessageId::image_and_package_missing,
     "image_and_package_missing",
     {"Warning", "S file and Bin file are all empty!", warning}},
    {MessageId::image_file_cannot_open,
     "image_file_cannot_open",
     {"Warning", "Fail to open S file!", warning}},
    {MessageId::package_file_cannot_open,
     "package_file_cannot_open",
     {"Warning", "Fail to open Bin file!", warning}},
    {MessageId::package_cannot_write,
     "package_cannot_write",
     {"Warning", "Fail to write Bin file!", warning}},
};

const Entry &entry(MessageId id)
{
    const auto index = static_cast<std::size_t>(id);
    return index < std::size(table) ? table[index] : table[0];
}

} // namespace

const Message &message(MessageId id)
{
    return entry(id).message;
}

const char *message_name(MessageId id)
{
    return entry(id).name;
}

} // namespace protocol
