// Runs the window's code on Windows (under Wine in CI) and reports what a screenshot cannot
// show reliably:
//   rangefinder-window-probe ports                  the port list, one entry a line
//   rangefinder-window-probe save LOG TEXT          the pane holding TEXT's UTF-8 content,
//                                                   文件保存 into LOG; prints the code page
//   rangefinder-window-probe fits                   the shown window's size in the display's
//                                                   pixels, then each text's width and room
//   rangefinder-window-probe sqlite DB              a table written to and read back from DB
//                                                   through Qt's SQLite driver
// The window scales with the display as the program's own does.
// Output is UTF-8, whatever the console's code page.
#include "window/displayscaling.h"
#include "window/widget.h"
#include "windows/textfit.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextCodec>
#include <QTextEdit>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace rangefinder;

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

int fits(Widget &window)
{
    window.show();
    QElapsedTimer shown;
    shown.start();
    while (!window.windowHandle()->isExposed() && shown.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const qreal ratio = window.devicePixelRatioF();
    print(QStringLiteral("window %1 %2 %3")
              .arg(qRound(window.width() * ratio))
              .arg(qRound(window.height() * ratio))
              .arg(ratio));
    for (const TextFit &fit : textFits(&window))
        print(QStringLiteral("text %1 %2 %3 %4")
                  .arg(fit.name)
                  .arg(fit.needed)
                  .arg(fit.room)
                  .arg(fit.text));
    return 0;
}

int sqlite(const QString &path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(path);
    QSqlQuery query(db);
    const bool done = db.open() &&
                      query.exec(QStringLiteral("CREATE TABLE runs (id INTEGER, note TEXT)")) &&
                      query.exec(QStringLiteral("INSERT INTO runs VALUES (7, '测量值')")) &&
                      query.exec(QStringLiteral("SELECT id, note FROM runs")) && query.next();
    if (!done) {
        std::fprintf(stderr, "window-probe: SQLite: %s %s\n", qPrintable(db.lastError().text()),
                     qPrintable(query.lastError().text()));
        return 1;
    }
    print(
        QStringLiteral("sqlite %1 %2").arg(query.value(0).toInt()).arg(query.value(1).toString()));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // The widget dialog can be answered from inside the program; the native one cannot.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    scaleWithDisplay();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    Widget window;
    if (args.size() == 2 && args.at(1) == QLatin1String("ports"))
        return listPorts(window);
    if (args.size() == 4 && args.at(1) == QLatin1String("save"))
        return save(window, args.at(2), args.at(3));
    if (args.size() == 2 && args.at(1) == QLatin1String("fits"))
        return fits(window);
    if (args.size() == 3 && args.at(1) == QLatin1String("sqlite"))
        return sqlite(args.at(2));
    std::fprintf(stderr,
                 "usage: rangefinder-window-probe ports | save LOG TEXT | fits | sqlite DB\n");
    return 2;
}
