// The EAST/WEST soft limits: reading them from and writing them to the box.
// Neither exchange has a time-out; a pending one is abandoned when any other
// device flow starts.
#include "velmora.h"

#include "soft_limit_exchange.h"

void velmora::get_soft_limit()
{
    if (!begin_device_flow(DeviceFlow::limit_read))
        return;
    run_flow(std::make_unique<protocol::SoftLimitRead>());
}

void velmora::get_lmt_rply(uchar fbk)
{
    feed_reply(DeviceFlow::limit_read, fbk);
}

void velmora::set_soft_limit()
{
    if (!begin_device_flow(DeviceFlow::limit_write))
        return;
    // Text that is no 16-bit number counts as 0.
    west_limit = ui.lineEdit_wst_lmt->text().toShort(nullptr, 10);
    east_limit = ui.lineEdit_est_lmt->text().toShort(nullptr, 10);
    run_flow(std::make_unique<protocol::SoftLimitWrite>(west_limit, east_limit));
}

void velmora::set_lmt_rply(uchar fbk)
{
    feed_reply(DeviceFlow::limit_write, fbk);
}
