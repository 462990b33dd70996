// vr20-box: every conversation with the box from the command line.
#include <QCoreApplication>
#include <QStringList>

#include "port_listing.h"
#include "vr20_box.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();
    const SystemPortListing listing;
    return vr20box::run(args, listing);
}
