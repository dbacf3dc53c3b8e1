#pragma once
// A picture that can play an animation: its glyph is a strip of NumGlyphs
// frames side by side, of which one is shown; while Active a timer steps to
// the next frame every Interval milliseconds. A strip of one frame is a
// still picture. Logo() draws the program's logo.

#include <QPixmap>
#include <QTimer>
#include <QWidget>

class TAnimatedImage : public QWidget {
  Q_OBJECT

 public:
  explicit TAnimatedImage(QWidget* parent = nullptr);

  const QPixmap& Glyph() const { return glyph_; }
  void SetGlyph(const QPixmap& glyph);
  int NumGlyphs() const { return numGlyphs_; }
  void SetNumGlyphs(int count);
  int GlyphNum() const { return glyphNum_; }
  void SetGlyphNum(int index);
  int Interval() const { return timer_.interval(); }
  void SetInterval(int milliseconds) { timer_.setInterval(milliseconds); }
  bool Active() const { return timer_.isActive(); }
  void SetActive(bool active);

  // The program's logo, size pixels large.
  static QPixmap Logo(QSize size);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap glyph_;
  int numGlyphs_ = 1;
  int glyphNum_ = 0;
  QTimer timer_;
};
