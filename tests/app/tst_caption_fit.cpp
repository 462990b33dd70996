// The form read on a real X server at the desktop's dpi (VR20_SCREEN_DPI, 96
// when unset) with the fonts Debian's packages give it: the window grows with
// the desktop's scale, and the text of every label, button, tab and port-box
// row fits the room its widget has for it, so none is clipped.
#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include <algorithm>

#include "desktop_scale.h"
#include "form_font.h"
#include "harness.h"
#include "port_box.h"
#include "velmora.h"
#include "x_window.h"

namespace {

constexpr int form_dpi = 96; // the dpi the form was drawn at: scale 1

int screen_dpi()
{
    bool given = false;
    const int dpi = qEnvironmentVariableIntValue("VR20_SCREEN_DPI", &given);
    return given ? dpi : form_dpi;
}

// The room QLabel leaves its text: the contents less the margin, and the
// indent it keeps from a frame on the side the text is aligned to.
int label_room(const QLabel &label)
{
    int room = label.contentsRect().width() - 2 * label.margin();
    int indent = label.indent();
    if (indent < 0 && label.frameWidth() > 0)
        indent = label.fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 - label.margin();
    if (indent > 0 && (label.alignment() & (Qt::AlignLeft | Qt::AlignRight)))
        room -= indent;
    return room;
}

// A button's contents less the margin the style wants around its text.
int button_room(const QPushButton &button)
{
    QStyleOptionButton option;
    option.initFrom(&button);
    option.text = button.text();
    if (button.isDefault() || button.autoDefault())
        option.features |= QStyleOptionButton::AutoDefaultButton;
    QStyle *style = button.style();
    return style->subElementRect(QStyle::SE_PushButtonContents, &option, &button).width()
        - style->pixelMetric(QStyle::PM_ButtonMargin, &option, &button);
}

// A combo box's text field, less the pixel its label keeps free either side.
int combo_room(const QComboBox &box)
{
    QStyleOptionComboBox option;
    option.initFrom(&box);
    option.editable = box.isEditable();
    option.frame = box.hasFrame();
    return box.style()
               ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, &box)
               .width()
        - 2;
}

PortEntry listed(const QString &path, const QString &description, bool usb)
{
    PortEntry entry = named_port(path);
    entry.description = description;
    entry.usb = usb;
    return entry;
}

} // namespace

class TstCaptionFit : public QObject
{
    Q_OBJECT

    std::shared_ptr<harness::FixedListing> listing;
    std::unique_ptr<harness::ModalDriver> driver;
    std::unique_ptr<velmora> window;

private slots:
    void initTestCase()
    {
        Q_INIT_RESOURCE(velmora);
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs a real X server: run under xvfb-run with QT_QPA_PLATFORM=xcb (xvfb-run was not "
                  "found when the build was configured)");
        QVERIFY2(use_form_font() == QLatin1String("Tahoma"),
                 "no Tahoma-like face: scripts/packages.sh installs fonts-wine");
        listing = std::make_shared<harness::FixedListing>(QList<PortEntry>{
            listed("/dev/ttyACM0", "USB CDC modem", true),
            listed("/dev/ttyS0", "", false),
            listed("/dev/ttyUSB0", "FT232R USB UART", true),
            listed("/dev/ttyUSB15", "CP2102 USB to UART Bridge Controller", true),
            listed("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "FT232R USB UART", true),
        });
        driver = std::make_unique<harness::ModalDriver>();
        window = std::make_unique<velmora>(listing);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    // The window is 800 x 600 device-independent pixels, so the X server's
    // window is that times the desktop's scale.
    void window_grows_with_the_desktop()
    {
        if (!window)
            QSKIP("no window");
        const qreal scale = qreal(screen_dpi()) / form_dpi;
        const QSize form_size(800, 600);
        QCOMPARE(window->size(), form_size);
        QCOMPARE(window->devicePixelRatioF(), scale);
        // The fonts grow with the window, not on top of it.
        QCOMPARE(window->logicalDpiX(), form_dpi);
        const std::optional<QSize> shown = x_window_size({"-id", QString::number(window->winId())});
        QVERIFY2(shown.has_value(), "xwininfo (package x11-utils) does not find the window");
        QCOMPARE(*shown, form_size * scale);
    }

    void cleanupTestCase()
    {
        if (window) {
            // For a look by eye: both tabs as the window paints them, the
            // boxes on their widest rows (set quietly: no port is opened).
            const std::pair<QComboBox *, int> shown[]
                = {{window->ui.comboBox_port_rw, 18}, {window->ui.comboBox_port_update, 14}};
            for (const auto &[box, row] : shown) {
                const QSignalBlocker block(box);
                box->setCurrentIndex(row);
            }
            for (int tab = 0; tab < window->ui.tabWidget->count(); ++tab) {
                window->ui.tabWidget->setCurrentIndex(tab);
                const QString path = QDir::temp().filePath(
                    QStringLiteral("vr20-loader-%1dpi-tab%2.png").arg(screen_dpi()).arg(tab));
                if (window->grab().save(path))
                    qInfo("%s", qPrintable(path));
            }
        }
        window.reset();
        driver.reset();
    }

    void text_fits_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("room");
        QTest::addColumn<int>("width");
        if (!window)
            QSKIP("no window");
        // The pen's advance, or the ink where it reaches further ("COM Port":
        // 50 px of advance, 52 of ink).
        const auto advance = [](const QWidget &w, const QString &text) {
            const QFontMetrics metrics = w.fontMetrics();
            return std::max(metrics.horizontalAdvance(text), metrics.boundingRect(text).width());
        };
        for (const QLabel *label : window->findChildren<QLabel *>()) {
            if (!label->objectName().startsWith(QLatin1String("label")) || label->text().isEmpty())
                continue;
            QTest::newRow(qPrintable(label->objectName()))
                << label->text() << label_room(*label) << advance(*label, label->text());
        }
        for (const QPushButton *button : window->findChildren<QPushButton *>()) {
            if (!button->objectName().startsWith(QLatin1String("pushButton")))
                continue;
            QTest::newRow(qPrintable(button->objectName()))
                << button->text() << button_room(*button) << advance(*button, button->text());
        }
        const QTabBar *bar = window->ui.tabWidget->tabBar();
        const int tab_space = bar->style()->pixelMetric(QStyle::PM_TabBarTabHSpace, nullptr, bar);
        for (int tab = 0; tab < bar->count(); ++tab)
            QTest::newRow(qPrintable(QStringLiteral("tab %1").arg(tab)))
                << bar->tabText(tab) << bar->tabRect(tab).width() - tab_space
                << advance(*bar, bar->tabText(tab));
        for (const QComboBox *box : {window->ui.comboBox_port_rw, window->ui.comboBox_port_update})
            for (int row = 0; row < box->count(); ++row)
                QTest::newRow(qPrintable(QStringLiteral("%1 row %2").arg(box->objectName()).arg(row)))
                    << box->itemText(row) << combo_room(*box) << advance(*box, box->itemText(row));
    }

    void text_fits()
    {
        QFETCH(QString, text);
        QFETCH(int, room);
        QFETCH(int, width);
        QVERIFY2(width <= room,
                 qPrintable(QStringLiteral("\"%1\" takes %2 px of %3").arg(text).arg(width).arg(room)));
    }

    // Adapter names and the COM names up to COM15 are shown whole.
    void short_names_are_shown_whole_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("text");
        QTest::newRow("COM10") << 9 << "COM10";
        QTest::newRow("COM15") << 14 << "COM15";
        QTest::newRow("ttyACM0") << 15 << "ttyACM0";
        QTest::newRow("ttyS0") << 16 << "ttyS0";
        QTest::newRow("ttyUSB0") << 17 << "ttyUSB0";
        QTest::newRow("ttyUSB15") << 18 << "ttyUSB15";
    }

    void short_names_are_shown_whole()
    {
        QFETCH(int, row);
        QFETCH(QString, text);
        if (!window)
            QSKIP("no window");
        for (const QComboBox *box : {window->ui.comboBox_port_rw, window->ui.comboBox_port_update})
            QCOMPARE(box->itemText(row), text);
    }
};

int main(int argc, char *argv[])
{
    // The application starts as vr20-loader's does.
    follow_desktop_scale();
    QApplication app(argc, argv);
    TstCaptionFit test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_caption_fit.moc"
