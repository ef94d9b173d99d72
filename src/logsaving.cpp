#include "ui_widget.h"
#include "widget.h"

void Widget::saveFile() {}
