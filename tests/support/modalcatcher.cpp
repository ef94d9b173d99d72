#include "support/modalcatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace rangefinder {

ModalCatcher::ModalCatcher(QObject *parent) : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, &ModalCatcher::poll);
    m_timer.start(10);
}

void ModalCatcher::clear()
{
    m_boxes.clear();
    m_fileDialogs.clear();
}

void ModalCatcher::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    // A dialog being answered can be the active one again once a box it opened has closed
    // (the overwrite confirmation of a save): each is handled once.
    m_closing.removeAll(nullptr);
    if (m_closing.contains(modal))
        return;
    // Closing may open another nested loop (the overwrite confirmation of a save dialog), and
    // a timer does not fire again inside its own handler: close from a fresh event instead.
    m_closing.append(modal);

    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        Box seen;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.buttons = box->standardButtons();
        seen.parent = box->parentWidget();
        m_boxes.append(seen);
        // The overwrite confirmation of a save dialog asks Yes/No; everything else has OK.
        QAbstractButton *answer = box->button(QMessageBox::Yes);
        if (!answer)
            answer = box->button(QMessageBox::Ok);
        QTimer::singleShot(0, box, [box, answer] {
            if (answer)
                answer->click();
            else
                box->reject();
        });
        return;
    }

    if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
        FileDialog seen;
        seen.title = dialog->windowTitle();
        seen.directory = dialog->directory().absolutePath();
        seen.nameFilters = dialog->nameFilters();
        seen.options = int(dialog->options());
        seen.parent = dialog->parentWidget();
        m_fileDialogs.append(seen);
        const QString answer = m_fileAnswer;
        QTimer::singleShot(0, dialog, [this, dialog, answer] {
            if (m_whileOpen)
                m_whileOpen();
            if (answer.isEmpty()) {
                dialog->reject();
            } else if (auto *name =
                           dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))) {
                // Typed into the name field, as a person would: selectFile leaves the field
                // alone while it has the focus, and turns a path outside the shown directory
                // into one below it.
                name->setText(answer);
                QMetaObject::invokeMethod(dialog, "accept");
            } else {
                dialog->selectFile(answer);
                QMetaObject::invokeMethod(dialog, "accept");
            }
        });
    }
}

} // namespace rangefinder
