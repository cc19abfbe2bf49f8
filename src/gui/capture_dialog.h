// The raw capture's progress dialog: elapsed and remaining seconds, bytes written and the rate,
// with a Stop button. Modal while the capture loop runs inside its button callback; the loop
// lets Qt process events at each report, so the dialog repaints and its button answers while
// nothing else of the program runs.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>

#include "acq/capture.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

namespace gui {

class CaptureDialog final : public acq::CaptureMonitor {
 public:
  // `parent` gives the window the dialog belongs to (evaluated when a capture begins).
  explicit CaptureDialog(std::function<QWidget *()> parent) : parent_(std::move(parent)) {}
  ~CaptureDialog() override;

  void begin(double seconds) override;
  bool progress(const acq::CaptureProgress &p) override;
  void end() override;

  // The dialog while a capture runs (null otherwise), and the text it shows.
  QDialog *dialog() const { return dialog_.get(); }
  QString text() const;
  // What the Stop button does.
  void requestStop() { stop_ = true; }

 private:
  std::function<QWidget *()> parent_;
  std::unique_ptr<QDialog> dialog_;
  QLabel *time_ = nullptr;
  QLabel *bytes_ = nullptr;
  QProgressBar *bar_ = nullptr;
  QPushButton *stopButton_ = nullptr;
  bool stop_ = false;
};

}  // namespace gui
