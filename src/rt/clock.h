// Seconds clocks for the event loop: real time from program start, or virtual time that jumps
// from one due tick to the next and is advanced by device I/O.
#pragma once

#include <chrono>

namespace rt {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since the clock's origin.
  virtual double now() const = 0;
  // Time spent by an operation (device I/O): the virtual clock moves on, the real clock has
  // moved by itself.
  virtual void advance(double seconds) = 0;
  // Waits until `t` (real) or jumps there (virtual; never backwards).
  virtual void waitUntil(double t) = 0;
  virtual bool isVirtual() const = 0;
};

class RealClock final : public Clock {
 public:
  RealClock() : origin_(std::chrono::steady_clock::now()) {}
  double now() const override {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - origin_).count();
  }
  void advance(double) override {}
  void waitUntil(double t) override;
  bool isVirtual() const override { return false; }

 private:
  std::chrono::steady_clock::time_point origin_;
};

class VirtualClock final : public Clock {
 public:
  double now() const override { return t_; }
  void advance(double seconds) override {
    if (seconds > 0) t_ += seconds;
  }
  void waitUntil(double t) override {
    if (t > t_) t_ = t;
  }
  bool isVirtual() const override { return true; }

 private:
  double t_ = 0.0;
};

}  // namespace rt
