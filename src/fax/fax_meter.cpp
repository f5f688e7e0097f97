#include "fax/fax_meter.h"

#include <QPainter>
#include <QPalette>

TApdMeter::TApdMeter(QWidget* parent) : QWidget(parent)
{
    BarColor = palette().color(QPalette::Highlight);
    BevelColor1 = palette().color(QPalette::Light);
    BevelColor2 = palette().color(QPalette::Shadow);
    resize(150, 16);
}

void TApdMeter::SetMax(int value)
{
    Max_ = value;
    Changed();
}

void TApdMeter::SetMin(int value)
{
    Min_ = value;
    Changed();
}

void TApdMeter::SetPosition(int value)
{
    Position_ = value;
    Changed();
}

void TApdMeter::SetStep(int value)
{
    Step_ = value;
    Changed();
}

int TApdMeter::RawBlocks() const
{
    if (Position_ <= Min_ || Max_ <= Min_ || Step_ <= 0)
        return 0;
    const long long perRange = static_cast<long long>((width() - 3) / Step_);
    return static_cast<int>(perRange * (Position_ - Min_) / (Max_ - Min_) + 1);
}

int TApdMeter::BlockCount() const
{
    const int raw = RawBlocks();
    if (raw == 0)
        return 0;
    return raw * Step_ > width() - 4 ? std::max(0, (width() - 4) / Step_) : raw;
}

int TApdMeter::PartialWidth() const
{
    const int raw = RawBlocks();
    if (raw == 0 || raw * Step_ <= width() - 4)
        return 0;
    return std::max(0, width() - 4 - BlockCount() * Step_);
}

void TApdMeter::Changed()
{
    const int blocks = BlockCount();
    if (blocks == LastBlocks_)
        return;
    LastBlocks_ = blocks;
    update();
    if (OnPosChange)
        OnPosChange(this, Position_);
}

void TApdMeter::resizeEvent(QResizeEvent*)
{
    Changed();
}

void TApdMeter::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const int w = width(), h = height();
    if (BevelStyle != TBevelStyle::bsNone) {
        const QColor dark = BevelStyle == TBevelStyle::bsLowered ? BevelColor2 : BevelColor1;
        const QColor light = BevelStyle == TBevelStyle::bsLowered ? BevelColor1 : BevelColor2;
        p.setPen(dark);
        p.drawLine(0, 0, w - 1, 0);
        p.drawLine(0, 0, 0, h - 1);
        p.setPen(light);
        p.drawLine(w - 1, 0, w - 1, h - 1);
        p.drawLine(0, h - 1, w - 1, h - 1);
    }
    const int blocks = BlockCount();
    for (int n = 1; n <= blocks; ++n)
        p.fillRect(2 + (n - 1) * Step_, 2, Step_ - 2, h - 4, BarColor);
    if (const int rest = PartialWidth())
        p.fillRect(2 + blocks * Step_, 2, rest, h - 4, BarColor);
}
