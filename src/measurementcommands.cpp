#include "ui_widget.h"
#include "widget.h"

void Widget::oneSendBtnClicked() {}

void Widget::continueSendBtnClicked() {}

void Widget::sendData() {}
