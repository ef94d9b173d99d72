#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

class QWidget;

namespace rangefinder {

// Static message boxes and file dialogs run a nested event loop. A catcher polls for the
// active modal widget, records what it showed and closes it, so that tests can assert on
// titles and texts without a person at the keyboard.
class ModalCatcher : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        const QWidget *parent = nullptr;
    };
    struct FileDialog
    {
        QString title;
        QString directory;
        QStringList nameFilters;
        int options = 0;
        const QWidget *parent = nullptr;
    };

    explicit ModalCatcher(QObject *parent = nullptr);

    // What the next file dialogs answer: a path to accept, or an empty string to cancel.
    void setFileAnswer(const QString &path) { m_fileAnswer = path; }
    // Runs while a file dialog is open, before it is answered (the nested loop is running).
    void setWhileFileDialogOpen(std::function<void()> action) { m_whileOpen = std::move(action); }

    const QVector<Box> &boxes() const { return m_boxes; }
    const QVector<FileDialog> &fileDialogs() const { return m_fileDialogs; }
    void clear();

private:
    void poll();

    QTimer m_timer;
    QList<QPointer<QWidget>> m_closing;
    QString m_fileAnswer;
    std::function<void()> m_whileOpen;
    QVector<Box> m_boxes;
    QVector<FileDialog> m_fileDialogs;
};

} // namespace rangefinder
