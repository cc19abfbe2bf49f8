// Panel run-time: panels and controls loaded from Qt Designer .ui files, control values and
// numeric attributes, callbacks bound by name, timer controls and a single-threaded event loop
// over a real or virtual clock, and the operator's pop-ups. Knows nothing of VELTRA.
//
// The program is written against this run-time exactly as against an event-driven panel
// library: controls are addressed by (panel handle, control id), values are set and read with
// SetCtrlVal/GetCtrlVal, attributes by number. Setting a value from code never fires a callback;
// only operator actions (commit, key press) and timer ticks do.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rt/clock.h"
#include "rt/format.h"

namespace pugi {
class xml_document;
}

namespace rt {

// Control kinds. The kind of a control follows from its widget class in the .ui file.
enum class Kind {
  Numeric,        // QSpinBox / QDoubleSpinBox (indicator when readOnly)
  Ring,           // QComboBox: items with label and value
  Switch,         // QCheckBox, or a checkable QPushButton (toggle)
  String,         // QLineEdit
  TextBox,        // QPlainTextEdit: a list of lines
  StringDisplay,  // QLabel
  Led,            // TsLed
  Table,          // TsTable: numeric cells, (row, column) from 1
  Graph,          // TsGraph: plots with handles
  Timer,          // TsTimer: interval and enabled, ticks event 15
  Tab,            // QTabWidget: each page is a panel of its own
  Button,         // QPushButton: commits
};
const char *kindName(Kind k);

// Numeric data types (property "dataType" of a spin box, default int / double by class).
enum class DataType { Int, UInt16, UInt8, Double, Float };

// Event codes.
inline constexpr int EVENT_COMMIT = 1;
inline constexpr int EVENT_KEYPRESS = 7;
inline constexpr int EVENT_TIMER_TICK = 15;

// Attribute numbers.
inline constexpr int ATTR_DIMMED = 500;
inline constexpr int ATTR_VISIBLE = 530;
inline constexpr int ATTR_BOARD_OPEN_MARK = 630;  // value 920 once a module is open
inline constexpr int ATTR_TEXT_FONT = 682;
inline constexpr int ATTR_INTERVAL = 1270;
inline constexpr int ATTR_ENABLED = 1271;

// Axis scaling modes of a graph's left y axis.
inline constexpr int VAL_AUTOSCALE = 1;
inline constexpr int VAL_LOCK = 2;

// A typed control constant: id and kind. Converts to the id, so it can be passed wherever a
// control id is expected: rt.SetCtrlVal(panels.MainPanel, ctl::Main::ReadOutMode, 2).
struct Ctl {
  int id;
  Kind kind;
  constexpr operator int() const { return id; }
};

// Control callback: (panel, control, event, eventData1, eventData2) -> 0.
// Panel callbacks (a panel's key callback) receive control 0.
using Callback = std::function<int(int panel, int control, int event, int data1, int data2)>;

struct RingItem {
  std::string label;
  double value = 0;
};

struct Plot {
  int handle = 0;
  std::vector<double> x;  // empty for PlotY: x is the index
  std::vector<double> y;
  uint32_t color = 0xFF0000;  // 0xRRGGBB
  int plotStyle = 1;
  int pointStyle = 11;
  int lineStyle = 0;
  std::string legend;  // the plot's name in the graph's legend; empty: not in the legend
};

struct Control {
  int id = 0;
  Kind kind = Kind::Numeric;
  std::string name;          // objectName in the .ui file
  std::string widgetClass;   // Qt class name in the .ui file
  std::string callbackName;  // empty when none
  Callback callback;
  DataType type = DataType::Int;
  double min = -2147483648.0, max = 2147483647.0;
  bool indicator = false;  // read-only for the operator
  int maxLength = 0;       // strings: 0 = no limit

  // Values by kind.
  double num = 0;                     // Numeric, Ring (value of selected item), Switch, Led
  std::string text;                   // String, StringDisplay
  std::vector<std::string> lines;     // TextBox
  std::vector<std::string> linePool;  // TextBox: cleared lines kept for their buffers
  std::vector<RingItem> items;        // Ring
  int ringIndex = -1;                 // Ring: selected item (-1 none)
  int rows = 0, cols = 0;             // Table
  std::vector<double> cells;          // Table, row-major
  std::vector<Plot> plots;            // Graph
  std::vector<Plot> plotPool;         // Graph: deleted plots kept for their buffers
  int yScaling = VAL_AUTOSCALE;       // Graph
  double yMin = 0, yMax = 10;         // Graph (locked range)
  int tabChildIndex = -1;             // Tab: index of first page panel in the panel's pages
  std::vector<int> pages;             // Tab: panel handles of the pages
  int activePage = 0;                 // Tab

  // Attributes.
  bool dimmed = false;
  bool visible = true;
  std::string font;
  double interval = 1.0;  // Timer, seconds
  bool enabled = false;   // Timer
  std::map<int, double> otherAttrs;

  // Event loop state of a timer.
  double nextDue = 0;

  uint64_t revision = 0;  // bumped on every change: front ends redraw what moved
};

// The value a control holds when it is given v: within its range and of its data type.
double coerce(const Control &c, double v);

struct Panel {
  int handle = 0;
  std::string alias;  // objectName of the root widget ("Main", "TabBData", ...)
  std::string file;
  int parent = 0;  // tab pages: handle of the panel that holds the tab control
  bool visible = false;
  std::string title;
  std::string keyCallbackName;
  Callback keyCallback;
  int activeCtrl = 0;
  std::vector<Control> controls;  // in file order
  std::vector<int> byId;          // id -> index into controls, -1 when absent
  uint64_t revision = 0;

  Control *find(int id);
  const Control *find(int id) const;
  const Control *findByName(std::string_view name) const;
};

// Problems found while loading a panel file: the message names the file and the problem.
struct LoadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Programming errors: an unknown panel handle or control id. The message says which.
struct UsageError : std::logic_error {
  using std::logic_error::logic_error;
};

// The operator's pop-ups. The desktop program shows dialogs; the headless program answers from
// the script's queue.
struct FileRequest {
  std::string defaultDirectory;
  std::string defaultPattern;  // a file name, or a wildcard pattern such as "*.*"
  std::string typeList;
  std::string title;
  bool save = false;  // save dialog (else load)
  bool allowCancel = true;
  bool allowMakeDirectory = true;

  // A dialog of the program's kind: any file ("*.*") from the default folder "C:\\", which
  // the desktop maps to the user's home folder.
  static FileRequest anyFile(std::string typeList, std::string title, bool save) {
    FileRequest r;
    r.defaultDirectory = "C:\\";
    r.defaultPattern = "*.*";
    r.typeList = std::move(typeList);
    r.title = std::move(title);
    r.save = save;
    return r;
  }
};
enum class FileSelect { Cancelled = 0, Existing = 1, New = 2 };

class Operator {
 public:
  virtual ~Operator() = default;
  virtual void messagePopup(const std::string &title, const std::string &message) = 0;
  // Returns true for yes.
  virtual bool confirmPopup(const std::string &title, const std::string &message) = 0;
  virtual FileSelect fileSelectPopup(const FileRequest &request, std::string &path) = 0;
};

// Front ends watch the run-time through observers.
class Observer {
 public:
  virtual ~Observer() = default;
  virtual void controlChanged(int /*panel*/, int /*control*/) {}
  virtual void textBoxLineAdded(int /*panel*/, int /*control*/, const std::string & /*line*/) {}
  virtual void panelChanged(int /*panel*/) {}  // shown, hidden, active control or tab page
  virtual void processDrawEvents() {}
  virtual void quitRequested() {}
};

class Runtime {
 public:
  explicit Runtime(Clock &clock);
  ~Runtime();
  Runtime(const Runtime &) = delete;
  Runtime &operator=(const Runtime &) = delete;

  // ---- callbacks by name; register before loading the panels
  void RegisterCallback(const std::string &name, Callback cb);
  bool HasCallback(const std::string &name) const;

  // ---- panels
  // Loads a panel file; tab pages become panels with the next handles. Throws LoadError.
  int LoadPanel(const std::string &path);
  // The same from the text of a panel file; `name` stands for the file in the messages.
  int LoadPanelFromString(const std::string &text, const std::string &name);
  void DisplayPanel(int panel);
  void HidePanel(int panel);
  // The title of the panel's window.
  void SetPanelTitle(int panel, const std::string &title);
  void DiscardPanel(int panel);
  int GetPanelHandleFromTabPage(int panel, int tabCtrl, int index) const;
  int PanelHandle(std::string_view alias) const;  // 0 when unknown
  Panel &panel(int handle);
  const Panel &panel(int handle) const;
  bool hasPanel(int handle) const;
  std::vector<int> panelHandles() const;
  Control &control(int panel, int ctrl);
  const Control &control(int panel, int ctrl) const;

  // ---- values (setting from code never fires a callback)
  void SetCtrlVal(int panel, int ctrl, double value);
  void SetCtrlVal(int panel, int ctrl, int value) { SetCtrlVal(panel, ctrl, double(value)); }
  void SetCtrlVal(int panel, int ctrl, unsigned value) { SetCtrlVal(panel, ctrl, double(value)); }
  void SetCtrlVal(int panel, int ctrl, const std::string &text);
  void SetCtrlVal(int panel, int ctrl, const char *text) {
    SetCtrlVal(panel, ctrl, std::string(text));
  }
  double GetCtrlValD(int panel, int ctrl) const;
  int GetCtrlValI(int panel, int ctrl) const;  // truncated toward zero
  std::string GetCtrlValS(int panel, int ctrl) const;

  // ---- attributes by number (500, 530, 630, 682, 1270, 1271, others stored as numbers)
  void SetCtrlAttribute(int panel, int ctrl, int attr, double value);
  void SetCtrlAttribute(int panel, int ctrl, int attr, const std::string &value);
  double GetCtrlAttribute(int panel, int ctrl, int attr) const;

  // ---- text boxes
  void InsertTextBoxLine(int panel, int ctrl, int index, const std::string &line);  // -1 = end
  void ResetTextBox(int panel, int ctrl, const std::string &text);  // text split at '\n'
  int GetNumTextBoxLines(int panel, int ctrl) const;
  std::string GetTextBoxLine(int panel, int ctrl, int index) const;

  // ---- rings
  void ClearListCtrl(int panel, int ctrl);
  void InsertListItem(int panel, int ctrl, int index, const std::string &label, double value);
  int GetNumListItems(int panel, int ctrl) const;
  int GetCtrlIndex(int panel, int ctrl) const;
  void SetCtrlIndex(int panel, int ctrl, int index);

  // ---- tables, cells addressed (row, column) from 1
  void SetTableCellVal(int panel, int ctrl, int row, int col, double value);
  double GetTableCellVal(int panel, int ctrl, int row, int col) const;
  // Fills the range from its top-left cell, column by column (height values per column).
  template <class T>
  void SetTableCellRangeVals(int panel, int ctrl, int top, int left, int height, int width,
                             const T *values) {
    Control &c = tableFor(panel, ctrl);
    int k = 0;
    for (int col = left; col < left + width; ++col)
      for (int row = top; row < top + height; ++row) setCell(c, row, col, double(values[k++]));
    touch(panel, c);
  }

  // ---- graphs
  template <class T>
  int PlotY(int panel, int ctrl, const T *y, size_t n, uint32_t color, int plotStyle = 1,
            int pointStyle = 11, int lineStyle = 0) {
    Plot &p = newPlot(panel, ctrl);
    p.y.assign(y, y + n);
    p.color = color, p.plotStyle = plotStyle, p.pointStyle = pointStyle, p.lineStyle = lineStyle;
    return finishPlot(panel, ctrl, p);
  }
  template <class TX, class TY>
  int PlotXY(int panel, int ctrl, const TX *x, const TY *y, size_t n, uint32_t color,
             int plotStyle = 1, int pointStyle = 11, int lineStyle = 0) {
    Plot &p = newPlot(panel, ctrl);
    p.x.assign(x, x + n);
    p.y.assign(y, y + n);
    p.color = color, p.plotStyle = plotStyle, p.pointStyle = pointStyle, p.lineStyle = lineStyle;
    return finishPlot(panel, ctrl, p);
  }
  // Names a plot in the graph's legend (the channel it shows, say); a graph whose plots have
  // no names shows no legend.
  void SetPlotLegend(int panel, int ctrl, int plotHandle, std::string_view text);
  // plotHandle -1 deletes every plot of the graph.
  void DeleteGraphPlot(int panel, int ctrl, int plotHandle);
  void SetAxisScalingMode(int panel, int ctrl, int mode, double min, double max);

  // ---- tab pages and focus
  void SetActiveTabPage(int panel, int tabCtrl, int index);
  int GetActiveTabPage(int panel, int tabCtrl) const;
  int GetActiveCtrl(int panel) const;
  void SetActiveCtrl(int panel, int ctrl);

  // ---- pop-ups through the operator
  void setOperator(Operator *op) { operator_ = op; }
  void MessagePopup(const std::string &title, const std::string &message);
  int ConfirmPopup(const std::string &title, const std::string &message);  // 1 yes, 0 no
  FileSelect FileSelectPopup(const FileRequest &request, std::string &path);

  // ---- observers
  void addObserver(Observer *o);
  void removeObserver(Observer *o);

  // ---- time and event loop
  Clock &clock() { return clock_; }
  double Timer() const { return clock_.now(); }
  void ProcessDrawEvents();
  void QuitUserInterface(int code = 0);
  bool quitRequested() const { return quit_; }
  int quitCode() const { return quitCode_; }

  // The operator's commit on a control: fires its callback with event 1. Returns false when
  // the control has no callback or a callback is already running (the loop is never
  // re-entered).
  bool Commit(int panel, int ctrl);
  // A key press on a panel: fires the panel's key callback with event 7 and the key code.
  bool KeyPress(int panel, int virtualKey);
  // True while a callback runs: no other callback is dispatched meanwhile.
  bool busy() const { return dispatchDepth_ > 0; }

  // Time of the next due timer tick, or +infinity when no timer is enabled.
  double NextDue() const;
  // Dispatches every tick that is due at the clock's present time (one per timer). A timer
  // whose callback ran late is not caught up: its next tick is one interval after the late one
  // unless that too has passed, then the first tick of its period still to come.
  void DispatchDue();
  // Runs the event loop until the clock reaches `until` (virtual clock: jumps from tick to
  // tick; real clock: sleeps in between) or the user interface is quit. Called while a callback
  // runs, it dispatches nothing and only lets the time pass.
  void RunUntil(double until);
  // Runs until `done` holds (checked after every tick), `until` is reached or quit.
  bool RunUntil(double until, const std::function<bool()> &done);

 private:
  int loadDocument(const pugi::xml_document &doc, const std::string &path);
  Control &tableFor(int panel, int ctrl);
  static void setCell(Control &c, int row, int col, double v);
  Plot &newPlot(int panel, int ctrl);
  int finishPlot(int panel, int ctrl, Plot &p);
  void touch(int panel, Control &c);
  void notifyPanel(int panel);
  int fire(int panel, Control &c, int event, int d1, int d2);
  void timerChanged(Control &c);

  Clock &clock_;
  Operator *operator_ = nullptr;
  std::map<std::string, Callback> callbacks_;
  std::vector<std::unique_ptr<Panel>> panels_;  // index = handle - 1
  std::vector<Observer *> observers_;
  int nextPlotHandle_ = 1;
  int dispatchDepth_ = 0;
  bool quit_ = false;
  int quitCode_ = 0;
  std::vector<std::pair<int, int>> timers_;      // (panel, control) of every timer
  std::vector<std::pair<int, int>> dueScratch_;  // timers due in the present dispatch
};

}  // namespace rt
