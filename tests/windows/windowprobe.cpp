// Runs the window's code on Windows (under Wine in CI) and reports what a screenshot cannot
// show reliably:
//   rangefinder-window-probe ports                  the port list, one entry a line
//   rangefinder-window-probe save LOG TEXT          the pane holding TEXT's UTF-8 content,
//                                                   文件保存 into LOG; prints the code page
// Output is UTF-8, whatever the console's code page.
#include "window/widget.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTextCodec>
#include <QTextEdit>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

template <typename T> T *child(const QObject *root, const char *name)
{
    T *object = root->findChild<T *>(QLatin1String(name));
    if (!object) {
        std::fprintf(stderr, "window-probe: the window has no %s\n", name);
        std::exit(3);
    }
    return object;
}

void print(const QString &line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

int listPorts(const Widget &window)
{
    const auto *ports = child<QComboBox>(&window, "portCBox");
    for (int i = 0; i < ports->count(); ++i)
        print(ports->itemText(i));
    return 0;
}

int save(Widget &window, const QString &logPath, const QString &textPath)
{
    QFile textFile(textPath);
    if (!textFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "window-probe: cannot read %s\n", qPrintable(textPath));
        return 2;
    }
#ifdef Q_OS_WIN
    print(QStringLiteral("code page %1").arg(GetACP()));
#endif
    print(QStringLiteral("locale codec %1")
              .arg(QString::fromLatin1(QTextCodec::codecForLocale()->name())));
    // As the operator would type it into the pane.
    child<QTextEdit>(&window, "textEdit")->setPlainText(QString::fromUtf8(textFile.readAll()));

    // Whatever modal the save opens is answered here: the dialog with the file name, a box
    // (a failed save) by reporting it.
    int status = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            // The dialog leaves a focused name field as it is.
            if (QWidget *focused = dialog->focusWidget())
                focused->clearFocus();
            dialog->selectFile(QDir::fromNativeSeparators(logPath));
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            print(QStringLiteral("box: %1 %2").arg(box->windowTitle(), box->text()));
            status = 1;
            box->accept();
        }
    });
    answer.start(50);
    // A dialog that does not take the name (a folder that does not exist) would wait forever.
    QTimer::singleShot(30000, [] {
        std::fprintf(stderr, "window-probe: the save did not end within 30 s\n");
        std::exit(4);
    });
    child<QPushButton>(&window, "saveFileBtn")->click();
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    // The widget dialog can be answered from inside the program; the native one cannot.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    Widget window;
    if (args.size() == 2 && args.at(1) == QLatin1String("ports"))
        return listPorts(window);
    if (args.size() == 4 && args.at(1) == QLatin1String("save"))
        return save(window, args.at(2), args.at(3));
    std::fprintf(stderr, "usage: rangefinder-window-probe ports | save LOG TEXT\n");
    return 2;
}
