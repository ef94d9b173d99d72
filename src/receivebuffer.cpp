#include "widget.h"

void Widget::com_delay() {}
