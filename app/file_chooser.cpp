#include "file_chooser.h"

#include <QFileDialog>

QString ask_file_dialog(const FileQuestion &question)
{
    if (question.kind == FileQuestion::save)
        return QFileDialog::getSaveFileName(question.parent, question.caption, question.directory,
                                            question.filter);
    return QFileDialog::getOpenFileName(question.parent, question.caption, question.directory,
                                        question.filter);
}
