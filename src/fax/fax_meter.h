#pragma once

#include <QColor>
#include <QWidget>
#include <functional>

// A segmented progress bar: blocks of Step pixels, a bevel around them.
//
// A meter with no range (Max not above Min) or no block width (Step 0)
// shows no blocks.

enum class TBevelStyle : uint8_t { bsLowered, bsRaised, bsNone };

class TApdMeter : public QWidget {
    Q_OBJECT
public:
    explicit TApdMeter(QWidget* parent = nullptr);

    QColor BarColor;
    QColor BevelColor1;
    QColor BevelColor2;
    TBevelStyle BevelStyle = TBevelStyle::bsLowered;
    int Max() const { return Max_; }
    void SetMax(int value);
    int Min() const { return Min_; }
    void SetMin(int value);
    int Position() const { return Position_; }
    void SetPosition(int value);
    int Step() const { return Step_; }
    void SetStep(int value);
    std::function<void(TApdMeter* sender, int position)> OnPosChange;

    // Whole blocks drawn, and the width of the partial block after them.
    int BlockCount() const;
    int PartialWidth() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Blocks before fitting them into the width.
    int RawBlocks() const;
    void Changed();

    int Max_ = 100;
    int Min_ = 0;
    int Position_ = 0;
    int Step_ = 8;
    int LastBlocks_ = 0;
};
