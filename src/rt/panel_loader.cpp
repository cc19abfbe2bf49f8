// Loading the panel files: the widgets of a Qt Designer .ui file become the controls of a
// panel, with their ids, kinds, ranges, initial values and callbacks.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <pugixml.hpp>

#include "rt/input_file.h"
#include "rt/runtime.h"

namespace rt {

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

}  // namespace rt
