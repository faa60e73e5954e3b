// Dialog units, as a dialog manager converts them: horizontal units are a quarter of the dialog
// font's average character width, vertical units an eighth of its character height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);

    int x(int units) const;
    int y(int units) const;
    QRect rect(int x, int y, int width, int height) const;
    QSize size(int width, int height) const;

  private:
    int base_width_;
    int base_height_;
};
