#include "ui_widget.h"
#include "window/widget.h"

#include "core/logtextfile.h"
#include "window/logpane.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

using namespace rangefinder;

void Widget::saveFile()
{
    const QString fileName =
        QFileDialog::getSaveFileName(this, tr("Save File"), QDir::currentPath(), QString());
    // Misspelt titles and text kept as they are: operators, and scripts that watch for these
    // boxes, know them by these words.
    if (fileName.isEmpty()) {
        QMessageBox::information(this, tr("Error Message"), tr("Plesase Select a Text File"),
                                 QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

    // Read only now: measurement goes on while the dialog is open, and those lines belong in
    // the file too. Lines the pane no longer shows come first.
    QString errorString;
    if (!saveLogText(fileName, logPane->text(), &errorString))
        QMessageBox::information(this, tr("Error Messaage"), tr("File Save Error") + errorString,
                                 QMessageBox::Ok, QMessageBox::NoButton);
}
