#include "rt/runtime.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <pugixml.hpp>

#include "rt/input_file.h"

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

// ---------------------------------------------------------------- loading .ui files
namespace {

struct Props {
  pugi::xml_node widget;
  // Property node of the widget itself (not of its children).
  pugi::xml_node get(const char *name) const {
    for (auto p : widget.children("property"))
      if (std::string_view(p.attribute("name").value()) == name) return p;
    return {};
  }
  bool has(const char *name) const { return bool(get(name)); }
  std::string str(const char *name, std::string def = "") const {
    auto p = get(name);
    if (!p) return def;
    auto v = p.first_child();
    if (std::string_view(v.name()) == "string" || std::string_view(v.name()) == "cstring" ||
        std::string_view(v.name()) == "enum" || std::string_view(v.name()) == "set")
      return v.text().as_string();
    return v.text().as_string(def.c_str());
  }
  double num(const char *name, double def) const {
    auto p = get(name);
    if (!p) return def;
    auto v = p.first_child();
    std::string_view t = v.name();
    if (t == "bool") return std::string_view(v.text().as_string()) == "true" ? 1 : 0;
    if (t == "string") {
      const char *s = v.text().as_string();
      char *end = nullptr;
      double d = std::strtod(s, &end);
      return end != s ? d : def;
    }
    return v.text().as_double(def);
  }
  bool flag(const char *name, bool def) const { return num(name, def ? 1 : 0) != 0; }
};

bool classKind(const std::string &cls, const Props &p, Kind &kind) {
  if (cls == "QSpinBox" || cls == "QDoubleSpinBox")
    kind = Kind::Numeric;
  else if (cls == "QComboBox")
    kind = Kind::Ring;
  else if (cls == "QCheckBox" || cls == "QRadioButton")
    kind = Kind::Switch;
  else if (cls == "QPushButton" || cls == "QToolButton")
    kind = p.flag("checkable", false) ? Kind::Switch : Kind::Button;
  else if (cls == "QLineEdit")
    kind = Kind::String;
  else if (cls == "QPlainTextEdit" || cls == "QTextEdit" || cls == "QTextBrowser")
    kind = Kind::TextBox;
  else if (cls == "QLabel")
    kind = Kind::StringDisplay;
  else if (cls == "TsLed")
    kind = Kind::Led;
  else if (cls == "TsTable")
    kind = Kind::Table;
  else if (cls == "TsGraph")
    kind = Kind::Graph;
  else if (cls == "TsTimer")
    kind = Kind::Timer;
  else if (cls == "QTabWidget")
    kind = Kind::Tab;
  else
    return false;
  return true;
}

std::vector<std::string> splitList(const std::string &s, char sep) {
  std::vector<std::string> out;
  if (s.empty()) return out;
  size_t start = 0;
  for (;;) {
    size_t k = s.find(sep, start);
    out.push_back(s.substr(start, k == std::string::npos ? std::string::npos : k - start));
    if (k == std::string::npos) break;
    start = k + 1;
  }
  return out;
}

// A number from a file as an int within [lo, hi]: NaN gives lo, out-of-range values the nearer
// bound (a plain cast of such a double is undefined).
int boundedInt(double v, int lo, int hi) {
  if (!(v >= lo)) return lo;
  if (v >= hi) return hi;
  return static_cast<int>(v);
}

// Largest table a panel file may declare: enough for any bench display, small enough that a
// damaged file cannot exhaust the memory.
constexpr int kMaxTableSide = 10000;
constexpr long kMaxTableCells = 1000000;
// Widgets nest deeper than this only in a damaged file; the walk is recursive.
constexpr int kMaxNesting = 200;

void applyRange(Control &c) {
  switch (c.type) {
    case DataType::UInt16:
      c.min = std::max(c.min, 0.0), c.max = std::min(c.max, 65535.0);
      break;
    case DataType::UInt8:
      c.min = std::max(c.min, 0.0), c.max = std::min(c.max, 255.0);
      break;
    default:
      break;
  }
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

}  // namespace

struct Loader {
  Runtime &rt;
  const std::string &file;
  const std::map<std::string, Callback> &callbacks;
  std::vector<std::unique_ptr<Panel>> &panels;

  [[noreturn]] void fail(const std::string &what) const {
    throw LoadError("panel file '" + file + "': " + what);
  }

  Panel &newPanel(const std::string &alias, int parent) {
    auto p = std::make_unique<Panel>();
    p->handle = static_cast<int>(panels.size()) + 1;
    p->alias = alias;
    p->file = file;
    p->parent = parent;
    panels.push_back(std::move(p));
    return *panels.back();
  }

  Callback bind(const std::string &name, const std::string &where) const {
    auto it = callbacks.find(name);
    if (it == callbacks.end()) fail(where + ": unknown callback '" + name + "'");
    return it->second;
  }

  // Walks the widget tree below `node`, adding controls to `panel` (its handle may change in
  // the vector, so it is passed by handle).
  void walk(pugi::xml_node node, int panelHandle, int depth) {
    if (depth > kMaxNesting)
      fail("widgets nested more than " + std::to_string(kMaxNesting) + " deep");
    for (auto w : node.children()) {
      std::string_view tag = w.name();
      if (tag == "widget") {
        widget(w, panelHandle, depth + 1);
      } else if (tag == "layout" || tag == "item") {
        walk(w, panelHandle, depth + 1);
      }
    }
  }

  void widget(pugi::xml_node w, int panelHandle, int depth) {
    Props p{w};
    std::string cls = w.attribute("class").value();
    std::string name = w.attribute("name").value();
    if (!p.has("ctrlId")) {
      walk(w, panelHandle, depth);  // decoration: group boxes, frames, plain labels
      return;
    }
    Kind kind;
    if (!classKind(cls, p, kind))
      fail("control '" + name + "': widget class " + cls + " is not a control kind");
    double idv = p.num("ctrlId", -1);
    if (idv < 1 || idv > 10000 || idv != std::trunc(idv))
      fail("control '" + name + "': bad ctrlId");
    int id = static_cast<int>(idv);
    Panel *panel = panels[panelHandle - 1].get();
    if (panel->find(id))
      fail("control '" + name + "': id " + std::to_string(id) + " is used twice in panel " +
           panel->alias);
    if (name.empty()) fail("control with id " + std::to_string(id) + " has no name");
    if (panel->findByName(name)) fail("control name '" + name + "' is used twice");

    Control c;
    c.id = id;
    c.kind = kind;
    c.name = name;
    c.widgetClass = cls;
    c.callbackName = p.str("callback");
    if (!c.callbackName.empty())
      c.callback = bind(c.callbackName, "control '" + panel->alias + "." + name + "'");
    c.dimmed = !p.flag("enabled", true);
    c.visible = !p.flag("hidden", false);
    c.indicator = p.flag("readOnly", false);

    switch (kind) {
      case Kind::Numeric: {
        std::string dt = p.str("dataType");
        if (cls == "QDoubleSpinBox")
          c.type = dt == "float" ? DataType::Float : DataType::Double;
        else
          c.type = dt == "u16" ? DataType::UInt16 : dt == "u8" ? DataType::UInt8 : DataType::Int;
        if (cls == "QDoubleSpinBox") {
          c.min = p.num("minimum", 0.0);
          c.max = p.num("maximum", 99.99);
        } else {
          c.min = p.num("minimum", 0.0);
          c.max = p.num("maximum", 99.0);
        }
        applyRange(c);
        if (!(c.min <= c.max)) fail("control '" + name + "': minimum above maximum");
        c.num = coerce(c, p.num("value", 0.0));
        break;
      }
      case Kind::Ring: {
        std::vector<std::string> values = splitList(p.str("itemValues"), ';');
        int k = 0;
        for (auto item : w.children("item")) {
          Props ip{item};
          RingItem ri;
          ri.label = ip.str("text");
          ri.value =
              k < static_cast<int>(values.size()) ? std::strtod(values[k].c_str(), nullptr) : k;
          c.items.push_back(ri);
          ++k;
        }
        c.type = DataType::Int;
        c.ringIndex =
            c.items.empty() ? -1 : boundedInt(p.num("currentIndex", 0), 0, int(c.items.size()) - 1);
        c.num = c.ringIndex >= 0 ? c.items[c.ringIndex].value : 0;
        break;
      }
      case Kind::Switch:
        c.num = p.flag("checked", false) ? 1 : 0;
        break;
      case Kind::Led:
        c.num = p.flag("on", false) ? 1 : 0;
        break;
      case Kind::String:
        c.text = p.str("text");
        c.maxLength = boundedInt(p.num("maxLength", 0), 0, 32767);
        if (c.maxLength >= 32767) c.maxLength = 0;  // Qt's default: no limit
        break;
      case Kind::StringDisplay:
        c.text = p.str("text");
        break;
      case Kind::TextBox: {
        std::string t = p.str("plainText");
        c.lines = splitList(t, '\n');
        break;
      }
      case Kind::Table:
        c.rows = boundedInt(p.num("rows", 1), 0, kMaxTableSide + 1);
        c.cols = boundedInt(p.num("columns", 1), 0, kMaxTableSide + 1);
        if (c.rows > kMaxTableSide || c.cols > kMaxTableSide ||
            long(c.rows) * c.cols > kMaxTableCells)
          fail("table '" + name + "': more rows or columns than a table can hold");
        c.cells.assign(static_cast<size_t>(c.rows) * c.cols, 0.0);
        break;
      case Kind::Graph:
        break;
      case Kind::Timer:
        c.interval = p.num("interval", 1.0);
        c.enabled = p.flag("timerEnabled", false);
        break;
      case Kind::Tab:
        break;
      case Kind::Button:
        break;
    }

    auto &byId = panel->byId;
    if (static_cast<int>(byId.size()) <= id) byId.resize(id + 1, -1);
    byId[id] = static_cast<int>(panel->controls.size());
    panel->controls.push_back(std::move(c));

    if (kind == Kind::Tab) {
      // Each page is a panel of its own, with the next handles.
      std::vector<int> pages;
      for (auto page : w.children("widget")) {
        std::string alias = page.attribute("name").value();
        if (alias.empty()) fail("a page of tab control '" + name + "' has no name");
        Panel &pp = newPanel(alias, panelHandle);
        Props pageProps{page};
        pp.title = pageProps.str("title");
        for (auto a : page.children("attribute"))
          if (std::string_view(a.attribute("name").value()) == "title")
            pp.title = a.first_child().text().as_string();
        pages.push_back(pp.handle);
        walk(page, pp.handle, depth + 1);
      }
      Control &tab = *panels[panelHandle - 1]->find(id);
      tab.pages = pages;
      tab.activePage = boundedInt(p.num("currentIndex", 0), 0, std::max(0, int(pages.size()) - 1));
      for (int h : pages) panels[h - 1]->visible = false;
    }
  }
};

int Runtime::LoadPanel(const std::string &path) {
  pugi::xml_document doc;
  const InputFile file = readInputFile(path, kPanelFileLimit);
  if (file.missing) throw LoadError("panel file '" + path + "': file not found");
  if (!file.ok()) throw LoadError("panel file '" + path + "': " + file.problem);
  auto res = doc.load_buffer(file.text.data(), file.text.size());
  if (!res)
    throw LoadError("panel file '" + path + "': malformed XML at offset " +
                    std::to_string(res.offset) + " (" + res.description() + ")");
  return loadDocument(doc, path);
}

int Runtime::LoadPanelFromString(const std::string &text, const std::string &name) {
  pugi::xml_document doc;
  auto res = doc.load_buffer(text.data(), text.size());
  if (!res)
    throw LoadError("panel file '" + name + "': malformed XML at offset " +
                    std::to_string(res.offset) + " (" + res.description() + ")");
  return loadDocument(doc, name);
}

int Runtime::loadDocument(const pugi::xml_document &doc, const std::string &path) {
  auto ui = doc.child("ui");
  auto root = ui.child("widget");
  if (!ui || !root) throw LoadError("panel file '" + path + "': no <ui><widget> root");
  std::string alias = root.attribute("name").value();
  if (alias.empty()) throw LoadError("panel file '" + path + "': the root widget has no name");
  if (PanelHandle(alias) != 0)
    throw LoadError("panel file '" + path + "': panel '" + alias + "' is already loaded");

  // Build into a scratch list first: a file that fails leaves the run-time as it was.
  std::vector<std::unique_ptr<Panel>> scratch;
  scratch.reserve(panels_.size() + 8);
  scratch.resize(panels_.size());
  Loader loader{*this, path, callbacks_, scratch};
  Panel &main = loader.newPanel(alias, 0);
  Props rp{root};
  main.title = rp.str("windowTitle", alias);
  main.keyCallbackName = rp.str("callback");
  if (!main.keyCallbackName.empty())
    main.keyCallback = loader.bind(main.keyCallbackName, "panel '" + alias + "'");
  int h = main.handle;
  loader.walk(root, h, 0);
  for (size_t i = panels_.size(); i < scratch.size(); ++i) panels_.push_back(std::move(scratch[i]));
  // The panel and its tab pages: their timers join the loop's list.
  for (size_t i = static_cast<size_t>(h - 1); i < panels_.size(); ++i)
    for (auto &c : panels_[i]->controls)
      if (c.kind == Kind::Timer) {
        timerChanged(c);
        timers_.emplace_back(panels_[i]->handle, c.id);
      }
  return h;
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
  return p;
}

int Runtime::finishPlot(int h, int ctrl, Plot &p) {
  p.handle = nextPlotHandle_++;
  if (nextPlotHandle_ <= 0) nextPlotHandle_ = 1;
  touch(h, control(h, ctrl));
  return p.handle;
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
