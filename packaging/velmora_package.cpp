// The package builder's slots. The Package tab is removed from the window at
// start-up; the slots stay connected to its buttons.
#include "velmora.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <sstream>

#include "package_builder.h"
#include "srecord.h"
#include "whole_file.h"

void velmora::select_s_path()
{
    s19_path = choose_file(FileQuestion::open, this, tr("Open Files"), QStringLiteral(".."),
                           tr("Text Files(*.s19)"));
    if (s19_path.isEmpty())
        return;
    ui.lineEdit_s19->setText(s19_path);

    // Read whole, with a limit: an endless file ends there.
    const WholeRead image = read_whole_file(QFile::encodeName(s19_path));
    if (!image.ok()) {
        show_message(protocol::MessageId::image_cannot_open, image.error);
        return;
    }

    // Without a record at 0x3100 the configuration held so far stays and is
    // shown again.
    std::istringstream in(image.bytes.toStdString());
    read_config_record(in, fw_config);
    pkg_s19_config = fw_config;
    const FirmwareConfigText text = decode_fw_config(fw_config);
    ui.label_model->setText(text.model);
    ui.label_mcu->setText(text.mcu);
    ui.label_date->setText(text.date);
    ui.label_ver->setText(text.version);
}

void velmora::select_bin_path()
{
    file_path = choose_file(FileQuestion::save, nullptr, tr("Save Files"), QStringLiteral(".."),
                            tr("Text Files(*.bin)"));
    pkg_out_path = file_path;
    if (!pkg_out_path.isEmpty())
        ui.lineEdit_bin->setText(pkg_out_path);
}

void velmora::s2bin()
{
    if (pkg_building)
        return;
    if (s19_path.isEmpty() || pkg_out_path.isEmpty()) {
        show_message(protocol::MessageId::image_and_package_missing);
        return;
    }

    pkg_building = true;
    const auto progress = [this](int line, int total) {
        ui.progressBar_package->setMaximum(total);
        ui.progressBar_package->setValue(line);
        QCoreApplication::processEvents();
    };
    // The header is the image's own record, read again now: fw_config may
    // hold a package's header chosen on the Update tab since.
    const BuildResult result = build_package_file(QFile::encodeName(s19_path),
                                                  QFile::encodeName(pkg_out_path), pkg_s19_config, progress);
    pkg_building = false;

    switch (result.error) {
    case BuildError::none:
    case BuildError::refused:
        break;
    case BuildError::image_not_opened:
    case BuildError::image_read_error:
        show_message(protocol::MessageId::image_file_cannot_open);
        break;
    case BuildError::package_not_opened:
        show_message(protocol::MessageId::package_file_cannot_open);
        break;
    case BuildError::package_write_error:
        show_message(protocol::MessageId::package_cannot_write);
        break;
    }
}
