// Draws the window's images into the folder given as the only argument:
//   caption-{minimise,close}-{normal,hot,pressed}.png  30 x 30 palette PNGs with transparency
//   wuqu.ico  the window icon, twelve images (32 px at 1 bit; 48, 32, 16 px at 4 and 8 bits;
//             256, 128, 48, 32, 16 px at 32 bits, the 256 px one stored as PNG)
//   icon-{16,32,48,128,256}.png  the icon's 32-bit pictures, for the desktop's icon theme
// Build target wuqu-make-images; run it from the source root as
//   build/bin/wuqu-make-images assets/images
#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace {

constexpr int kButtonSize = 30;

// A true-colour image as a palette image holding exactly its colours
// (alpha included), so nothing is dithered or merged.
QImage ToPalette(const QImage& argb) {
  const QImage src = argb.convertToFormat(QImage::Format_ARGB32);
  std::map<QRgb, int> index;
  QList<QRgb> table;
  for (int y = 0; y < src.height(); ++y) {
    for (int x = 0; x < src.width(); ++x) {
      const QRgb c = src.pixel(x, y);
      if (index.emplace(c, static_cast<int>(table.size())).second) table.push_back(c);
    }
  }
  if (table.size() > 256) {
    std::fprintf(stderr, "too many colours for a palette: %d\n", static_cast<int>(table.size()));
    std::exit(1);
  }
  QImage out(src.size(), QImage::Format_Indexed8);
  out.setColorTable(table);
  for (int y = 0; y < src.height(); ++y) {
    for (int x = 0; x < src.width(); ++x) out.setPixel(x, y, index[src.pixel(x, y)]);
  }
  return out;
}

QImage CaptionButton(bool close, const QColor& ground) {
  QImage img(kButtonSize, kButtonSize, QImage::Format_ARGB32);
  img.fill(ground);
  QPainter p(&img);
  if (close) {
    // A white cross, 11 pixels wide and high, centred.
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, 1.5, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(10, 10), QPointF(21, 21));
    p.drawLine(QPointF(21, 10), QPointF(10, 21));
  } else {
    // A white bar, 10 by 2 pixels, centred across, a little below the middle.
    p.fillRect(10, 17, 10, 2, Qt::white);
  }
  p.end();
  return ToPalette(img);
}

// The icon picture at one size: a pink record with a white note.
QImage IconPicture(int size) {
  QImage img(size, size, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);  // drawn on a 64-unit square
  QRadialGradient disc(QPointF(26, 24), 40);
  disc.setColorAt(0, QColor(255, 110, 150));
  disc.setColorAt(0.6, QColor(222, 52, 110));
  disc.setColorAt(1, QColor(120, 20, 70));
  p.setPen(Qt::NoPen);
  p.setBrush(disc);
  p.drawEllipse(QPointF(32, 32), 31, 31);
  if (size >= 48) {  // grooves only where they can be seen
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 60), 64.0 / size));
    for (double r : {27.0, 23.0}) p.drawEllipse(QPointF(32, 32), r, r);
  }
  // Eighth note: head, stem and flag.
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.save();
  p.translate(26, 43);
  p.rotate(-20);
  p.drawEllipse(QPointF(0, 0), 8, 6);
  p.restore();
  p.drawRect(QRectF(30.5, 14, 4, 29));
  QPainterPath flag;
  flag.moveTo(34.5, 14);
  flag.cubicTo(38, 20, 46, 21, 44, 32);
  flag.cubicTo(43, 26, 39, 24, 34.5, 24);
  flag.closeSubpath();
  p.drawPath(flag);
  p.end();
  return img;
}

void PutU16(QByteArray& b, int v) {
  b.append(static_cast<char>(v & 0xFF));
  b.append(static_cast<char>((v >> 8) & 0xFF));
}
void PutU32(QByteArray& b, quint32 v) {
  PutU16(b, static_cast<int>(v & 0xFFFF));
  PutU16(b, static_cast<int>(v >> 16));
}

int RowBytes(int width, int bits) {
  return ((width * bits + 31) / 32) * 4;
}

// The 16 colours of the standard 4-bit palette.
QList<QRgb> Palette16() {
  return {qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
          qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
          qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
          qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255)};
}

// A 6 x 6 x 6 colour cube and 40 greys.
QList<QRgb> Palette256() {
  QList<QRgb> t;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b) t.push_back(qRgb(r * 51, g * 51, b * 51));
  for (int i = 0; i < 40; ++i) {
    const int v = 3 + i * 252 / 39;
    t.push_back(qRgb(v, v, v));
  }
  return t;
}

int Nearest(const QList<QRgb>& table, QRgb c) {
  int best = 0;
  long best_d = -1;
  for (int i = 0; i < table.size(); ++i) {
    const long dr = qRed(table[i]) - qRed(c), dg = qGreen(table[i]) - qGreen(c),
               db = qBlue(table[i]) - qBlue(c);
    const long d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
    if (best_d < 0 || d < best_d) best = i, best_d = d;
  }
  return best;
}

// One icon image as a device-independent bitmap: header, palette, colour rows
// bottom-up, then the 1-bit transparency mask bottom-up.
QByteArray IconBitmap(const QImage& picture, int bits) {
  const int w = picture.width(), h = picture.height();
  const QImage argb = picture.convertToFormat(QImage::Format_ARGB32);
  QList<QRgb> table;
  if (bits == 1) table = {qRgb(0, 0, 0), qRgb(255, 255, 255)};
  if (bits == 4) table = Palette16();
  if (bits == 8) table = Palette256();
  const int xor_row = RowBytes(w, bits), and_row = RowBytes(w, 1);

  QByteArray b;
  PutU32(b, 40);
  PutU32(b, static_cast<quint32>(w));
  PutU32(b, static_cast<quint32>(2 * h));
  PutU16(b, 1);
  PutU16(b, bits);
  PutU32(b, 0);
  PutU32(b, static_cast<quint32>((xor_row + and_row) * h));
  PutU32(b, 0);
  PutU32(b, 0);
  PutU32(b, static_cast<quint32>(table.size()));
  PutU32(b, 0);
  for (QRgb c : table) {
    b.append(static_cast<char>(qBlue(c)));
    b.append(static_cast<char>(qGreen(c)));
    b.append(static_cast<char>(qRed(c)));
    b.append('\0');
  }
  for (int y = h - 1; y >= 0; --y) {
    QByteArray row(xor_row, '\0');
    for (int x = 0; x < w; ++x) {
      const QRgb c = argb.pixel(x, y);
      const bool opaque = qAlpha(c) >= 128;
      if (bits == 32) {
        row[4 * x] = static_cast<char>(qBlue(c));
        row[4 * x + 1] = static_cast<char>(qGreen(c));
        row[4 * x + 2] = static_cast<char>(qRed(c));
        row[4 * x + 3] = static_cast<char>(qAlpha(c));
        continue;
      }
      int v = 0;
      if (opaque && bits == 1) v = qGray(c) >= 160 ? 1 : 0;
      if (opaque && bits != 1) v = Nearest(table, c);
      const int bit = x * bits;
      row[bit / 8] = static_cast<char>(row[bit / 8] | (v << (8 - bits - bit % 8)));
    }
    b.append(row);
  }
  for (int y = h - 1; y >= 0; --y) {
    QByteArray row(and_row, '\0');
    for (int x = 0; x < w; ++x) {
      const int a = qAlpha(argb.pixel(x, y));
      const bool transparent = bits == 32 ? a == 0 : a < 128;
      if (transparent) row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
    }
    b.append(row);
  }
  return b;
}

QByteArray PngBytes(const QImage& img) {
  QByteArray out;
  QBuffer buf(&out);
  buf.open(QIODevice::WriteOnly);
  img.save(&buf, "PNG");
  return out;
}

QByteArray IconFile() {
  struct Entry {
    int size, bits;
  };
  const Entry entries[] = {{32, 1}, {48, 4},   {32, 4},   {16, 4},  {48, 8},  {32, 8},
                           {16, 8}, {256, 32}, {128, 32}, {48, 32}, {32, 32}, {16, 32}};
  std::vector<QByteArray> data;
  for (const Entry& e : entries) {
    const QImage picture = IconPicture(e.size);
    data.push_back(e.size == 256 ? PngBytes(picture) : IconBitmap(picture, e.bits));
  }
  const int count = static_cast<int>(std::size(entries));
  QByteArray out;
  PutU16(out, 0);
  PutU16(out, 1);  // icon
  PutU16(out, count);
  quint32 offset = 6 + 16 * count;
  for (int i = 0; i < count; ++i) {
    const Entry& e = entries[i];
    out.append(static_cast<char>(e.size == 256 ? 0 : e.size));
    out.append(static_cast<char>(e.size == 256 ? 0 : e.size));
    out.append(static_cast<char>(e.bits == 1 ? 2 : e.bits == 4 ? 16 : 0));
    out.append('\0');
    PutU16(out, 1);
    PutU16(out, e.bits);
    PutU32(out, static_cast<quint32>(data[i].size()));
    PutU32(out, offset);
    offset += static_cast<quint32>(data[i].size());
  }
  for (const QByteArray& d : data) out.append(d);
  return out;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  struct State {
    const char* name;
    QColor minimise_ground, close_ground;
  };
  const State states[] = {
      {"normal", QColor(0, 0, 0, 0), QColor(0, 0, 0, 0)},
      {"hot", QColor(255, 255, 255, 38), QColor(212, 64, 39)},      // white at 15 %
      {"pressed", QColor(255, 255, 255, 77), QColor(166, 42, 21)},  // white at 30 %
  };
  bool ok = true;
  for (const State& s : states) {
    const QString suffix = QString::fromLatin1(s.name) + ".png";
    ok &=
        CaptionButton(false, s.minimise_ground).save(folder + "/caption-minimise-" + suffix, "PNG");
    ok &= CaptionButton(true, s.close_ground).save(folder + "/caption-close-" + suffix, "PNG");
  }
  ok &= WriteFile(folder + "/wuqu.ico", IconFile());
  for (int size : {16, 32, 48, 128, 256}) {
    ok &= IconPicture(size).save(folder + QStringLiteral("/icon-%1.png").arg(size), "PNG");
  }
  if (!ok) std::fprintf(stderr, "could not write the images into %s\n", argv[1]);
  return ok ? 0 : 1;
}
