#include "window/displayscaling.h"
#include "window/widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    scaleWithDisplay();
    QApplication app(argc, argv);
    Widget window;
    window.show();
    return app.exec();
}
