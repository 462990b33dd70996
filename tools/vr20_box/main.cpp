// vr20-box: every conversation with the box from the command line.
#include <QCoreApplication>
#include <QStringList>

#include "port_listing.h"
#include "vr20_box.h"
#include "whole_file.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Paths stay the bytes the system gave: a name need not be UTF-8.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << argument_text(argv[i]);
    const SystemPortListing listing;
    return vr20box::run(args, listing);
}
