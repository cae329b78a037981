// Draws the message-box icons (16 and 32 pixels) into the folder given as argument.
// Run once when the look changes; the PNG files are kept in the repository:
//   g++ -std=c++20 -fPIC make-icons.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/make-icons
//   QT_QPA_PLATFORM=offscreen /tmp/make-icons src/res/icons
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace {

void DrawSymbol(QPainter& p, int size, const QString& symbol) {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setBold(true);
  font.setPixelSize(size * 2 / 3);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRectF(0, size * 0.02, size, size), Qt::AlignCenter, symbol);
}

QImage Draw(int kindBase, int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  const qreal edge = s / 16.0;
  switch (kindBase) {
    case 130: {  // warning: amber triangle with "!"
      QPainterPath path;
      path.moveTo(s / 2, edge);
      path.lineTo(s - edge, s - edge * 1.5);
      path.lineTo(edge, s - edge * 1.5);
      path.closeSubpath();
      p.setPen(QPen(QColor(0x9a, 0x6a, 0x00), std::max(1.0, s / 24)));
      p.setBrush(QColor(0xf5, 0xb4, 0x00));
      p.drawPath(path);
      QFont font(QStringLiteral("DejaVu Sans"));
      font.setBold(true);
      font.setPixelSize(size * 5 / 8);
      p.setFont(font);
      p.setPen(QColor(0x20, 0x20, 0x20));
      p.drawText(QRectF(0, s * 0.18, s, s * 0.8), Qt::AlignCenter, QStringLiteral("!"));
      break;
    }
    case 110:  // error: red disc with a white cross
      p.setPen(QPen(QColor(0x8c, 0x10, 0x10), std::max(1.0, s / 24)));
      p.setBrush(QColor(0xd9, 0x2b, 0x2b));
      p.drawEllipse(QRectF(edge, edge, s - 2 * edge, s - 2 * edge));
      p.setPen(QPen(Qt::white, s / 8, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(s * 0.33, s * 0.33), QPointF(s * 0.67, s * 0.67));
      p.drawLine(QPointF(s * 0.67, s * 0.33), QPointF(s * 0.33, s * 0.67));
      break;
    case 120:  // information: blue disc with "i"
    case 100:  // confirmation: blue disc with "?"
      p.setPen(QPen(QColor(0x0f, 0x3d, 0x8a), std::max(1.0, s / 24)));
      p.setBrush(QColor(0x2b, 0x6c, 0xd9));
      p.drawEllipse(QRectF(edge, edge, s - 2 * edge, s - 2 * edge));
      DrawSymbol(p, size, kindBase == 120 ? QStringLiteral("i") : QStringLiteral("?"));
      break;
  }
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  for (int base : {100, 110, 120, 130}) {
    Draw(base, 16).save(QStringLiteral("%1/%2.png").arg(dir).arg(base + 1));
    Draw(base, 32).save(QStringLiteral("%1/%2.png").arg(dir).arg(base + 3));
  }
  return 0;
}
