// A bare window of the product window's size, started the same way, for comparison.
#include "exposereport.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ExposeReport report(&app);
    app.installEventFilter(&report);
    QWidget window;
    window.resize(1208, 780);
    window.show();
    return app.exec();
}
