#include "desk/gfx/graphics.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

namespace desk::gfx {

namespace {

constexpr double kPi = 3.14159265358979323846;

void setColor(cairo_t* cr, Argb c) {
  cairo_set_source_rgba(cr, redOf(c) / 255.0, greenOf(c) / 255.0, blueOf(c) / 255.0,
                        alphaOf(c) / 255.0);
}

double radians(double degrees) { return degrees * kPi / 180.0; }

}  // namespace

void Path::moveTo(double x, double y) { ops_.push_back({Op::Move, x, y, 0, 0, 0, 0}); }
void Path::lineTo(double x, double y) { ops_.push_back({Op::Line, x, y, 0, 0, 0, 0}); }
void Path::arc(const RectF& b, double start, double sweep) {
  ops_.push_back({Op::Arc, b.x, b.y, b.width, b.height, start, sweep});
}
void Path::close() { ops_.push_back({Op::Close, 0, 0, 0, 0, 0, 0}); }

void Path::addRoundedRect(const RectF& r, double radius) {
  const double d = std::max(0.0, std::min({radius, r.width / 2, r.height / 2})) * 2;
  if (d <= 0) {
    addRect(r);
    return;
  }
  const double right = r.x + r.width, bottom = r.y + r.height;
  arc({r.x, r.y, d, d}, 180, 90);
  arc({right - d, r.y, d, d}, 270, 90);
  arc({right - d, bottom - d, d, d}, 0, 90);
  arc({r.x, bottom - d, d, d}, 90, 90);
  close();
}

void Path::addRect(const RectF& r) {
  moveTo(r.x, r.y);
  lineTo(r.x + r.width, r.y);
  lineTo(r.x + r.width, r.y + r.height);
  lineTo(r.x, r.y + r.height);
  close();
}

void Path::addEllipse(const RectF& b) {
  arc(b, 0, 360);
  close();
}

Graphics::Graphics(Bitmap& target) : target_(&target) {
  surface_ = target.toSurface();
  cr_ = cairo_create(surface_);
}

Graphics::Graphics(cairo_surface_t* surface) : target_(nullptr) {
  surface_ = cairo_surface_reference(surface);
  cr_ = cairo_create(surface_);
}

Graphics::~Graphics() {
  flush();
  cairo_destroy(cr_);
  cairo_surface_destroy(surface_);
}

void Graphics::flush() {
  if (!target_) {
    cairo_surface_flush(surface_);
    return;
  }
  if (cairo_status(cr_) == CAIRO_STATUS_SUCCESS) target_->assignFromSurface(surface_);
}

void Graphics::clear(Argb color) {
  cairo_save(cr_);
  cairo_set_operator(cr_, CAIRO_OPERATOR_SOURCE);
  setColor(cr_, color);
  cairo_paint(cr_);
  cairo_restore(cr_);
}

void Graphics::setAntiAlias(bool on) {
  cairo_set_antialias(cr_, on ? CAIRO_ANTIALIAS_DEFAULT : CAIRO_ANTIALIAS_NONE);
}
void Graphics::save() { cairo_save(cr_); }
void Graphics::restore() { cairo_restore(cr_); }
void Graphics::translate(double dx, double dy) { cairo_translate(cr_, dx, dy); }
void Graphics::rotate(double degrees) { cairo_rotate(cr_, radians(degrees)); }
void Graphics::scale(double sx, double sy) {
  if (sx != 0 && sy != 0 && std::isfinite(sx) && std::isfinite(sy)) cairo_scale(cr_, sx, sy);
}

void Graphics::trace(const Path& path) {
  cairo_new_path(cr_);
  for (const Path::Op& op : path.ops_) {
    switch (op.kind) {
      case Path::Op::Move: cairo_move_to(cr_, op.a, op.b); break;
      case Path::Op::Line:
        if (cairo_has_current_point(cr_)) {
          cairo_line_to(cr_, op.a, op.b);
        } else {
          cairo_move_to(cr_, op.a, op.b);
        }
        break;
      case Path::Op::Arc: {
        if (op.c <= 0 || op.d <= 0) break;
        // An elliptical arc: a circle of radius 1 scaled into the bounds.
        cairo_save(cr_);
        cairo_translate(cr_, op.a + op.c / 2, op.b + op.d / 2);
        cairo_scale(cr_, op.c / 2, op.d / 2);
        const double start = radians(op.e), end = radians(op.e + op.f);
        if (op.f >= 0) {
          cairo_arc(cr_, 0, 0, 1, start, end);
        } else {
          cairo_arc_negative(cr_, 0, 0, 1, start, end);
        }
        cairo_restore(cr_);
        break;
      }
      case Path::Op::Close: cairo_close_path(cr_); break;
    }
  }
}

void Graphics::fillPath(const Path& path, Argb color) {
  trace(path);
  setColor(cr_, color);
  cairo_fill(cr_);
}

void Graphics::strokePath(const Path& path, const Pen& pen) {
  trace(path);
  setColor(cr_, pen.color);
  cairo_set_line_width(cr_, pen.width);
  cairo_set_line_cap(cr_, pen.roundCaps ? CAIRO_LINE_CAP_ROUND : CAIRO_LINE_CAP_BUTT);
  cairo_set_line_join(cr_, pen.roundCaps ? CAIRO_LINE_JOIN_ROUND : CAIRO_LINE_JOIN_MITER);
  cairo_stroke(cr_);
}

void Graphics::setClip(const Path& path) {
  trace(path);
  cairo_clip(cr_);
}

void Graphics::resetClip() { cairo_reset_clip(cr_); }

void Graphics::fillRectangle(const RectF& r, Argb color) {
  Path p;
  p.addRect(r);
  fillPath(p, color);
}

void Graphics::fillEllipse(const RectF& b, Argb color) {
  Path p;
  p.addEllipse(b);
  fillPath(p, color);
}

void Graphics::drawLine(const Pen& pen, PointF from, PointF to) { drawLines(pen, {from, to}); }

void Graphics::drawLines(const Pen& pen, const std::vector<PointF>& points) {
  if (points.size() < 2) return;
  Path p;
  p.moveTo(points[0].x, points[0].y);
  for (size_t i = 1; i < points.size(); ++i) p.lineTo(points[i].x, points[i].y);
  strokePath(p, pen);
}

void Graphics::drawString(std::u16string_view text, const Font& font, PointF origin, Argb color) {
  drawText(cr_, font, text, origin.x, origin.y, color);
}

TextSize Graphics::measureString(std::u16string_view text, const Font& font) {
  return textMeasurer()->measure(font, text);
}

void Graphics::drawSurface(cairo_surface_t* source, double x, double y, double opacity) {
  if (!source) return;
  cairo_save(cr_);
  cairo_set_source_surface(cr_, source, x, y);
  cairo_paint_with_alpha(cr_, std::clamp(opacity, 0.0, 1.0));
  cairo_restore(cr_);
}

void Graphics::drawImage(const Bitmap& image, const RectF& dest, double opacity, bool highQuality) {
  if (image.empty() || dest.width <= 0 || dest.height <= 0) return;
  cairo_surface_t* source = image.toSurface();
  cairo_save(cr_);
  cairo_rectangle(cr_, dest.x, dest.y, dest.width, dest.height);
  cairo_clip(cr_);
  cairo_translate(cr_, dest.x, dest.y);
  cairo_scale(cr_, dest.width / image.width(), dest.height / image.height());
  cairo_set_source_surface(cr_, source, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr_), highQuality ? CAIRO_FILTER_BEST : CAIRO_FILTER_FAST);
  cairo_pattern_set_extend(cairo_get_source(cr_), CAIRO_EXTEND_PAD);
  cairo_paint_with_alpha(cr_, std::clamp(opacity, 0.0, 1.0));
  cairo_restore(cr_);
  cairo_surface_destroy(source);
}

}  // namespace desk::gfx
