#include "imaging/ImageStatic.h"

#include <QList>
#include <QMetaObject>
#include <QPainter>
#include <cstring>

#include "imaging/JpegFile.h"

namespace {

constexpr int kReferenceWidth = 640;
constexpr int kReferenceHeight = 480;

// Colour-table index of pixel x in a stored row of 1, 4 or 8 bits per pixel (most
// significant bits first, as the bitmap format stores them).
inline int IndexAt(const uint8_t* row, int x, int bitCount) {
  switch (bitCount) {
    case 8: return row[x];
    case 4: return (row[x / 2] >> (x % 2 ? 0 : 4)) & 0x0F;
    default: return (row[x / 8] >> (7 - x % 8)) & 0x01;
  }
}

QImage IndexedImage(int w, int h, const QList<QRgb>& table) {
  QImage image(w, h, QImage::Format_Indexed8);
  if (!image.isNull()) image.setColorTable(table);
  return image;
}

bool SameSource(const std::weak_ptr<const CDib>& cached, const std::shared_ptr<const CDib>& dib) {
  return !cached.owner_before(dib) && !dib.owner_before(cached);
}

}  // namespace

QImage DibToQImage(const CDib& dib) {
  if (!dib.IsDrawable()) return {};
  const DibLayout& l = dib.Layout();
  const uint8_t* bits = dib.Bits();
  const int w = l.width, h = l.height;
  auto storedRow = [&](int y) { return bits + static_cast<size_t>(h - 1 - y) * l.rowSize; };
  if (l.bitCount == 24) {
    QImage image(w, h, QImage::Format_BGR888);
    if (image.isNull()) return {};
    const size_t rowBytes = static_cast<size_t>(w) * 3;
    for (int y = 0; y < h; ++y) std::memcpy(image.scanLine(y), storedRow(y), rowBytes);
    return image;
  }
  QList<QRgb> table(1 << l.bitCount, qRgb(0, 0, 0));
  const auto& palette = dib.Palette();
  for (qsizetype i = 0; i < table.size() && i < static_cast<qsizetype>(palette.size()); ++i)
    table[i] = qRgb(palette[i].red, palette[i].green, palette[i].blue);
  QImage image = IndexedImage(w, h, table);
  if (image.isNull()) return {};
  for (int y = 0; y < h; ++y) {
    const uint8_t* src = storedRow(y);
    uchar* dst = image.scanLine(y);
    if (l.bitCount == 8) {
      std::memcpy(dst, src, static_cast<size_t>(w));
    } else {
      for (int x = 0; x < w; ++x) dst[x] = static_cast<uchar>(IndexAt(src, x, l.bitCount));
    }
  }
  return image;
}

QImage DibToPaletteImage(const CDib& dib) {
  if (!dib.IsDrawable() || dib.Layout().bitCount != 24) return DibToQImage(dib);
  const DibLayout& l = dib.Layout();
  const int w = l.width, h = l.height;
  const std::vector<uint8_t> indices =
      DitherTo332(dib.Bits(), w, h, static_cast<int>(l.rowSize));
  PaletteEntry fixed[256];
  Fixed332Palette(fixed);
  QList<QRgb> table(256);
  for (int i = 0; i < 256; ++i) table[i] = qRgb(fixed[i].red, fixed[i].green, fixed[i].blue);
  QImage image = IndexedImage(w, h, table);
  if (image.isNull()) return {};
  const size_t stride = (static_cast<size_t>(w) + 3) & ~size_t{3};
  for (int y = 0; y < h; ++y)
    std::memcpy(image.scanLine(y), indices.data() + static_cast<size_t>(h - 1 - y) * stride,
                static_cast<size_t>(w));
  return image;
}

CImageStatic::CImageStatic(MessageSink* boxes, QWidget* parent)
    : QFrame(parent), m_pBoxes(boxes) {
  setObjectName("id1000");
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
}

CImageStatic::~CImageStatic() = default;

QRect CImageStatic::ImagePlacement(int w, int h, QSize client) {
  if (w > kReferenceWidth || h > kReferenceHeight) return QRect(QPoint(0, 0), client);
  if (w == 160 && h == 120) return QRect(240, 200, w, h);
  if (w == 320 && h == 240) return QRect(160, 120, w, h);
  return QRect((kReferenceWidth - w) / 2, (kReferenceHeight - h) / 2, w, h);
}

int CImageStatic::LoadImageFile(const std::string& path) {
  if (!IsPictureFileName(path)) return 0;
  CJpegFile decoder(m_pBoxes);
  decoder.m_nFrameWidth = m_nFrameWidth;
  decoder.m_nFrameHeight = m_nFrameHeight;
  if (!decoder.LoadImageToDib(path)) return 0;
  std::unique_ptr<DibBlock> copy = DuplicateGlobalBlock(decoder.m_pDib->GetHandle());
  if (!copy) return 0;
  auto dib = std::make_shared<CDib>();
  dib->Attach(std::move(copy));
  QImage image = DibToQImage(*dib);  // built here, off the GUI thread
  std::shared_ptr<const CDib> previous = std::move(dib);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::swap(m_pDib, previous);
    std::swap(m_image, image);
  }
  // The old picture is released here, outside the lock (unless a paint still holds it).
  return 1;
}

int CImageStatic::ShowImageFile(const std::string& path) {
  const int result = LoadImageFile(path);
  QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
  return result;
}

std::shared_ptr<const CDib> CImageStatic::CurrentDib() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_pDib;
}

QSize CImageStatic::sizeHint() const {
  const int frame = 2 * frameWidth();
  return QSize(kReferenceWidth + frame, kReferenceHeight + frame);
}

QImage CImageStatic::DisplayImage(const std::shared_ptr<const CDib>& dib, const QImage& image,
                                  QSize target, bool paletteDevice) {
  const QSize natural(dib->GetWidth(), dib->GetHeight());
  if (!paletteDevice && target == natural) return image;
  if (!SameSource(m_cacheSource, dib) || m_cacheSize != target ||
      m_cachePalette != paletteDevice) {
    QImage source = paletteDevice ? DibToPaletteImage(*dib) : image;
    // Smooth (area-averaging) reduction for the stretched view; the palette path keeps its
    // indices, like a colour-on-colour stretch.
    if (!source.isNull() && target != natural)
      source = source.scaled(target, Qt::IgnoreAspectRatio,
                             paletteDevice ? Qt::FastTransformation : Qt::SmoothTransformation);
    m_cacheSource = dib;
    m_cacheSize = target;
    m_cachePalette = paletteDevice;
    m_cacheImage = source;
  }
  return m_cacheImage;
}

void CImageStatic::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect client = contentsRect();
  painter.fillRect(client, palette().button().color());

  std::shared_ptr<const CDib> dib;
  QImage image;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    dib = m_pDib;
    image = m_image;  // shares the pixels; the worker never writes into a published image
  }
  if (dib && !dib->IsEmpty()) {
    const int w = dib->GetWidth(), h = dib->GetHeight();
    g_nLastImageWidth = w;
    g_nLastImageHeight = h;
    const bool paletteDevice = ScreenDepth() <= 8 && dib->Layout().bitCount > 8;
    const QRect place = ImagePlacement(w, h, client.size()).translated(client.topLeft());
    if (dib->IsDrawable() && !place.isEmpty()) {
      const QImage shown = DisplayImage(dib, image, place.size(), paletteDevice);
      painter.setClipRect(client);
      if (!shown.isNull()) painter.drawImage(place.topLeft(), shown);
    }
  }
  drawFrame(&painter);
}
