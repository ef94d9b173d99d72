#include "ui_widget.h"
#include "widget.h"

void Widget::serialRead() {}

void Widget::readData() {}
