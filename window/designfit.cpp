#include "window/designfit.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The smallest font the window will shrink to for its texts to fit, and the
// steps by which it shrinks.
constexpr qreal SmallestPointSize = 6.0;
constexpr qreal Step = 0.5;

// A text of the window and the width its control gives it, which does not
// depend on the font.
struct Text {
    QString text;
    int room;
};

// Every label, button caption and box item (and the boxes' initial text)
// of the window, with its room.
std::vector<Text> textsOf(const QWidget *window)
{
    std::vector<Text> texts;
    for (const QLabel *label : window->findChildren<QLabel *>())
        texts.push_back({label->text(), label->contentsRect().width()});
    for (const QPushButton *button : window->findChildren<QPushButton *>()) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        texts.push_back(
            {button->text(), button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).width()});
    }
    for (const QComboBox *box : window->findChildren<QComboBox *>()) {
        QStyleOptionComboBox option;
        option.initFrom(box);
        option.editable = box->isEditable();
        option.frame = box->hasFrame();
        // A line edit keeps two pixels clear on each side of its text.
        const int room =
            box->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, box).width() - 4;
        texts.push_back({box->placeholderText(), room});
        for (int item = 0; item < box->count(); ++item)
            texts.push_back({box->itemText(item), room});
    }
    return texts;
}

bool allFit(const std::vector<Text> &texts, const QFont &font)
{
    const QFontMetrics metrics(font);
    return std::all_of(texts.begin(), texts.end(),
                       [&metrics](const Text &t) { return metrics.horizontalAdvance(t.text) <= t.room; });
}

// `start` at the largest size, not above its own and on its grid of half
// points, at which every text fits; `start` itself when even the smallest
// size would not help. Text widths grow in proportion to the size, so one
// measurement at `start` tells the size, which is then checked, a step up
// or down where hinting and rounding make the proportion inexact.
QFont fittingFont(const std::vector<Text> &texts, QFont font)
{
    const QFont start = font;
    if (start.pointSizeF() <= 0) { // a font given in pixels
        for (int size = start.pixelSize(); size >= 8; --size) {
            font.setPixelSize(size);
            if (allFit(texts, font))
                return font;
        }
        return start;
    }
    const QFontMetricsF metrics(start);
    qreal ratio = 1;
    for (const Text &t : texts) {
        const qreal width = metrics.horizontalAdvance(t.text);
        if (width > 0)
            ratio = std::min(ratio, t.room / width);
    }
    const qreal top = start.pointSizeF();
    qreal size = top - Step * std::ceil((top - top * ratio) / Step - 1e-9);
    const auto fitsAt = [&](qreal points) {
        font.setPointSizeF(points);
        return allFit(texts, font);
    };
    while (size + Step <= top && fitsAt(size + Step))
        size += Step;
    while (size >= SmallestPointSize && !fitsAt(size))
        size -= Step;
    if (size < SmallestPointSize)
        return start;
    font.setPointSizeF(size);
    return font;
}

// Makes the whole fixed design `factor` times as large, every control's
// position and size and the window's own, as a screen of that much higher
// density would.
void scaleDesign(QWidget *window, qreal factor)
{
    const auto scaled = [factor](int length) { return qRound(length * factor); };
    for (QWidget *control : window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        const QRect at = control->geometry();
        control->setGeometry(scaled(at.x()), scaled(at.y()), scaled(at.width()), scaled(at.height()));
    }
    window->setFixedSize(scaled(window->width()), scaled(window->height()));
}

} // namespace

void fitDesignToFont(QWidget *window)
{
    const QFont desktop = window->font();
    QFont fitted = fittingFont(textsOf(window), desktop);
    const qreal readable = 0.75 * desktop.pointSizeF();
    if (fitted.pointSizeF() > 0 && fitted.pointSizeF() < readable) {
        scaleDesign(window, readable / fitted.pointSizeF());
        QFont wanted = desktop;
        wanted.setPointSizeF(readable);
        fitted = fittingFont(textsOf(window), wanted);
    }
    window->setFont(fitted);
}
