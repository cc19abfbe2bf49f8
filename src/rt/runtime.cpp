#include "rt/runtime.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace rt {

const char *kindName(Kind k) {
  switch (k) {
    case Kind::Numeric:
      return "numeric";
    case Kind::Ring:
      return "ring";
    case Kind::Switch:
      return "switch";
    case Kind::String:
      return "string";
    case Kind::TextBox:
      return "text box";
    case Kind::StringDisplay:
      return "string display";
    case Kind::Led:
      return "LED";
    case Kind::Table:
      return "table";
    case Kind::Graph:
      return "graph";
    case Kind::Timer:
      return "timer";
    case Kind::Tab:
      return "tab control";
    case Kind::Button:
      return "command button";
  }
  return "?";
}

Control *Panel::find(int id) {
  if (id < 0 || id >= static_cast<int>(byId.size()) || byId[id] < 0) return nullptr;
  return &controls[byId[id]];
}
const Control *Panel::find(int id) const { return const_cast<Panel *>(this)->find(id); }
const Control *Panel::findByName(std::string_view n) const {
  for (const auto &c : controls)
    if (c.name == n) return &c;
  return nullptr;
}

double coerce(const Control &c, double v) {
  // A floating-point indicator shows what it is given, infinity included (a rate over a period
  // of zero); everything else is kept within its range.
  bool real = c.type == DataType::Double || c.type == DataType::Float;
  if (real && c.indicator && std::isinf(v)) return v;
  if (std::isnan(v)) v = 0;
  switch (c.type) {
    case DataType::Int:
    case DataType::UInt16:
    case DataType::UInt8:
      v = std::trunc(v);
      break;
    case DataType::Float:
      // Beyond float's range the conversion is undefined: the largest float stands in.
      v = static_cast<float>(std::clamp(v, -double(FLT_MAX), double(FLT_MAX)));
      break;
    case DataType::Double:
      break;
  }
  if (c.kind == Kind::Numeric) v = std::clamp(v, c.min, c.max);
  return v;
}

// ---------------------------------------------------------------- panels

Runtime::Runtime(Clock &clock) : clock_(clock) {}
Runtime::~Runtime() = default;

void Runtime::RegisterCallback(const std::string &name, Callback cb) {
  callbacks_[name] = std::move(cb);
}
bool Runtime::HasCallback(const std::string &name) const { return callbacks_.count(name) != 0; }

bool Runtime::hasPanel(int handle) const {
  return handle >= 1 && handle <= static_cast<int>(panels_.size()) && panels_[handle - 1];
}

Panel &Runtime::panel(int handle) {
  if (!hasPanel(handle)) throw UsageError("no panel with handle " + std::to_string(handle));
  return *panels_[handle - 1];
}
const Panel &Runtime::panel(int handle) const { return const_cast<Runtime *>(this)->panel(handle); }

std::vector<int> Runtime::panelHandles() const {
  std::vector<int> out;
  for (auto &p : panels_)
    if (p) out.push_back(p->handle);
  return out;
}

int Runtime::PanelHandle(std::string_view alias) const {
  for (auto &p : panels_)
    if (p && p->alias == alias) return p->handle;
  return 0;
}

Control &Runtime::control(int panelHandle, int ctrl) {
  Panel &p = panel(panelHandle);
  Control *c = p.find(ctrl);
  if (!c) throw UsageError("panel " + p.alias + " has no control with id " + std::to_string(ctrl));
  return *c;
}
const Control &Runtime::control(int panelHandle, int ctrl) const {
  return const_cast<Runtime *>(this)->control(panelHandle, ctrl);
}

void Runtime::notifyPanel(int handle) {
  panel(handle).revision++;
  for (auto *o : observers_) o->panelChanged(handle);
}

void Runtime::DisplayPanel(int h) {
  Panel &p = panel(h);
  p.visible = true;
  notifyPanel(h);
}
void Runtime::SetPanelTitle(int h, const std::string &title) {
  panel(h).title = title;
  notifyPanel(h);
}
void Runtime::HidePanel(int h) {
  Panel &p = panel(h);
  p.visible = false;
  notifyPanel(h);
}
void Runtime::DiscardPanel(int h) {
  Panel &p = panel(h);
  p.visible = false;
  notifyPanel(h);
  // Timers of a discarded panel stop; the panel object stays so that handles stay valid for
  // observers that still hold them.
  for (auto &c : p.controls)
    if (c.kind == Kind::Timer) c.enabled = false;
}

int Runtime::GetPanelHandleFromTabPage(int h, int tabCtrl, int index) const {
  const Control &c = control(h, tabCtrl);
  if (c.kind != Kind::Tab || index < 0 || index >= static_cast<int>(c.pages.size()))
    throw UsageError("no tab page " + std::to_string(index));
  return c.pages[index];
}

void Runtime::touch(int h, Control &c) {
  c.revision++;
  for (auto *o : observers_) o->controlChanged(h, c.id);
}

// ---------------------------------------------------------------- values

void Runtime::SetCtrlVal(int h, int ctrl, double value) {
  Control &c = control(h, ctrl);
  switch (c.kind) {
    case Kind::Numeric:
      value = coerce(c, value);
      if (value == c.num) return;
      c.num = value;
      break;
    case Kind::Switch:
    case Kind::Led:
      value = value != 0 ? 1 : 0;
      if (value == c.num) return;
      c.num = value;
      break;
    case Kind::Ring: {
      int idx = -1;
      for (size_t i = 0; i < c.items.size(); ++i)
        if (c.items[i].value == value) {
          idx = static_cast<int>(i);
          break;
        }
      if (idx < 0) return;  // no item with that value: the ring keeps its selection
      if (idx == c.ringIndex && c.num == value) return;
      c.ringIndex = idx;
      c.num = value;
      break;
    }
    case Kind::String:
    case Kind::StringDisplay:
    case Kind::TextBox:
      SetCtrlVal(h, ctrl, format("%g", value));
      return;
    default:
      throw UsageError("control " + c.name + " (" + kindName(c.kind) + ") holds no value");
  }
  touch(h, c);
}

void Runtime::SetCtrlVal(int h, int ctrl, const std::string &text) {
  Control &c = control(h, ctrl);
  switch (c.kind) {
    case Kind::String: {
      std::string t = text;
      if (c.maxLength > 0 && static_cast<int>(t.size()) > c.maxLength) t.resize(c.maxLength);
      if (t == c.text) return;
      c.text = std::move(t);
      break;
    }
    case Kind::StringDisplay:
      if (text == c.text) return;
      c.text = text;
      break;
    case Kind::TextBox:
      ResetTextBox(h, ctrl, text);
      return;
    case Kind::Numeric:
    case Kind::Ring:
    case Kind::Switch:
    case Kind::Led: {
      char *end = nullptr;
      double v = std::strtod(text.c_str(), &end);
      if (end == text.c_str()) throw UsageError("'" + text + "' is not a number for " + c.name);
      SetCtrlVal(h, ctrl, v);
      return;
    }
    default:
      throw UsageError("control " + c.name + " (" + kindName(c.kind) + ") holds no text");
  }
  touch(h, c);
}

double Runtime::GetCtrlValD(int h, int ctrl) const {
  const Control &c = control(h, ctrl);
  switch (c.kind) {
    case Kind::Numeric:
    case Kind::Switch:
    case Kind::Led:
    case Kind::Ring:
      return c.num;
    case Kind::String:
    case Kind::StringDisplay:
      return std::strtod(c.text.c_str(), nullptr);
    default:
      throw UsageError("control " + c.name + " (" + kindName(c.kind) + ") holds no number");
  }
}

int Runtime::GetCtrlValI(int h, int ctrl) const {
  double v = GetCtrlValD(h, ctrl);
  if (!(v > -2147483648.0 && v < 2147483648.0))
    return v > 0 ? std::numeric_limits<int>::max() : std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

std::string Runtime::GetCtrlValS(int h, int ctrl) const {
  const Control &c = control(h, ctrl);
  switch (c.kind) {
    case Kind::String:
    case Kind::StringDisplay:
      return c.text;
    case Kind::TextBox: {
      std::string out;
      for (size_t i = 0; i < c.lines.size(); ++i) {
        if (i) out += '\n';
        out += c.lines[i];
      }
      return out;
    }
    case Kind::Ring:
      return c.ringIndex >= 0 ? c.items[c.ringIndex].label : std::string();
    default:
      return format("%.17g", GetCtrlValD(h, ctrl));
  }
}

// ---------------------------------------------------------------- attributes

void Runtime::timerChanged(Control &c) {
  if (c.kind == Kind::Timer && c.enabled) c.nextDue = clock_.now() + std::max(c.interval, 0.0);
}

void Runtime::SetCtrlAttribute(int h, int ctrl, int attr, double value) {
  Control &c = control(h, ctrl);
  switch (attr) {
    case ATTR_DIMMED:
      if (c.dimmed == (value != 0)) return;
      c.dimmed = value != 0;
      break;
    case ATTR_VISIBLE:
      if (c.visible == (value != 0)) return;
      c.visible = value != 0;
      break;
    case ATTR_INTERVAL:
      if (c.kind != Kind::Timer) throw UsageError(c.name + " is not a timer");
      c.interval = value;
      timerChanged(c);
      break;
    case ATTR_ENABLED:
      if (c.kind != Kind::Timer) throw UsageError(c.name + " is not a timer");
      if (c.enabled == (value != 0)) return;
      c.enabled = value != 0;
      timerChanged(c);
      break;
    default:
      c.otherAttrs[attr] = value;
      break;
  }
  touch(h, c);
}

void Runtime::SetCtrlAttribute(int h, int ctrl, int attr, const std::string &value) {
  Control &c = control(h, ctrl);
  if (attr != ATTR_TEXT_FONT)
    throw UsageError("attribute " + std::to_string(attr) + " takes a number");
  c.font = value;
  touch(h, c);
}

double Runtime::GetCtrlAttribute(int h, int ctrl, int attr) const {
  const Control &c = control(h, ctrl);
  switch (attr) {
    case ATTR_DIMMED:
      return c.dimmed ? 1 : 0;
    case ATTR_VISIBLE:
      return c.visible ? 1 : 0;
    case ATTR_INTERVAL:
      return c.interval;
    case ATTR_ENABLED:
      return c.enabled ? 1 : 0;
    default: {
      auto it = c.otherAttrs.find(attr);
      return it == c.otherAttrs.end() ? 0 : it->second;
    }
  }
}

// ---------------------------------------------------------------- text boxes

static Control &textBox(Runtime &rt, int h, int ctrl) {
  Control &c = rt.control(h, ctrl);
  if (c.kind != Kind::TextBox) throw UsageError(c.name + " is not a text box");
  return c;
}

// A line for a text box, made in the buffer of a line cleared earlier when there is one: a text
// box rewritten block after block (raw words, frame text) allocates nothing once warmed up.
static std::string pooledLine(Control &c, std::string_view text) {
  if (c.linePool.empty()) return std::string(text);
  std::string s = std::move(c.linePool.back());
  c.linePool.pop_back();
  s.assign(text);
  return s;
}

void Runtime::InsertTextBoxLine(int h, int ctrl, int index, const std::string &line) {
  Control &c = textBox(*this, h, ctrl);
  if (index < 0 || index > static_cast<int>(c.lines.size()))
    c.lines.push_back(pooledLine(c, line));
  else
    c.lines.insert(c.lines.begin() + index, pooledLine(c, line));
  touch(h, c);
  for (auto *o : observers_) o->textBoxLineAdded(h, ctrl, line);
}

void Runtime::ResetTextBox(int h, int ctrl, const std::string &text) {
  Control &c = textBox(*this, h, ctrl);
  for (auto &l : c.lines) c.linePool.push_back(std::move(l));
  c.lines.clear();
  // An empty text leaves an empty box, not a box holding one empty line.
  const std::string_view all(text);
  size_t start = 0;
  for (; !all.empty();) {
    size_t k = all.find('\n', start);
    c.lines.push_back(
        pooledLine(c, all.substr(start, k == std::string::npos ? std::string::npos : k - start)));
    if (k == std::string::npos) break;
    start = k + 1;
  }
  touch(h, c);
}

int Runtime::GetNumTextBoxLines(int h, int ctrl) const {
  return static_cast<int>(textBox(const_cast<Runtime &>(*this), h, ctrl).lines.size());
}

std::string Runtime::GetTextBoxLine(int h, int ctrl, int index) const {
  const Control &c = textBox(const_cast<Runtime &>(*this), h, ctrl);
  if (index < 0 || index >= static_cast<int>(c.lines.size())) return {};
  return c.lines[index];
}

// ---------------------------------------------------------------- rings

static Control &ring(Runtime &rt, int h, int ctrl) {
  Control &c = rt.control(h, ctrl);
  if (c.kind != Kind::Ring) throw UsageError(c.name + " is not a ring");
  return c;
}

void Runtime::ClearListCtrl(int h, int ctrl) {
  Control &c = ring(*this, h, ctrl);
  c.items.clear();
  c.ringIndex = -1;
  c.num = 0;
  touch(h, c);
}

void Runtime::InsertListItem(int h, int ctrl, int index, const std::string &label, double value) {
  Control &c = ring(*this, h, ctrl);
  RingItem it{label, value};
  if (index < 0 || index > static_cast<int>(c.items.size()))
    index = static_cast<int>(c.items.size());
  c.items.insert(c.items.begin() + index, it);
  if (c.ringIndex < 0) {
    c.ringIndex = 0;
    c.num = c.items[0].value;
  } else if (index <= c.ringIndex) {
    c.ringIndex++;
  }
  touch(h, c);
}

int Runtime::GetNumListItems(int h, int ctrl) const {
  return static_cast<int>(ring(const_cast<Runtime &>(*this), h, ctrl).items.size());
}

int Runtime::GetCtrlIndex(int h, int ctrl) const {
  return ring(const_cast<Runtime &>(*this), h, ctrl).ringIndex;
}

void Runtime::SetCtrlIndex(int h, int ctrl, int index) {
  Control &c = ring(*this, h, ctrl);
  if (index < 0 || index >= static_cast<int>(c.items.size())) return;
  c.ringIndex = index;
  c.num = c.items[index].value;
  touch(h, c);
}

// ---------------------------------------------------------------- tables

Control &Runtime::tableFor(int h, int ctrl) {
  Control &c = control(h, ctrl);
  if (c.kind != Kind::Table) throw UsageError(c.name + " is not a table");
  return c;
}

void Runtime::setCell(Control &c, int row, int col, double v) {
  // Cells outside the table are ignored rather than written past it.
  if (row < 1 || col < 1 || row > c.rows || col > c.cols) return;
  c.cells[static_cast<size_t>(row - 1) * c.cols + (col - 1)] = v;
}

void Runtime::SetTableCellVal(int h, int ctrl, int row, int col, double value) {
  Control &c = tableFor(h, ctrl);
  setCell(c, row, col, value);
  touch(h, c);
}

double Runtime::GetTableCellVal(int h, int ctrl, int row, int col) const {
  const Control &c = const_cast<Runtime *>(this)->tableFor(h, ctrl);
  if (row < 1 || col < 1 || row > c.rows || col > c.cols) return 0;
  return c.cells[static_cast<size_t>(row - 1) * c.cols + (col - 1)];
}

// ---------------------------------------------------------------- graphs

Plot &Runtime::newPlot(int h, int ctrl) {
  Control &c = control(h, ctrl);
  if (c.kind != Kind::Graph) throw UsageError(c.name + " is not a graph");
  if (!c.plotPool.empty()) {
    c.plots.push_back(std::move(c.plotPool.back()));
    c.plotPool.pop_back();
  } else {
    c.plots.emplace_back();
  }
  Plot &p = c.plots.back();
  p.x.clear();
  p.y.clear();
  p.legend.clear();
  return p;
}

int Runtime::finishPlot(int h, int ctrl, Plot &p) {
  p.handle = nextPlotHandle_++;
  if (nextPlotHandle_ <= 0) nextPlotHandle_ = 1;
  touch(h, control(h, ctrl));
  return p.handle;
}

void Runtime::SetPlotLegend(int h, int ctrl, int plotHandle, std::string_view text) {
  Control &c = control(h, ctrl);
  if (c.kind != Kind::Graph) throw UsageError(c.name + " is not a graph");
  for (Plot &p : c.plots)
    if (p.handle == plotHandle && p.legend != text) {
      p.legend.assign(text);  // a pooled string keeps its buffer: no allocation per tick
      touch(h, c);
    }
}

void Runtime::DeleteGraphPlot(int h, int ctrl, int plotHandle) {
  Control &c = control(h, ctrl);
  if (c.kind != Kind::Graph) throw UsageError(c.name + " is not a graph");
  if (plotHandle < 0) {
    for (auto &p : c.plots) c.plotPool.push_back(std::move(p));
    c.plots.clear();
  } else {
    auto it = std::find_if(c.plots.begin(), c.plots.end(),
                           [&](const Plot &p) { return p.handle == plotHandle; });
    if (it == c.plots.end()) return;
    c.plotPool.push_back(std::move(*it));
    c.plots.erase(it);
  }
  touch(h, c);
}

void Runtime::SetAxisScalingMode(int h, int ctrl, int mode, double min, double max) {
  Control &c = control(h, ctrl);
  if (c.kind != Kind::Graph) throw UsageError(c.name + " is not a graph");
  c.yScaling = mode;
  c.yMin = min;
  c.yMax = max;
  touch(h, c);
}

// ---------------------------------------------------------------- tabs, focus

void Runtime::SetActiveTabPage(int h, int tabCtrl, int index) {
  Control &c = control(h, tabCtrl);
  if (c.kind != Kind::Tab || index < 0 || index >= static_cast<int>(c.pages.size())) return;
  c.activePage = index;
  touch(h, c);
}

int Runtime::GetActiveTabPage(int h, int tabCtrl) const {
  const Control &c = control(h, tabCtrl);
  return c.kind == Kind::Tab ? c.activePage : 0;
}

int Runtime::GetActiveCtrl(int h) const { return panel(h).activeCtrl; }

void Runtime::SetActiveCtrl(int h, int ctrl) {
  Panel &p = panel(h);
  if (!p.find(ctrl) || p.activeCtrl == ctrl) return;
  p.activeCtrl = ctrl;
  notifyPanel(h);
}

// ---------------------------------------------------------------- pop-ups

void Runtime::MessagePopup(const std::string &title, const std::string &message) {
  if (operator_) operator_->messagePopup(title, message);
}

int Runtime::ConfirmPopup(const std::string &title, const std::string &message) {
  return operator_ && operator_->confirmPopup(title, message) ? 1 : 0;
}

FileSelect Runtime::FileSelectPopup(const FileRequest &request, std::string &path) {
  if (!operator_) return FileSelect::Cancelled;
  return operator_->fileSelectPopup(request, path);
}

// ---------------------------------------------------------------- observers

void Runtime::addObserver(Observer *o) {
  if (std::find(observers_.begin(), observers_.end(), o) == observers_.end())
    observers_.push_back(o);
}
void Runtime::removeObserver(Observer *o) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), o), observers_.end());
}

// ---------------------------------------------------------------- event loop

void Runtime::ProcessDrawEvents() {
  for (auto *o : observers_) o->processDrawEvents();
}

void Runtime::QuitUserInterface(int code) {
  quit_ = true;
  quitCode_ = code;
  for (auto *o : observers_) o->quitRequested();
}

int Runtime::fire(int h, Control &c, int event, int d1, int d2) {
  Callback cb = c.callback;  // a copy: the callback may reload or change controls
  int id = c.id;
  ++dispatchDepth_;
  struct Leave {
    int &d;
    ~Leave() { --d; }
  } leave{dispatchDepth_};
  return cb(h, id, event, d1, d2);
}

bool Runtime::Commit(int h, int ctrl) {
  if (busy()) return false;
  Control &c = control(h, ctrl);
  if (!c.callback) return false;
  fire(h, c, EVENT_COMMIT, 0, 0);
  return true;
}

bool Runtime::KeyPress(int h, int virtualKey) {
  if (busy()) return false;
  Panel &p = panel(h);
  if (!p.keyCallback) return false;
  Callback cb = p.keyCallback;
  ++dispatchDepth_;
  struct Leave {
    int &d;
    ~Leave() { --d; }
  } leave{dispatchDepth_};
  cb(h, 0, EVENT_KEYPRESS, virtualKey, 0);
  return true;
}

double Runtime::NextDue() const {
  double due = std::numeric_limits<double>::infinity();
  for (auto [h, id] : timers_) {
    const Control &c = *panels_[h - 1]->find(id);
    if (c.enabled && c.callback) due = std::min(due, c.nextDue);
  }
  return due;
}

void Runtime::DispatchDue() {
  if (busy()) return;
  double now = clock_.now();
  // Collect first: callbacks may enable or disable timers. The list keeps its buffer from tick
  // to tick (the loop is never re-entered, so it is not in use while a callback runs).
  std::vector<std::pair<int, int>> &due = dueScratch_;
  due.clear();
  for (auto [h, id] : timers_) {
    const Control &c = *panels_[h - 1]->find(id);
    if (c.enabled && c.callback && c.nextDue <= now) due.emplace_back(h, id);
  }
  for (auto [h, id] : due) {
    if (quit_) return;
    Control &c = control(h, id);
    if (!c.enabled || c.nextDue > clock_.now()) continue;
    // The next tick is one interval after this one; ticks missed while a callback ran late
    // are dropped, not caught up.
    // Below a millisecond (or not a number) a timer ticks every millisecond, so that its ticks
    // always move on in time.
    double interval = c.interval >= 1e-3 ? c.interval : 1e-3;
    double tick = c.nextDue;
    c.nextDue = tick + interval;
    fire(h, c, EVENT_TIMER_TICK, 0, 0);
    Control &after = control(h, id);
    double t = clock_.now();
    if (after.enabled && after.nextDue <= t) {
      double missed = std::floor((t - after.nextDue) / interval) + 1;
      after.nextDue += missed * interval;
    }
  }
}

bool Runtime::RunUntil(double until, const std::function<bool()> &done) {
  if (done && done()) return true;
  while (!quit_) {
    // Called from inside a callback, the loop can dispatch nothing: it only lets time pass.
    double due = busy() ? std::numeric_limits<double>::infinity() : NextDue();
    double now = clock_.now();
    if (due > until) {
      if (now < until) clock_.waitUntil(until);
      return done ? done() : false;
    }
    if (due > now) clock_.waitUntil(due);
    DispatchDue();
    if (done && done()) return true;
  }
  return done ? done() : false;
}

void Runtime::RunUntil(double until) { RunUntil(until, nullptr); }

}  // namespace rt
