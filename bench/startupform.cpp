// The window's form alone on a plain widget, started the same way: what the form itself costs,
// apart from the window's own start-up work (port scan, images, icon).
#include "exposereport.h"
#include "ui_widget.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ExposeReport report(&app);
    app.installEventFilter(&report);
    QWidget window;
    Ui::Widget form;
    form.setupUi(&window);
    window.show();
    return app.exec();
}
