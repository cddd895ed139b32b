#include "controls/ImageStatic.h"

#include <QList>
#include <QMetaObject>
#include <QAction>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

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

// The 24-bit rows as they are stored (bottom row first), without a copy; the image keeps
// the bitmap alive for as long as it or any shallow copy of it exists.
QImage StoredRowsImage(const std::shared_ptr<const CDib>& dib) {
  const DibLayout& l = dib->Layout();
  auto* keepAlive = new std::shared_ptr<const CDib>(dib);
  return QImage(
      dib->Bits(), l.width, l.height, static_cast<qsizetype>(l.rowSize), QImage::Format_BGR888,
      [](void* p) { delete static_cast<std::shared_ptr<const CDib>*>(p); }, keepAlive);
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

namespace {

#if defined(__x86_64__) || defined(__i386__)
// 32 bytes per step, each row's bytes widened to 16-bit lanes; returns the bytes done.
__attribute__((target("avx2"))) size_t ColumnSums16Avx2(const uint8_t* const* rows, int count,
                                                        size_t bytes, uint16_t* out) {
  size_t k = 0;
  for (; k + 32 <= bytes; k += 32) {
    __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
    for (int r = 0; r < count; ++r) {
      const __m128i* p = reinterpret_cast<const __m128i*>(rows[r] + k);
      lo = _mm256_add_epi16(lo, _mm256_cvtepu8_epi16(_mm_loadu_si128(p)));
      hi = _mm256_add_epi16(hi, _mm256_cvtepu8_epi16(_mm_loadu_si128(p + 1)));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), lo);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k + 16), hi);
  }
  return k;
}
bool HaveAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

// Per byte position, the sum over the given rows. 16-bit sums hold up to 257 rows of 255.
template <class Sum>
void ColumnSums(const uint8_t* const* rows, int count, size_t bytes, Sum* out) {
  size_t k = 0;
#if defined(__x86_64__) || defined(__i386__)
  if constexpr (sizeof(Sum) == 2) {
    if (HaveAvx2()) k = ColumnSums16Avx2(rows, count, bytes, out);
  }
#endif
#ifdef __SSE2__
  if constexpr (sizeof(Sum) == 2) {
    const __m128i zero = _mm_setzero_si128();
    for (; k + 16 <= bytes; k += 16) {
      __m128i lo = zero, hi = zero;
      for (int r = 0; r < count; ++r) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + k));
        lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(v, zero));
        hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(v, zero));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), lo);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k + 8), hi);
    }
  }
#endif
  for (; k < bytes; ++k) {
    Sum sum = 0;
    for (int r = 0; r < count; ++r) sum += rows[r][k];
    out[k] = sum;
  }
}

// One target row from the column sums of its picture rows. invSpan[x] is 1 / (columns of
// target pixel x). Total holds a span's sum: 32 bits for 16-bit sums (at most 65535 of
// them), 64 bits otherwise.
template <class Sum, class Total>
void AverageSpans(const Sum* sums, const std::vector<int>& xs, const std::vector<float>& invSpan,
                  int rows, QRgb* out) {
  const int tw = static_cast<int>(xs.size()) - 1;
  const float invRows = 1.0f / static_cast<float>(rows);
  for (int x = 0; x < tw; ++x) {
    Total b = 0, g = 0, r = 0;
    for (const Sum *p = sums + 3 * xs[x], *end = sums + 3 * xs[x + 1]; p < end; p += 3) {
      b += p[0];
      g += p[1];
      r += p[2];
    }
    const float scale = invSpan[x] * invRows;
    auto average = [scale](Total sum) {
      return std::min(255, static_cast<int>(static_cast<float>(sum) * scale + 0.5f));
    };
    out[x] = qRgb(average(r), average(g), average(b));
  }
}

}  // namespace

QImage ReduceDib24(const CDib& dib, QSize target) {
  const DibLayout& l = dib.Layout();
  const int w = l.width, h = l.height, tw = target.width(), th = target.height();
  if (!dib.IsDrawable() || l.bitCount != 24 || tw <= 0 || th <= 0 || tw > w || th > h) return {};
  QImage image(tw, th, QImage::Format_RGB32);
  if (image.isNull()) return {};
  // Column span of each target pixel: [xs[x], xs[x + 1]), at least one column wide.
  std::vector<int> xs(tw + 1);
  for (int x = 0; x <= tw; ++x) xs[x] = static_cast<int>(static_cast<int64_t>(x) * w / tw);
  std::vector<float> invSpan(tw);
  for (int x = 0; x < tw; ++x) invSpan[x] = 1.0f / static_cast<float>(xs[x + 1] - xs[x]);
  const size_t rowBytes = static_cast<size_t>(w) * 3;
  std::vector<uint16_t> sums16(rowBytes);
  std::vector<uint32_t> sums32;
  std::vector<const uint8_t*> rows;
  const uint8_t* bits = dib.Bits();
  for (int y = 0; y < th; ++y) {
    // Target row y (top-down) covers picture rows [y0, y1), stored bottom-up.
    const int y0 = static_cast<int>(static_cast<int64_t>(y) * h / th);
    const int y1 = static_cast<int>(static_cast<int64_t>(y + 1) * h / th);
    rows.clear();
    for (int r = y0; r < y1; ++r) rows.push_back(bits + static_cast<size_t>(h - 1 - r) * l.rowSize);
    const int count = y1 - y0;
    QRgb* out = reinterpret_cast<QRgb*>(image.scanLine(y));
    if (count <= 257) {
      ColumnSums(rows.data(), count, rowBytes, sums16.data());
      AverageSpans<uint16_t, uint32_t>(sums16.data(), xs, invSpan, count, out);
    } else {
      sums32.resize(rowBytes);
      ColumnSums(rows.data(), count, rowBytes, sums32.data());
      AverageSpans<uint32_t, uint64_t>(sums32.data(), xs, invSpan, count, out);
    }
  }
  return image;
}

CImageStatic::CImageStatic(MessageSink* boxes, QWidget* parent)
    : QFrame(parent), m_pBoxes(boxes) {
  setObjectName("id1000");
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  m_pClearEdgeRegion = new QAction(tr("Clear Edge Region"), this);
  m_pClearEdgeRegion->setEnabled(false);
  connect(m_pClearEdgeRegion, &QAction::triggered, this, [this] { SetEdgeRegion(std::nullopt); });
  addAction(m_pClearEdgeRegion);
  setContextMenuPolicy(Qt::ActionsContextMenu);
}

void CImageStatic::SetEdgeRegion(const std::optional<EdgeRect>& region) {
  const bool same = region.has_value() == m_edgeRegion.has_value() &&
                    (!region || (region->x == m_edgeRegion->x && region->y == m_edgeRegion->y &&
                                 region->width == m_edgeRegion->width &&
                                 region->height == m_edgeRegion->height));
  m_edgeRegion = region;
  m_pClearEdgeRegion->setEnabled(region.has_value());
  update();
  if (!same) emit EdgeRegionChanged();
}

bool CImageStatic::Placement(QRect& place, QSize& picture) const {
  const std::shared_ptr<const CDib> dib = CurrentDib();
  if (!dib || dib->IsEmpty()) return false;
  picture = QSize(dib->GetWidth(), dib->GetHeight());
  const QRect client = contentsRect();
  place = ImagePlacement(picture.width(), picture.height(), client.size()).translated(client.topLeft());
  return !place.isEmpty();
}

void CImageStatic::mousePressEvent(QMouseEvent* event) {
  QRect place;
  QSize picture;
  if (event->button() != Qt::LeftButton || !Placement(place, picture)) return QFrame::mousePressEvent(event);
  m_dragFrom = event->position().toPoint();
  m_dragTo = *m_dragFrom;
}

void CImageStatic::mouseMoveEvent(QMouseEvent* event) {
  if (!m_dragFrom) return QFrame::mouseMoveEvent(event);
  m_dragTo = event->position().toPoint();
  update();
}

void CImageStatic::mouseReleaseEvent(QMouseEvent* event) {
  if (!m_dragFrom || event->button() != Qt::LeftButton) return QFrame::mouseReleaseEvent(event);
  const QPoint from = *m_dragFrom;
  m_dragFrom.reset();
  m_dragTo = event->position().toPoint();
  QRect place;
  QSize picture;
  // A click (no real drag) clears the region.
  if ((m_dragTo - from).manhattanLength() < 4 || !Placement(place, picture)) {
    SetEdgeRegion(std::nullopt);
    return;
  }
  // Widget to picture pixels, through the placement the picture is drawn at, cut to the picture.
  auto toPicture = [&](QPoint p, bool end) {
    const double fx = double(p.x() - place.x()) * picture.width() / place.width();
    const double fy = double(p.y() - place.y()) * picture.height() / place.height();
    const int x = static_cast<int>(end ? std::ceil(fx) : std::floor(fx));
    const int y = static_cast<int>(end ? std::ceil(fy) : std::floor(fy));
    return QPoint(std::clamp(x, 0, picture.width()), std::clamp(y, 0, picture.height()));
  };
  // The view pixels under the drag, both ends included, whichever way it went.
  const QPoint low(std::min(from.x(), m_dragTo.x()), std::min(from.y(), m_dragTo.y()));
  const QPoint high(std::max(from.x(), m_dragTo.x()) + 1, std::max(from.y(), m_dragTo.y()) + 1);
  const QPoint a = toPicture(low, false), b = toPicture(high, true);
  if (b.x() - a.x() < 2 || b.y() - a.y() < 2) {
    SetEdgeRegion(std::nullopt);
    return;
  }
  SetEdgeRegion(EdgeRect{a.x(), a.y(), b.x() - a.x(), b.y() - a.y()});
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
  // The decoder is about to be destroyed: take its block instead of copying 25 MB.
  std::unique_ptr<DibBlock> block = decoder.m_pDib->Detach();
  if (!block) return 0;
  auto dib = std::make_shared<CDib>();
  dib->Attach(std::move(block));
  std::shared_ptr<const CDib> previous = std::move(dib);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::swap(m_pDib, previous);
  }
  // The old picture is released here, outside the lock (unless a paint still holds it).
  return 1;
}

int CImageStatic::ShowImageFile(const std::string& path) {
  const int result = LoadImageFile(path);
  QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
  return result;
}

void CImageStatic::ShowBitmap(std::shared_ptr<const CDib> bitmap) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::swap(m_pDib, bitmap);
  }
  // The old picture is released here, outside the lock (unless a paint still holds it).
  bitmap.reset();
  QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
}

std::shared_ptr<const CDib> CImageStatic::CurrentDib() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_pDib;
}

QSize CImageStatic::sizeHint() const {
  const int frame = 2 * frameWidth();
  return QSize(kReferenceWidth + frame, kReferenceHeight + frame);
}

QImage CImageStatic::DisplayImage(const std::shared_ptr<const CDib>& dib, QSize target,
                                  bool paletteDevice) {
  if (SameSource(m_cacheSource, dib) && m_cacheSize == target &&
      m_cachePalette == paletteDevice)
    return m_cacheImage;
  const QSize natural(dib->GetWidth(), dib->GetHeight());
  const bool stored24 = !paletteDevice && dib->Layout().bitCount == 24;
  QImage image;
  if (stored24 && target.width() <= natural.width() && target.height() <= natural.height()) {
    // Also at 1:1: one pass gives top-down rows in the format the screen takes as it is.
    image = ReduceDib24(*dib, target);
  } else {
    image = paletteDevice ? DibToPaletteImage(*dib)
            : stored24    ? StoredRowsImage(dib)
                          : DibToQImage(*dib);
    // Smooth stretch (standing in for a halftone stretch) where a side grows; the palette
    // path keeps its indices, like a colour-on-colour stretch.
    if (!image.isNull() && target != natural)
      image = image.scaled(target, Qt::IgnoreAspectRatio,
                           paletteDevice ? Qt::FastTransformation : Qt::SmoothTransformation);
    if (stored24) image = image.mirrored(false, true);  // bottom-up rows to top-down
  }
  m_cacheSource = dib;
  m_cacheSize = target;
  m_cachePalette = paletteDevice;
  m_cacheImage = image;
  return image;
}

void CImageStatic::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect client = contentsRect();
  painter.fillRect(client, palette().button().color());

  std::shared_ptr<const CDib> dib;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    dib = m_pDib;
  }
  if (dib && !dib->IsEmpty()) {
    const int w = dib->GetWidth(), h = dib->GetHeight();
    m_paintedSize = QSize(w, h);
    const bool paletteDevice = ScreenDepth() <= 8 && dib->Layout().bitCount > 8;
    const QRect place = ImagePlacement(w, h, client.size()).translated(client.topLeft());
    if (dib->IsDrawable() && !place.isEmpty()) {
      const QImage shown = DisplayImage(dib, place.size(), paletteDevice);
      painter.setClipRect(client);
      if (!shown.isNull()) painter.drawImage(place.topLeft(), shown);
    }
  }
  // The region being dragged, or the one chosen (picture pixels back to the view): a light
  // dashed line over a dark one, visible on any picture.
  QRect outline;
  QRect place;
  QSize picture;
  if (m_dragFrom) {
    outline = QRect(QPoint(std::min(m_dragFrom->x(), m_dragTo.x()), std::min(m_dragFrom->y(), m_dragTo.y())),
                    QPoint(std::max(m_dragFrom->x(), m_dragTo.x()), std::max(m_dragFrom->y(), m_dragTo.y())));
  } else if (m_edgeRegion && Placement(place, picture)) {
    const EdgeRect& r = *m_edgeRegion;
    auto toView = [&](int x, int y) {
      return QPoint(place.x() + static_cast<int>(std::lround(double(x) * place.width() / picture.width())),
                    place.y() + static_cast<int>(std::lround(double(y) * place.height() / picture.height())));
    };
    outline = QRect(toView(r.x, r.y), toView(r.x + r.width, r.y + r.height) - QPoint(1, 1));
  }
  if (!outline.isEmpty()) {
    painter.setClipRect(client);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::black, 1));
    painter.drawRect(outline);
    painter.setPen(QPen(Qt::yellow, 1, Qt::DashLine));
    painter.drawRect(outline);
  }
  drawFrame(&painter);
}
