#include "ui_widget.h"
#include "widget.h"

void Widget::scanPorts() {}

void Widget::openSerialButtonClicked() {}

void Widget::closeBtnClicked() {}
