// The satellite list: CSV files, reading the list from the box and writing
// it to the box.
#include "velmora.h"

void velmora::sat_read_file()
{
}

void velmora::sat_write_file()
{
}

void velmora::sat_read_device()
{
}

void velmora::list_byte_rply(uchar fbk)
{
    Q_UNUSED(fbk);
}

void velmora::sat_set_timout()
{
}

void velmora::slt_sat_data_ready(uchar idx)
{
    Q_UNUSED(idx);
}

void velmora::sat_write_device()
{
}

void velmora::list_wt_byte_rply(uchar fbk)
{
    Q_UNUSED(fbk);
}

void velmora::sat_write_timeout()
{
}

void velmora::list_port_lost()
{
}
