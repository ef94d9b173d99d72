// The product's window started as its own main() starts it, and reported once on screen.
#include "exposereport.h"
#include "window/widget.h"

#include <QApplication>

using namespace rangefinder;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ExposeReport report(&app);
    app.installEventFilter(&report);
    Widget window;
    window.show();
    return app.exec();
}
