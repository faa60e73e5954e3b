#include "app/qt/dialog_units.h"

#include <QFontMetrics>

namespace {

// The dialog manager's average width: the 52 Latin letters measured together, divided by 52 and
// rounded to the nearest pixel.
int average_char_width(const QFontMetrics& metrics) {
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return (letters / 26 + 1) / 2;
}

// value * numerator / denominator rounded to the nearest integer, as the conversion does.
int mul_div(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    base_width_ = average_char_width(metrics);
    base_height_ = metrics.height();
}

int DialogUnits::x(int units) const {
    return mul_div(units, base_width_, 4);
}

int DialogUnits::y(int units) const {
    return mul_div(units, base_height_, 8);
}

QRect DialogUnits::rect(int x_units, int y_units, int width, int height) const {
    return QRect(x(x_units), y(y_units), x(width), y(height));
}

QSize DialogUnits::size(int width, int height) const {
    return QSize(x(width), y(height));
}
