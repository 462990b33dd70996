#include <QApplication>

#include "velmora.h"

int main(int argc, char *argv[])
{
    // The icon and logos are registered before the application exists and
    // unregistered when it has gone.
    Q_INIT_RESOURCE(velmora);
    int result = 0;
    {
        auto *app = new QApplication(argc, argv);
        auto *window = new velmora;
        window->show();
        result = app->exec();
        delete window;
        delete app;
    }
    Q_CLEANUP_RESOURCE(velmora);
    return result;
}
