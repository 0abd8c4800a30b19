// Moves and resizes a top-level window smoothly: the window rectangle is interpolated from where
// the window is to a target rectangle, one frame per 10 ms window timer, shaped by an easing curve.
// At the end the window gets 0x700 with the animation's kind. Everything runs on the window's
// thread.
#pragma once

#include "desk/types.h"

namespace zrk {

class WindowAnimator {
 public:
  enum Kind { kIdle = 0, kResize = 1, kMove = 2, kMoveResize = 3 };
  enum Easing { kLinear = 0, kCubicOut = 1, kCubicInOut = 2, kBounceOut = 3, kElasticOut = 4 };
  static constexpr desk::UINT_PTR kTimerId = 1001;

  WindowAnimator() = default;
  WindowAnimator(const WindowAnimator&) = delete;
  WindowAnimator& operator=(const WindowAnimator&) = delete;
  // Stops a running animation.
  ~WindowAnimator();

  // Each start returns true when the timer started; false for a null window (nothing happens) or
  // when the timer could not be set. A start stops the running animation first (no 0x700 for it).
  // Durations below 10 ms make one step.
  bool start(desk::HWND window, int x, int y, int width, int height, int durationMs, bool keepSize);
  bool moveTo(desk::HWND window, int x, int y, int durationMs);
  bool resize(desk::HWND window, int width, int height, int durationMs, bool keepTopLeft);
  bool resizeCentered(desk::HWND window, int width, int height, int durationMs);
  bool animateToRect(desk::HWND window, const desk::RECT& target, int durationMs);
  bool centerOnMonitor(desk::HWND window, int durationMs);
  // Moves the window up by 50 pixels and keeps the bounce curve for later animations.
  bool bounceUp(desk::HWND window, int durationMs);

  void setEasing(int easing) { easing_ = easing; }
  int easing() const { return easing_; }
  int kind() const { return kind_; }
  bool isRunning() const { return timer_ != 0; }
  void stop();
  void cancel() { stop(); }

  // The easing curve at t in [0, 1].
  double ease(double t) const;
  // One frame: an interpolated rectangle, or (after the last step) the target and 0x700.
  void step();
  void apply(const desk::RECT& rect);

 private:
  // Stops, records the window's rectangle and the target `makeTarget` gives for it, and starts
  // the timer.
  template <typename MakeTarget>
  bool begin(desk::HWND window, int kind, int durationMs, MakeTarget makeTarget);
  static void timerProc(desk::HWND window, desk::UINT message, desk::UINT_PTR id, desk::DWORD time);

  desk::HWND window_ = nullptr;
  desk::RECT start_{};
  desk::RECT target_{};
  int step_ = 0;
  int steps_ = 1;
  desk::UINT_PTR timer_ = 0;
  int kind_ = kIdle;
  int easing_ = kCubicOut;
  // Moves on at every start: tells step() whether the end message started another animation.
  unsigned generation_ = 0;
};

}  // namespace zrk
