#include "window/displayscaling.h"
#include "window/widget.h"

#include <QApplication>

using namespace rangefinder;

int main(int argc, char *argv[])
{
    scaleWithDisplay();
    QApplication app(argc, argv);
    Widget window;
    window.show();
    return app.exec();
}
