// Fuzz target: the panel-file loader, then every operation of the run-time on what it loaded.
// A damaged file must be refused with a LoadError (and leave the run-time as it was) or load
// into controls that every operation handles; nothing may crash, overflow or hang.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "ctl/callback_names.h"
#include "rt/runtime.h"

namespace {

// The run-time tests' own callback names, beside the program's, so that their seeds load too.
const char *const kTestCallbackNames[] = {"OnKey", "OnCommit", "OnTick", "OnSlow"};

struct Quiet : rt::Operator {
  void messagePopup(const std::string &, const std::string &) override {}
  bool confirmPopup(const std::string &, const std::string &) override { return false; }
  rt::FileSelect fileSelectPopup(const rt::FileRequest &, std::string &) override {
    return rt::FileSelect::Cancelled;
  }
};

// Each run-time call on a control of the wrong kind throws UsageError: that is its contract.
template <class F>
void tryCall(F &&f) {
  try {
    f();
  } catch (const rt::UsageError &) {
  }
}

void exercise(rt::Runtime &rt, rt::VirtualClock &clock, int handle) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double values[] = {0,     1,      -1,  0.5, 65535, 70000,
                           1e300, -1e300, nan, inf, -inf,  2147483648.0};
  // Ids and kinds first: the callbacks below may not change the list, but stay safe if they do.
  std::vector<int> ids;
  for (const rt::Control &c : rt.panel(handle).controls) ids.push_back(c.id);
  for (int id : ids) {
    for (double v : values) {
      tryCall([&] { rt.SetCtrlVal(handle, id, v); });
      tryCall([&] { (void)rt.GetCtrlValI(handle, id); });
    }
    tryCall([&] { rt.SetCtrlVal(handle, id, std::string("12abc")); });
    tryCall([&] { rt.SetCtrlVal(handle, id, std::string(100, 'x')); });
    tryCall([&] { (void)rt.GetCtrlValD(handle, id); });
    tryCall([&] { (void)rt.GetCtrlValS(handle, id); });
    for (int attr : {rt::ATTR_DIMMED, rt::ATTR_VISIBLE, rt::ATTR_BOARD_OPEN_MARK}) {
      tryCall([&] { rt.SetCtrlAttribute(handle, id, attr, 1); });
      tryCall([&] { (void)rt.GetCtrlAttribute(handle, id, attr); });
    }
    tryCall([&] {
      rt.SetCtrlAttribute(handle, id, rt::ATTR_TEXT_FONT, std::string("NIEditorMetaFont"));
    });
    tryCall([&] { rt.SetCtrlAttribute(handle, id, rt::ATTR_INTERVAL, 0.25); });
    tryCall([&] { rt.SetCtrlAttribute(handle, id, rt::ATTR_ENABLED, 1); });
    tryCall([&] { rt.InsertTextBoxLine(handle, id, -1, "line"); });
    tryCall([&] { rt.InsertTextBoxLine(handle, id, 1000, "line"); });
    tryCall([&] { (void)rt.GetTextBoxLine(handle, id, -3); });
    tryCall([&] { rt.ResetTextBox(handle, id, "a\nb"); });
    tryCall([&] { rt.InsertListItem(handle, id, -1, "item", 3); });
    tryCall([&] { rt.InsertListItem(handle, id, 0, "first", nan); });
    tryCall([&] { rt.SetCtrlIndex(handle, id, 1); });
    tryCall([&] { rt.SetCtrlIndex(handle, id, -7); });
    tryCall([&] { (void)rt.GetCtrlIndex(handle, id); });
    tryCall([&] { rt.SetTableCellVal(handle, id, 1, 1, 2.5); });
    tryCall([&] { rt.SetTableCellVal(handle, id, 0, -1, 2.5); });
    tryCall([&] { rt.SetTableCellVal(handle, id, 100000, 3, 2.5); });
    tryCall([&] {
      const double column[4] = {1, 2, 3, 4};
      rt.SetTableCellRangeVals(handle, id, 2, 2, 4, 1, column);
    });
    tryCall([&] { (void)rt.GetTableCellVal(handle, id, 3, 3); });
    tryCall([&] {
      const double y[3] = {1, nan, inf};
      int plot = rt.PlotY(handle, id, y, 3, 0xFF0000);
      rt.PlotXY(handle, id, y, y, 3, 0x00FF00);
      rt.DeleteGraphPlot(handle, id, plot);
      rt.DeleteGraphPlot(handle, id, 12345);
      rt.SetAxisScalingMode(handle, id, rt::VAL_LOCK, nan, inf);
      rt.DeleteGraphPlot(handle, id, -1);
    });
    tryCall([&] {
      rt.SetActiveTabPage(handle, id, 1);
      rt.SetActiveTabPage(handle, id, -1);
      (void)rt.GetActiveTabPage(handle, id);
      (void)rt.GetPanelHandleFromTabPage(handle, id, 0);
    });
    tryCall([&] { rt.SetActiveCtrl(handle, id); });
    tryCall([&] { rt.Commit(handle, id); });
  }
  tryCall([&] { rt.KeyPress(handle, 0x1800); });
  tryCall([&] { rt.DisplayPanel(handle); });
  // Every timer enabled above ticks for a virtual second.
  rt.RunUntil(clock.now() + 1.0);
  tryCall([&] { rt.HidePanel(handle); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  rt::VirtualClock clock;
  rt::Runtime rt(clock);
  Quiet quiet;
  rt.setOperator(&quiet);
  int calls = 0;
  for (const char *name : ctl::kCallbackNames)
    rt.RegisterCallback(name, [&calls](int, int, int, int, int) { return ++calls, 0; });
  for (const char *name : kTestCallbackNames)
    rt.RegisterCallback(name, [&calls](int, int, int, int, int) { return ++calls, 0; });
  // A callback that pops up and tries to re-enter the loop while it runs.
  rt.RegisterCallback("Reenter", [&rt](int panel, int control, int, int, int) {
    rt.MessagePopup("title", "text");
    if (rt.Commit(panel, control)) std::abort();  // the loop must not be re-entered
    rt.DispatchDue();
    return 0;
  });

  int first = 0;
  try {
    first = rt.LoadPanelFromString(text, "fuzz.ui");
  } catch (const rt::LoadError &) {
    if (!rt.panelHandles().empty()) std::abort();  // a refused file leaves nothing behind
    return 0;
  }
  if (first != 1) std::abort();
  // The same panel again is refused; the run-time stays as it was.
  size_t loaded = rt.panelHandles().size();
  try {
    rt.LoadPanelFromString(text, "again.ui");
    std::abort();
  } catch (const rt::LoadError &) {
  }
  if (rt.panelHandles().size() != loaded) std::abort();
  for (int handle : rt.panelHandles()) exercise(rt, clock, handle);
  rt.DiscardPanel(first);
  return 0;
}
