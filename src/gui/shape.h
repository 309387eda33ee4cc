#pragma once

#include <QWidget>

#include <cstdint>

// A small indicator: a circle or a rounded rectangle filled with one colour.
// The colour is kept as a window colour value 0x00BBGGRR (red in the lowest
// byte), so that callers and tests speak the same values as the reader logic.
class TShape : public QWidget
{
    Q_OBJECT

public:
    enum class Kind { Circle, RoundRect };

    explicit TShape(QWidget* parent = nullptr);

    void setKind(Kind kind);
    Kind kind() const { return shapeKind; }

    void setBrushColor(uint32_t colorBBGGRR);
    uint32_t brushColor() const { return brush; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Kind shapeKind = Kind::Circle;
    uint32_t brush = 0xFFFFFF;
};
