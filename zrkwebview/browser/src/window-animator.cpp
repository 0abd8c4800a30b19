#include "zrkwebview/browser/src/window-animator.h"

#include <cmath>

#include "desk/window.h"
#include "zrkwebview/browser/src/timers.h"

namespace zrk {

namespace {
const char16_t kAnimatorProperty[] = u"AniWindowKey";
constexpr desk::UINT kFrameMs = 10;

int width(const desk::RECT& r) { return r.right - r.left; }
int height(const desk::RECT& r) { return r.bottom - r.top; }
}  // namespace

WindowAnimator::~WindowAnimator() {
  stop();
  if (window_ && desk::GetProp(window_, kAnimatorProperty) == static_cast<desk::HANDLE>(this))
    desk::RemoveProp(window_, kAnimatorProperty);
}

template <typename MakeTarget>
bool WindowAnimator::begin(desk::HWND window, int kind, int durationMs, MakeTarget makeTarget) {
  if (window == nullptr) return false;
  stop();
  ++generation_;
  window_ = window;
  step_ = 0;
  kind_ = kind;
  steps_ = durationMs / static_cast<int>(kFrameMs);
  if (steps_ < 1) steps_ = 1;
  desk::RECT current;
  desk::GetWindowRect(window, &current);
  start_ = current;
  target_ = makeTarget(current);
  desk::SetProp(window, kAnimatorProperty, static_cast<desk::HANDLE>(this));
  timer_ = desk::SetTimer(window, kTimerId, kFrameMs, &WindowAnimator::timerProc);
  return timer_ != 0;
}

bool WindowAnimator::start(desk::HWND window, int x, int y, int w, int h, int durationMs,
                           bool keepSize) {
  return begin(window, keepSize ? kMove : kMoveResize, durationMs, [&](const desk::RECT& r) {
    const int tw = keepSize ? width(r) : w;
    const int th = keepSize ? height(r) : h;
    return desk::RECT{x, y, x + tw, y + th};
  });
}

bool WindowAnimator::moveTo(desk::HWND window, int x, int y, int durationMs) {
  return start(window, x, y, 0, 0, durationMs, true);
}

bool WindowAnimator::resize(desk::HWND window, int w, int h, int durationMs, bool keepTopLeft) {
  return begin(window, kResize, durationMs, [&](const desk::RECT& r) {
    if (keepTopLeft) return desk::RECT{r.left, r.top, r.left + w, r.top + h};
    const int left = r.left + width(r) / 2 - w / 2;
    const int top = r.top + height(r) / 2 - h / 2;
    return desk::RECT{left, top, left + w, top + h};
  });
}

bool WindowAnimator::resizeCentered(desk::HWND window, int w, int h, int durationMs) {
  return resize(window, w, h, durationMs, false);
}

bool WindowAnimator::animateToRect(desk::HWND window, const desk::RECT& target, int durationMs) {
  return begin(window, kMoveResize, durationMs, [&](const desk::RECT&) { return target; });
}

bool WindowAnimator::centerOnMonitor(desk::HWND window, int durationMs) {
  if (window == nullptr) return false;
  desk::RECT r;
  desk::GetWindowRect(window, &r);
  desk::MONITORINFO info;
  if (!desk::GetMonitorInfo(desk::MonitorFromWindow(window, desk::MONITOR_DEFAULTTONEAREST), &info))
    return false;
  const desk::RECT& work = info.rcWork;
  const int x = work.left + (width(work) - width(r)) / 2;
  const int y = work.top + (height(work) - height(r)) / 2;
  return moveTo(window, x, y, durationMs);
}

bool WindowAnimator::bounceUp(desk::HWND window, int durationMs) {
  if (window == nullptr) return false;
  easing_ = kBounceOut;
  desk::RECT r;
  desk::GetWindowRect(window, &r);
  return moveTo(window, r.left, r.top - 50, durationMs);
}

void WindowAnimator::stop() {
  if (timer_ != 0) {
    desk::KillTimer(window_, timer_);
    timer_ = 0;
  }
  kind_ = kIdle;
}

double WindowAnimator::ease(double t) const {
  switch (easing_) {
    case kCubicOut:
      return 1.0 - std::pow(1.0 - t, 3);
    case kCubicInOut:
      if (t < 0.5) return t * 4.0 * t * t;
      return 1.0 - std::pow(2.0 - 2.0 * t, 3) * 0.5;
    case kBounceOut: {
      const double n = 7.5625;
      if (t < 0.36363636363636365) return t * n * t;
      if (t < 0.7272727272727273) {
        const double u = t - 0.5454545454545454;
        return u * n * u + 0.75;
      }
      if (t < 0.9090909090909091) {
        const double u = t - 0.8181818181818182;
        return u * n * u + 0.9375;
      }
      const double u = t - 0.9545454545454546;
      return u * n * u + 0.984375;
    }
    case kElasticOut:
      if (t == 0.0) return 0.0;
      if (t == 1.0) return 1.0;
      return std::pow(2.0, -10.0 * t) * std::sin((10.0 * t - 0.75) * 2.0943951023931953) + 1.0;
    default:
      return t;
  }
}

void WindowAnimator::step() {
  if (step_ >= steps_) {
    apply(target_);
    const unsigned generation = generation_;
    desk::SendMessage(window_, kWmAnimationFinished, static_cast<desk::WPARAM>(kind_), 0);
    // The message's handler may have started another animation: that one keeps running.
    if (generation == generation_) stop();
    return;
  }
  const double t = static_cast<double>(step_) / static_cast<double>(steps_);
  const double e = ease(t);
  auto lerp = [e](int32_t from, int32_t to) {
    return static_cast<int32_t>(static_cast<double>(to - from) * e) + from;
  };
  desk::RECT frame{lerp(start_.left, target_.left), lerp(start_.top, target_.top),
                   lerp(start_.right, target_.right), lerp(start_.bottom, target_.bottom)};
  apply(frame);
  ++step_;
}

void WindowAnimator::apply(const desk::RECT& r) {
  desk::SetWindowPos(window_, nullptr, r.left, r.top, width(r), height(r),
                     desk::SWP_NOZORDER | desk::SWP_NOACTIVATE);
  desk::InvalidateRect(window_, nullptr, 1);
  desk::UpdateWindow(window_);
}

void WindowAnimator::timerProc(desk::HWND window, desk::UINT, desk::UINT_PTR id, desk::DWORD) {
  auto* animator = static_cast<WindowAnimator*>(desk::GetProp(window, kAnimatorProperty));
  if (animator != nullptr && animator->timer_ != 0 && id == animator->timer_) animator->step();
}

}  // namespace zrk
