// The desktop program without main(): the bench on a real clock, its panels on screen, the
// event pump and the pop-up dialogs, and the script host for `tessock --script`.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QObject>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "app/bench.h"
#include "gui/capture_dialog.h"
#include "gui/dialogs.h"
#include "gui/history_window.h"
#include "gui/panel_view.h"
#include "gui/pump.h"
#include "gui/run_status.h"
#include "rt/clock.h"
#include "script/script.h"

namespace gui {

class Desktop : public QObject {
  Q_OBJECT

 public:
  explicit Desktop(const app::BenchOptions &options, QObject *parent = nullptr);
  ~Desktop() override;

  // Start-up of the bench with the panels on screen (the main panel shown). Throws
  // rt::LoadError for a panel file that cannot be loaded.
  void start();
  // Shutdown of the bench; the windows go.
  void shutDown();

  // Pop-ups are Qt dialogs unless another operator (a script's) answers them; a script's
  // capture runs without the progress dialog.
  void setOperator(rt::Operator *op);
  // Whether the operator is a person at the screen (asked before a run is stopped or quit).
  bool askingOperator() const;

  app::Bench &bench() { return bench_; }
  rt::Runtime &rt() { return bench_.rt; }
  PanelView &view() { return view_; }
  EventPump &pump() { return pump_; }
  CaptureDialog &captureDialog() { return capture_; }
  // The verdict, progress and failed lines of the functional test on the test panel.
  RunStatusPanel *runStatus() const { return runStatus_; }
  // The main window's line saying that no QuickUSB module is driven (demo data).
  QWidget *noHardwareNotice() const { return noHardware_; }
  // The results history page (Ctrl+H in every panel's window), made on first use and read
  // again from the store each time it is opened.
  HistoryWindow &openHistory();
  HistoryWindow *historyWindow() const { return history_.get(); }
  // The bench check (Bench menu, Ctrl+B): runs app::RunProbe and shows its text in a dialog.
  // Returns the dialog (left open, deleted when closed).
  QDialog *benchCheck();

 signals:
  // The run-time asked to quit (the quit control).
  void quit();

 private:
  rt::RealClock clock_;
  app::Bench bench_;
  EventPump pump_;
  PanelView view_;
  DialogOperator dialogs_;
  CaptureDialog capture_;
  std::unique_ptr<HistoryWindow> history_;
  RunStatusPanel *runStatus_ = nullptr;
  QLabel *noHardware_ = nullptr;
  QTimer hardwareCheck_;
  void attachOperatorView();
  bool confirmCommit(int panel, int control);
  void markScans();
  void markScan(int field, const std::string &problem);
  void hintWhileNoData(int panel);
  bool asking_ = true;
  QLabel *scanNote_ = nullptr;
  std::map<int, QString> scanProblems_;
  bool started_ = false;
  bool shutDown_ = false;
};

// Runs a script's time in the live program: the Qt event loop in real time, screenshots of
// the panels' windows.
class DesktopScriptHost : public cli::ScriptHost {
 public:
  explicit DesktopScriptHost(Desktop &desktop) : desktop_(desktop) {}
  bool runFor(double seconds, const std::function<bool()> &done) override;
  bool screenshot(int panel, const std::string &path, std::string &error) override;

 private:
  Desktop &desktop_;
};

}  // namespace gui
