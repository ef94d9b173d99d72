#include "windows/textfit.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>

namespace rangefinder {

namespace {

int advance(const QWidget *widget, const QString &text)
{
    return widget->fontMetrics().horizontalAdvance(text);
}

// The part of a button its style draws the text into (a radio button's indicator left out).
int buttonRoom(const QAbstractButton *button, QStyle::SubElement contents)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    return button->style()->subElementRect(contents, &option, button).width();
}

int lineEditRoom(const QLineEdit *edit)
{
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->hasFrame()
                           ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                           : 0;
    const QMargins margins = edit->textMargins();
    // QLineEdit keeps 2 pixels free on either side of its text, a constant of its own.
    return edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit).width() -
           margins.left() - margins.right() - 2 * 2;
}

// A title begins where its style places it and must end as far from the right edge.
int titleRoom(const QGroupBox *box)
{
    QStyleOptionGroupBox option;
    option.initFrom(box);
    option.text = box->title();
    option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
    const QRect label =
        box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
    return box->width() - 2 * label.left();
}

TextFit fitOf(const QWidget *widget)
{
    if (const auto *label = qobject_cast<const QLabel *>(widget))
        return {label->objectName(), label->text(), advance(label, label->text()),
                label->contentsRect().width() - 2 * label->margin()};
    if (const auto *button = qobject_cast<const QPushButton *>(widget))
        return {button->objectName(), button->text(), advance(button, button->text()),
                buttonRoom(button, QStyle::SE_PushButtonContents)};
    if (const auto *radio = qobject_cast<const QRadioButton *>(widget))
        return {radio->objectName(), radio->text(), advance(radio, radio->text()),
                buttonRoom(radio, QStyle::SE_RadioButtonContents)};
    if (const auto *edit = qobject_cast<const QLineEdit *>(widget))
        return {edit->objectName(), edit->text(), advance(edit, edit->text()), lineEditRoom(edit)};
    if (const auto *box = qobject_cast<const QGroupBox *>(widget))
        return {box->objectName(), box->title(), advance(box, box->title()), titleRoom(box)};
    return {};
}

} // namespace

QVector<TextFit> textFits(const QWidget *window)
{
    QVector<TextFit> fits;
    for (const QWidget *widget : window->findChildren<QWidget *>()) {
        const TextFit fit = fitOf(widget);
        // A combo box's own line edit and the like have no name of the form's.
        if (!fit.text.isEmpty() && !fit.name.isEmpty() && widget->isVisibleTo(window))
            fits.append(fit);
    }
    return fits;
}

} // namespace rangefinder
