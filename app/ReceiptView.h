#pragma once

#include <QWidget>

#include <cstdint>
#include <vector>

#include "paint/ReceiptPainter.h"
#include "printer/VirtualPrinter.h"

// The paper of a virtual printer in the window: the painter's roll with a little room around it,
// painted only where it is in view.
class TReceiptView : public QWidget {
    Q_OBJECT

  public:
    explicit TReceiptView(QWidget* parent = nullptr);

    static constexpr int kMaxRenderRows = kelvo::paint::ReceiptPainter::kMaxRenderRows;

    // As the painter's: the view follows what it holds.
    void SetPaper(std::vector<kelvo::printer::PaperItem> paper);
    void Append(uint64_t firstKept, uint64_t from, std::vector<kelvo::printer::PaperItem> items);
    uint64_t End() const { return painter_.End(); }
    const std::vector<kelvo::printer::PaperItem>& Paper() const { return painter_.Paper(); }
    int RollHeight() const { return painter_.RollHeight(); }
    int TopOf(uint64_t item) const { return painter_.TopOf(item); }
    void SetPaperWidth(int dots);
    int PaperWidth() const { return painter_.PaperWidth(); }
    QImage Render() const { return painter_.Render(); }
    const kelvo::paint::ReceiptPainter& Painter() const { return painter_; }

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void Laid();

    kelvo::paint::ReceiptPainter painter_;
};
