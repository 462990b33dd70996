// vr20-loader's command line: help and version without a display, and
// arguments it does not take refused before a window opens.
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

namespace {

const QString loader = QStringLiteral(VR20_BINARY_DIR "/vr20-loader");

} // namespace

class TstLoaderCli : public QObject
{
    Q_OBJECT

private slots:
    void arguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        // "none": no display at all (xcb, no DISPLAY); else the platform.
        QTest::addColumn<QString>("platform");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("out"); // the start of standard output
        QTest::addColumn<QString>("err"); // the start of standard error

        const QString usage("Usage: vr20-loader [--port PORT]\n");
        const QString version("vr20-loader " VR20_VERSION "\n");
        QTest::newRow("--version, no display") << QStringList{"--version"} << "none" << 0 << version << "";
        QTest::newRow("-v, no display") << QStringList{"-v"} << "none" << 0 << version << "";
        QTest::newRow("--help, no display") << QStringList{"--help"} << "none" << 0 << usage << "";
        QTest::newRow("-h, no display") << QStringList{"-h"} << "none" << 0 << usage << "";
        QTest::newRow("--help after a port")
            << QStringList{"--port", "COM3", "--help"} << "none" << 0 << usage << "";
        QTest::newRow("--version among Qt's options")
            << QStringList{"-platform", "offscreen", "-reverse", "--version"} << "none" << 0 << version << "";
        QTest::newRow("an option it does not know")
            << QStringList{"--prot", "COM3"} << "offscreen" << 2 << ""
            << "vr20-loader: Unknown option 'prot'.\n(--help for usage)\n";
        QTest::newRow("--port without its name") << QStringList{"--port"} << "offscreen" << 2 << ""
                                                 << "vr20-loader: Missing value after '--port'.\n";
        QTest::newRow("--port with an empty name") << QStringList{"--port", ""} << "offscreen" << 2 << ""
                                                   << "vr20-loader: --port needs a port name or path.\n";
        QTest::newRow("a stray argument") << QStringList{"COM3"} << "offscreen" << 2 << ""
                                          << "vr20-loader: unexpected argument 'COM3'.\n";
    }

    void arguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, platform);
        QFETCH(int, exit_code);
        QFETCH(QString, out);
        QFETCH(QString, err);

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.insert("QT_QPA_PLATFORM", platform == "none" ? "xcb" : platform);
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(loader, arguments);
        QVERIFY2(process.waitForFinished(20000), qPrintable(process.errorString()));
        const QString got_out = QString::fromLocal8Bit(process.readAllStandardOutput());
        const QString got_err = QString::fromLocal8Bit(process.readAllStandardError());
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QVERIFY2(process.exitCode() == exit_code, qPrintable(got_err));
        QVERIFY2(out.isEmpty() ? got_out.isEmpty() : got_out.startsWith(out), qPrintable(got_out));
        // Anything else on standard error comes from Qt (its runtime folder).
        QVERIFY2(err.isEmpty() ? !got_err.contains("vr20-loader") : got_err.contains(err),
                 qPrintable(got_err));
    }
};

QTEST_GUILESS_MAIN(TstLoaderCli)
#include "tst_loader_cli.moc"
