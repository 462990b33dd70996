// vr20-loader as a technician starts it on a desktop at 120 dpi: the window
// grows by the desktop's 1.25, and the toolkit's own scaling variables still
// decide where they are set. Runs under Xvfb at 120 dpi (VR20_SCREEN_DPI says
// so); skips elsewhere.
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <optional>

#include "pty_peer.h"
#include "x_window.h"

namespace {

const QString loader = QStringLiteral(VR20_BINARY_DIR "/vr20-loader");
const QString title = QStringLiteral("Quorinel VR20 Loader Editor v2.0");
constexpr int window_limit_ms = 30000; // start-up under the sanitizers on a loaded machine

const QStringList scaling_variables{"QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
                                    "QT_SCALE_FACTOR_ROUNDING_POLICY", "QT_ENABLE_HIGHDPI_SCALING",
                                    "QT_AUTO_SCREEN_SCALE_FACTOR"};

} // namespace

class TstDesktopScale : public QObject
{
    Q_OBJECT

private slots:
    void window_size_data()
    {
        QTest::addColumn<QString>("variable"); // NAME=VALUE, or empty
        QTest::addColumn<QSize>("size");
        QTest::newRow("the desktop's 1.25") << QString() << QSize(1000, 750);
        QTest::newRow("scaling turned off") << "QT_ENABLE_HIGHDPI_SCALING=0" << QSize(800, 600);
        QTest::newRow("a factor on top of the desktop's") << "QT_SCALE_FACTOR=1.2" << QSize(1200, 900);
        QTest::newRow("the screen's factor chosen") << "QT_SCREEN_SCALE_FACTORS=1.4" << QSize(1120, 840);
        QTest::newRow("factors rounded") << "QT_SCALE_FACTOR_ROUNDING_POLICY=Round" << QSize(800, 600);
    }

    void window_size()
    {
        QFETCH(QString, variable);
        QFETCH(QSize, size);
        if (qEnvironmentVariableIntValue("VR20_SCREEN_DPI") != 120)
            QSKIP("needs an X server at 120 dpi: run under xvfb-run (xvfb-run was not found when the build "
                  "was configured)");

        // A terminal for a port, so that the window starts without a warning.
        boxsim::PtyPeer port;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString &name : scaling_variables)
            environment.remove(name);
        if (!variable.isEmpty())
            environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
        environment.insert("QT_QPA_PLATFORM", "xcb");
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(loader, {"--port", QString::fromStdString(port.slave_path())});
        QVERIFY2(process.waitForStarted(), qPrintable(process.errorString()));

        std::optional<QSize> shown;
        QTRY_VERIFY_WITH_TIMEOUT(process.state() != QProcess::Running
                                     || (shown = x_window_size({"-name", title})).has_value(),
                                 window_limit_ms);
        QVERIFY2(shown.has_value(), "vr20-loader ended without showing its window");
        QCOMPARE(*shown, size);
        process.kill();
        QVERIFY(process.waitForFinished());
        QTRY_VERIFY_WITH_TIMEOUT(!x_window_size({"-name", title}), window_limit_ms);
    }
};

QTEST_GUILESS_MAIN(TstDesktopScale)
#include "tst_desktop_scale.moc"
