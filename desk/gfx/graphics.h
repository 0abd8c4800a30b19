// Drawing into a bitmap: the subset of a GDI+-style Graphics that the menus, images and dialogs
// use, over Cairo and PangoCairo. Coordinates are pixels with (0, 0) at the top-left corner.
#pragma once

#include <string_view>
#include <vector>

#include "desk/gfx/bitmap.h"
#include "desk/gfx/text.h"

namespace desk::gfx {

struct PointF {
  double x = 0;
  double y = 0;
};

struct RectF {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

struct Pen {
  Argb color = 0xFF000000;
  double width = 1;
  bool roundCaps = false;  // round line caps and joins
};

// A figure of lines and arcs.
class Path {
 public:
  void moveTo(double x, double y);
  void lineTo(double x, double y);
  // An arc of the ellipse in `bounds` from `startDegrees`, sweeping `sweepDegrees` (clockwise on
  // screen for positive sweeps), joined to the figure by a line.
  void arc(const RectF& bounds, double startDegrees, double sweepDegrees);
  void close();
  // A closed rectangle with quarter-circle corners of `radius` (clamped to half the shorter side).
  void addRoundedRect(const RectF& rect, double radius);
  void addRect(const RectF& rect);
  void addEllipse(const RectF& bounds);
  bool empty() const { return ops_.empty(); }

 private:
  friend class Graphics;
  struct Op {
    enum Kind { Move, Line, Arc, Close } kind;
    double a, b, c, d, e, f;
  };
  std::vector<Op> ops_;
};

// Draws into a bitmap. The bitmap receives the drawing when the Graphics is flushed or destroyed;
// the bitmap must outlive it.
class Graphics {
 public:
  explicit Graphics(Bitmap& target);
  // Draws straight into a premultiplied ARGB32 image surface that the caller owns (no copies in
  // or out); the drawing is in the surface once the Graphics is flushed or destroyed.
  explicit Graphics(cairo_surface_t* surface);
  ~Graphics();
  Graphics(const Graphics&) = delete;
  Graphics& operator=(const Graphics&) = delete;

  void flush();

  void clear(Argb color);  // replaces every pixel (no blending)
  void setAntiAlias(bool on);
  void save();
  void restore();
  void translate(double dx, double dy);
  void rotate(double degrees);  // about the current origin
  void scale(double sx, double sy);

  void fillPath(const Path& path, Argb color);
  void strokePath(const Path& path, const Pen& pen);
  // Intersects the clip with the path (until restore() or resetClip()).
  void setClip(const Path& path);
  void resetClip();

  void fillRectangle(const RectF& rect, Argb color);
  void fillEllipse(const RectF& bounds, Argb color);
  void drawLine(const Pen& pen, PointF from, PointF to);
  void drawLines(const Pen& pen, const std::vector<PointF>& points);

  // Text without wrapping, its layout box's top-left corner at `origin`.
  void drawString(std::u16string_view text, const Font& font, PointF origin, Argb color);
  TextSize measureString(std::u16string_view text, const Font& font);

  // Draws `image` scaled into `dest`, its alpha multiplied by `opacity` (0..1); high quality uses
  // the best filter.
  void drawImage(const Bitmap& image, const RectF& dest, double opacity = 1.0,
                 bool highQuality = true);

  // Draws a premultiplied image surface at (x, y) in its own size, its alpha multiplied by
  // `opacity` (0..1).
  void drawSurface(cairo_surface_t* source, double x, double y, double opacity = 1.0);

  cairo_t* cairo() { return cr_; }

 private:
  void trace(const Path& path);
  Bitmap* target_;
  cairo_surface_t* surface_;
  cairo_t* cr_;
};

}  // namespace desk::gfx
