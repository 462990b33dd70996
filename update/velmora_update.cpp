// Package loading and the bootloader update session.
#include "velmora.h"

void velmora::binfile_in()
{
}

void velmora::update_start()
{
}

void velmora::update_pause()
{
}

void velmora::update_byte_rply(uchar fbk)
{
    Q_UNUSED(fbk);
}

void velmora::update_timeout()
{
}

void velmora::update_finish()
{
}

void velmora::update_port_lost()
{
}
