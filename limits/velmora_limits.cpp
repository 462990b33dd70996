// The EAST/WEST soft limits: reading them from and writing them to the box.
#include "velmora.h"

void velmora::get_soft_limit()
{
}

void velmora::set_soft_limit()
{
}

void velmora::get_lmt_rply(uchar fbk)
{
    Q_UNUSED(fbk);
}

void velmora::set_lmt_rply(uchar fbk)
{
    Q_UNUSED(fbk);
}

void velmora::limit_port_lost()
{
}
