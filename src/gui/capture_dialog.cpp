#include "gui/capture_dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace gui {

namespace {

// Closing the window by its title bar stops the capture, as the Stop button does.
class ProgressWindow final : public QDialog {
 public:
  ProgressWindow(QWidget *parent, std::function<void()> onClose)
      : QDialog(parent), onClose_(std::move(onClose)) {}

 protected:
  void closeEvent(QCloseEvent *e) override {
    onClose_();
    e->ignore();
  }
  void reject() override { onClose_(); }  // Escape

 private:
  std::function<void()> onClose_;
};

}  // namespace

CaptureDialog::~CaptureDialog() = default;

void CaptureDialog::begin(double seconds) {
  stop_ = false;
  auto *w = new ProgressWindow(parent_ ? parent_() : nullptr, [this] { requestStop(); });
  dialog_.reset(w);
  w->setWindowTitle(QStringLiteral("Raw capture"));
  w->setWindowModality(Qt::ApplicationModal);
  auto *layout = new QVBoxLayout(w);
  time_ = new QLabel(w);
  bytes_ = new QLabel(w);
  bar_ = new QProgressBar(w);
  bar_->setRange(0, 1000);
  bar_->setValue(0);
  stopButton_ = new QPushButton(QStringLiteral("Stop"), w);
  QObject::connect(stopButton_, &QPushButton::clicked, w, [this] { requestStop(); });
  layout->addWidget(time_);
  layout->addWidget(bytes_);
  layout->addWidget(bar_);
  layout->addWidget(stopButton_);
  progress(acq::CaptureProgress{0, seconds, 0, 1});
  w->show();
  QApplication::processEvents();
}

bool CaptureDialog::progress(const acq::CaptureProgress &p) {
  if (!dialog_) return !stop_;
  const double remaining = std::max(0.0, p.seconds - p.elapsed);
  time_->setText(QStringLiteral("Elapsed %1 s, remaining %2 s (part %3)")
                     .arg(p.elapsed, 0, 'f', 1)
                     .arg(remaining, 0, 'f', 1)
                     .arg(p.part));
  const double rate = p.elapsed > 0 ? double(p.bytes) / p.elapsed / 1e6 : 0.0;
  bytes_->setText(QStringLiteral("%1 bytes written, %2 MB/s")
                      .arg(QString::number(qulonglong(p.bytes)))
                      .arg(rate, 0, 'f', 2));
  const double fraction = p.seconds > 0 ? std::clamp(p.elapsed / p.seconds, 0.0, 1.0) : 1.0;
  bar_->setValue(static_cast<int>(std::lround(fraction * 1000)));
  // The dialog repaints and its Stop button answers; the run-time dispatches nothing meanwhile.
  QApplication::processEvents();
  return !stop_;
}

void CaptureDialog::end() {
  dialog_.reset();
  time_ = bytes_ = nullptr;
  bar_ = nullptr;
  stopButton_ = nullptr;
  QApplication::processEvents();
}

QString CaptureDialog::text() const {
  if (!dialog_) return {};
  return time_->text() + '\n' + bytes_->text();
}

}  // namespace gui
