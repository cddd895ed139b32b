#pragma once
// CImageStatic: the picture view. Decodes a finished transfer's file into a CDib and paints
// it on the fixed 640 x 480 reference: pictures that fit at their own size (160 x 120 and
// 320 x 240 at fixed places, others centred), larger ones stretched smoothly over the whole
// client area.
//
// Threads: LoadImageFile / ShowImageFile / ShowBitmap run on the protocol worker (decoding
// happens there); painting runs on the GUI thread. The finished bitmap is swapped in whole under
// one lock and never changes afterwards; a paint takes its own reference to it, so no paint
// sees a half-replaced or freed bitmap. The paint makes the image it draws (flipped to
// top-down, scaled or dithered) once per picture and size, straight from the bitmap's rows.
#include <QFrame>
#include <QImage>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/MessageSink.h"
#include "imaging/Dib.h"
#include "imaging/SlantedEdge.h"

class QAction;

// The picture ready for QPainter, top row first: a 24-bit bitmap as BGR888, a 1-, 4- or
// 8-bit one as Indexed8 with its colour table (entries the table lacks are black). A null
// image for a bitmap that cannot be drawn.
QImage DibToQImage(const CDib& dib);
// For displays of 8 bits per pixel or fewer: a 24-bit picture reduced to the fixed 3-3-2
// palette with error diffusion; any other picture as DibToQImage.
QImage DibToPaletteImage(const CDib& dib);

// A drawable 24-bit bitmap reduced to target (no side larger than the picture's; equal
// gives a copy) by averaging the pixels each target pixel covers; top row first,
// Format_RGB32. One pass over the rows, so a 4K picture reaches the 640 x 480 view in a few
// milliseconds. A null image when the target is empty or larger than the picture.
QImage ReduceDib24(const CDib& dib, QSize target);

class CImageStatic : public QFrame {
  Q_OBJECT

 public:
  // boxes receives the decoder's "JPEG Fatal Error" / "JPEG Error" boxes; may be null.
  explicit CImageStatic(MessageSink* boxes, QWidget* parent = nullptr);
  ~CImageStatic() override;

  // Raw NV12 frame size of the next load (from the long length reply), set by the host on
  // the decoding thread just before it loads.
  std::atomic<int> m_nFrameWidth{0};
  std::atomic<int> m_nFrameHeight{0};

  // 1 when the picture was replaced; 0 (picture unchanged) for another extension or a
  // decoder failure. Safe to call from any thread.
  int LoadImageFile(const std::string& path);
  // LoadImageFile, then a repaint queued to the GUI thread whatever the result.
  int ShowImageFile(const std::string& path);
  // A picture decoded elsewhere (the engine's worker): swapped in, a repaint queued. Any
  // thread.
  void ShowBitmap(std::shared_ptr<const CDib> bitmap);
  // Where the decoder's boxes go.
  MessageSink* Boxes() const { return m_pBoxes; }

  // Where a w x h picture is drawn inside a client area of the given size.
  static QRect ImagePlacement(int w, int h, QSize client);

  // The picture on show (null before the first successful load).
  std::shared_ptr<const CDib> CurrentDib() const;
  // Size of the picture the last paint drew (GUI thread; invalid before any).
  QSize PaintedSize() const { return m_paintedSize; }

  QSize sizeHint() const override;

  // The edge region the operator dragged over the picture, in picture pixels (GUI thread).
  // A click on the picture or the context menu's "Clear Edge Region" clears it.
  std::optional<EdgeRect> EdgeRegion() const { return m_edgeRegion; }
  void SetEdgeRegion(const std::optional<EdgeRect>& region);
  QAction* ClearEdgeRegionAction() const { return m_pClearEdgeRegion; }

 signals:
  void EdgeRegionChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  // Bits per pixel of the screen: at 8 or fewer, 24-bit pictures go through the palette path.
  virtual int ScreenDepth() const { return depth(); }

 private:
  QImage DisplayImage(const std::shared_ptr<const CDib>& dib, QSize target, bool paletteDevice);
  // Where the picture on show is drawn, and its size; false when none is.
  bool Placement(QRect& place, QSize& picture) const;

  // GUI thread only: the region and a drag in progress (widget coordinates).
  std::optional<EdgeRect> m_edgeRegion;
  std::optional<QPoint> m_dragFrom;
  QPoint m_dragTo;
  QAction* m_pClearEdgeRegion = nullptr;

  MessageSink* m_pBoxes;
  QSize m_paintedSize;

  mutable std::mutex m_mutex;  // guards m_pDib
  std::shared_ptr<const CDib> m_pDib;

  // GUI thread only: the last scaled or dithered image, reused while nothing changes. A weak
  // reference, so the cache neither keeps an old picture alive nor mistakes a new one for it.
  std::weak_ptr<const CDib> m_cacheSource;
  QSize m_cacheSize;
  bool m_cachePalette = false;
  QImage m_cacheImage;
};
