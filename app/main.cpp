#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

#include "desktop_scale.h"
#include "form_font.h"
#include "velmora.h"

namespace {

const char usage[] = "Usage: vr20-loader [--port PORT]\n"
                     "The service window of the Quorinel VR20 positioner box.\n"
                     "\n"
                     "  --port PORT    the port to use, instead of trying COM1..COM15 and the USB\n"
                     "                 adapters at start-up: a device path (/dev/ttyUSB0, /dev/pts/3)\n"
                     "                 or a name under /dev (COM3, ttyUSB0)\n"
                     "  -h, --help     show this text\n"
                     "  -v, --version  show the version\n"
                     "\n"
                     "Qt's own options (-platform, -style, ...) are taken as well.\n"
                     "Debug output: QT_LOGGING_RULES='vr20.*.debug=true' vr20-loader\n";

QStringList arguments(int argc, char *argv[])
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list.append(QString::fromLocal8Bit(argv[i]));
    return list;
}

// What is wrong with `args` for the window, or nothing.
QString argument_error(QCommandLineParser &parser, const QStringList &args, const QCommandLineOption &port)
{
    if (!parser.parse(args))
        return parser.errorText();
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument '%1'.").arg(parser.positionalArguments().first());
    if (parser.isSet(port) && parser.value(port).isEmpty())
        return QStringLiteral("--port needs a port name or path.");
    return QString();
}

} // namespace

int main(int argc, char *argv[])
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, QString());
    const QCommandLineOption version({"v", "version"}, QString());
    const QCommandLineOption port("port", QString(), "PORT");
    parser.addOptions({help, version, port});
    // Help and version need no display, so they are answered before the
    // application exists. Qt's own options are still among the arguments
    // here: only QApplication knows and removes them, so the arguments are
    // judged when it has.
    parser.parse(arguments(argc, argv));
    if (parser.isSet(help)) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("vr20-loader %s\n", VR20_VERSION);
        return 0;
    }

    // The icon and logos are registered before the application exists and
    // unregistered when it has gone.
    Q_INIT_RESOURCE(velmora);
    follow_desktop_scale();
    int result = 0;
    {
        auto *app = new QApplication(argc, argv);
        const QString error = argument_error(parser, QCoreApplication::arguments(), port);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "vr20-loader: %s\n(--help for usage)\n", qPrintable(error));
            result = 2;
        } else {
            use_form_font();
            auto *window = new velmora(std::make_shared<SystemPortListing>(), parser.value(port));
            window->show();
            result = app->exec();
            delete window;
        }
        delete app;
    }
    Q_CLEANUP_RESOURCE(velmora);
    return result;
}
