#pragma once

#include <QString>

#include <functional>

class QWidget;

// One question for a file path, as the window asks it.
struct FileQuestion {
    enum Kind { open, save } kind = open;
    QWidget *parent = nullptr;
    QString caption;
    QString directory;
    QString filter;
};

// Answers a question with a path; an empty path means the choice was cancelled.
using FileChooser = std::function<QString(const FileQuestion &)>;

// The toolkit's own open and save dialogs.
QString ask_file_dialog(const FileQuestion &question);
