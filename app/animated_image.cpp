#include "app/animated_image.h"

#include <QLinearGradient>
#include <QPainter>

TAnimatedImage::TAnimatedImage(QWidget* parent) : QWidget(parent) {
  timer_.setInterval(100);
  connect(&timer_, &QTimer::timeout, this, [this] { SetGlyphNum((glyphNum_ + 1) % numGlyphs_); });
}

void TAnimatedImage::SetGlyph(const QPixmap& glyph) {
  glyph_ = glyph;
  glyphNum_ = 0;
  update();
}

void TAnimatedImage::SetNumGlyphs(int count) {
  numGlyphs_ = count < 1 ? 1 : count;
  if (glyphNum_ >= numGlyphs_) glyphNum_ = 0;
  update();
}

void TAnimatedImage::SetGlyphNum(int index) {
  if (index < 0 || index >= numGlyphs_) return;
  glyphNum_ = index;
  update();
}

void TAnimatedImage::SetActive(bool active) {
  if (active && numGlyphs_ > 1)
    timer_.start();
  else
    timer_.stop();
}

void TAnimatedImage::paintEvent(QPaintEvent*) {
  if (glyph_.isNull()) return;
  const int frameWidth = glyph_.width() / numGlyphs_;
  const QRect source(frameWidth * glyphNum_, 0, frameWidth, glyph_.height());
  QRect target(QPoint(0, 0), source.size());
  target.moveCenter(rect().center());
  QPainter(this).drawPixmap(target, glyph_, source);
}

QPixmap TAnimatedImage::Logo(QSize size) {
  QPixmap logo(size);
  logo.fill(Qt::transparent);
  QPainter p(&logo);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF area(1, 1, size.width() - 2, size.height() - 2);

  // A small table: a maroon title band over navy ruled rows.
  QLinearGradient shade(area.topLeft(), area.bottomLeft());
  shade.setColorAt(0, QColor(255, 255, 255));
  shade.setColorAt(1, QColor(214, 222, 238));
  p.setPen(QPen(QColor(0, 0, 128), 1.5));
  p.setBrush(shade);
  p.drawRoundedRect(area, 6, 6);
  const qreal band = area.height() * 0.28;
  QRectF title(area.left(), area.top(), area.width(), band);
  p.setBrush(QColor(128, 0, 0));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(title, 6, 6);
  p.drawRect(title.adjusted(0, band / 2, 0, 0));
  p.setPen(QPen(QColor(0, 0, 128, 90), 1));
  for (qreal y = title.bottom() + band * 0.6; y < area.bottom() - 2; y += band * 0.6)
    p.drawLine(QPointF(area.left() + 4, y), QPointF(area.right() - 4, y));
  p.drawLine(QPointF(area.left() + area.width() * 0.35, title.bottom()),
             QPointF(area.left() + area.width() * 0.35, area.bottom() - 2));

  QFont font(QStringLiteral("Liberation Sans"));
  font.setBold(true);
  font.setPixelSize(qMax(8, int(band * 0.7)));
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(title, Qt::AlignCenter, QStringLiteral("zozur"));
  font.setPixelSize(qMax(8, int(area.height() * 0.3)));
  p.setFont(font);
  p.setPen(QColor(0, 0, 128));
  p.drawText(area.adjusted(0, band, 0, 0), Qt::AlignCenter, QStringLiteral(".dbf"));
  return logo;
}
