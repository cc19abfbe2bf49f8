// The panel run-time: loading panel files, values and attributes, the event loop in virtual time.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <filesystem>

#include "rt/input_file.h"
#include "rt/runtime.h"
#include "support/test_env.h"

namespace {

const char *kPanel = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>Demo</class>
 <widget class="QWidget" name="Demo">
  <property name="windowTitle"><string>Demo panel</string></property>
  <property name="callback" stdset="0"><string>OnKey</string></property>
  <layout class="QVBoxLayout">
   <item>
    <widget class="QGroupBox" name="box">
     <layout class="QHBoxLayout">
      <item>
       <widget class="QSpinBox" name="Word">
        <property name="ctrlId" stdset="0"><number>5</number></property>
        <property name="dataType" stdset="0"><string>u16</string></property>
        <property name="maximum"><number>65535</number></property>
        <property name="value"><number>20</number></property>
        <property name="callback" stdset="0"><string>OnCommit</string></property>
       </widget>
      </item>
      <item>
       <widget class="QDoubleSpinBox" name="Interval">
        <property name="ctrlId" stdset="0"><number>6</number></property>
        <property name="maximum"><double>100.0</double></property>
        <property name="value"><double>0.02</double></property>
       </widget>
      </item>
     </layout>
    </widget>
   </item>
   <item>
    <widget class="QComboBox" name="Mode">
     <property name="ctrlId" stdset="0"><number>7</number></property>
     <property name="itemValues" stdset="0"><string>10;20;30</string></property>
     <property name="currentIndex"><number>1</number></property>
     <item><property name="text"><string>A</string></property></item>
     <item><property name="text"><string>B</string></property></item>
     <item><property name="text"><string>C</string></property></item>
    </widget>
   </item>
   <item><widget class="QPlainTextEdit" name="Log"><property name="ctrlId" stdset="0"><number>8</number></property></widget></item>
   <item><widget class="QLineEdit" name="Code"><property name="ctrlId" stdset="0"><number>9</number></property><property name="maxLength"><number>31</number></property></widget></item>
   <item><widget class="TsTable" name="Table"><property name="ctrlId" stdset="0"><number>10</number></property><property name="rows" stdset="0"><number>9</number></property><property name="columns" stdset="0"><number>3</number></property></widget></item>
   <item><widget class="TsGraph" name="Graph"><property name="ctrlId" stdset="0"><number>11</number></property></widget></item>
   <item><widget class="TsTimer" name="Tick"><property name="ctrlId" stdset="0"><number>12</number></property><property name="interval" stdset="0"><double>0.5</double></property><property name="callback" stdset="0"><string>OnTick</string></property></widget></item>
   <item><widget class="TsTimer" name="Slow"><property name="ctrlId" stdset="0"><number>13</number></property><property name="interval" stdset="0"><double>2.0</double></property><property name="callback" stdset="0"><string>OnSlow</string></property></widget></item>
   <item>
    <widget class="QTabWidget" name="Tabs">
     <property name="ctrlId" stdset="0"><number>3</number></property>
     <widget class="QWidget" name="PageA"><attribute name="title"><string>A</string></attribute>
      <layout class="QVBoxLayout"><item><widget class="QCheckBox" name="Flag"><property name="ctrlId" stdset="0"><number>5</number></property><property name="checked"><bool>true</bool></property></widget></item></layout>
     </widget>
     <widget class="QWidget" name="PageB"><attribute name="title"><string>B</string></attribute></widget>
    </widget>
   </item>
  </layout>
 </widget>
</ui>
)";

struct Fixture : ::testing::Test {
  rt::VirtualClock clock;
  rt::Runtime rt{clock};
  testenv::TempDir dir;
  std::vector<std::string> calls;
  int handle = 0;

  void SetUp() override {
    for (const char *name : {"OnKey", "OnCommit", "OnTick", "OnSlow"})
      rt.RegisterCallback(name, [this, name](int, int c, int e, int d1, int) {
        calls.push_back(rt::format("%s %d %d %d", name, c, e, d1));
        return 0;
      });
    testenv::writeFile(dir.file("demo.ui"), kPanel);
    handle = rt.LoadPanel(dir.file("demo.ui"));
  }
};

TEST_F(Fixture, LoadsControlsPagesAndDefaults) {
  EXPECT_EQ(handle, 1);
  EXPECT_EQ(rt.panel(1).alias, "Demo");
  EXPECT_EQ(rt.panel(1).title, "Demo panel");
  EXPECT_EQ(rt.GetCtrlValI(1, 5), 20);
  EXPECT_DOUBLE_EQ(rt.GetCtrlValD(1, 6), 0.02);
  EXPECT_EQ(rt.GetCtrlValI(1, 7), 20);  // item 1 carries value 20
  EXPECT_EQ(rt.control(1, 5).kind, rt::Kind::Numeric);
  EXPECT_EQ(rt.control(1, 7).kind, rt::Kind::Ring);
  EXPECT_EQ(rt.control(1, 10).kind, rt::Kind::Table);
  // Tab pages are panels with the next handles and their own id space.
  int a = rt.GetPanelHandleFromTabPage(1, 3, 0), b = rt.GetPanelHandleFromTabPage(1, 3, 1);
  EXPECT_EQ(a, 2);
  EXPECT_EQ(b, 3);
  EXPECT_EQ(rt.panel(a).alias, "PageA");
  EXPECT_EQ(rt.GetCtrlValI(a, 5), 1);
  EXPECT_EQ(rt.PanelHandle("PageB"), 3);
}

TEST_F(Fixture, ValuesAreKeptLegalAndNeverFireCallbacks) {
  rt.SetCtrlVal(1, 5, 70000);
  EXPECT_EQ(rt.GetCtrlValI(1, 5), 65535);
  rt.SetCtrlVal(1, 5, -3);
  EXPECT_EQ(rt.GetCtrlValI(1, 5), 0);
  rt.SetCtrlVal(1, 5, 12.9);
  EXPECT_EQ(rt.GetCtrlValI(1, 5), 12);
  rt.SetCtrlVal(1, 7, 30);
  EXPECT_EQ(rt.GetCtrlIndex(1, 7), 2);
  rt.SetCtrlVal(1, 7, 99);  // no such item: the selection stays
  EXPECT_EQ(rt.GetCtrlValI(1, 7), 30);
  rt.SetCtrlVal(1, 6, 1e300);  // an input is kept in range
  EXPECT_EQ(rt.GetCtrlValD(1, 6), 100.0);
  rt.control(1, 6).indicator = true;  // an indicator shows infinity as it is
  rt.SetCtrlVal(1, 6, HUGE_VAL);
  EXPECT_TRUE(std::isinf(rt.GetCtrlValD(1, 6)));
  rt.SetCtrlVal(1, 9, std::string(40, 'x'));
  EXPECT_EQ(rt.GetCtrlValS(1, 9).size(), 31u);
  EXPECT_TRUE(calls.empty());
  EXPECT_THROW(rt.SetCtrlVal(1, 99, 1), rt::UsageError);
}

TEST_F(Fixture, TextBoxesRingsTablesAndGraphs) {
  rt.InsertTextBoxLine(1, 8, -1, "one");
  rt.InsertTextBoxLine(1, 8, -1, "two");
  rt.InsertTextBoxLine(1, 8, 0, "zero");
  EXPECT_EQ(rt.GetNumTextBoxLines(1, 8), 3);
  EXPECT_EQ(rt.GetTextBoxLine(1, 8, 0), "zero");
  rt.ResetTextBox(1, 8, " ");
  EXPECT_EQ(rt.GetNumTextBoxLines(1, 8), 1);

  rt.ClearListCtrl(1, 7);
  rt.InsertListItem(1, 7, 0, "1.000e-03", 0);
  rt.InsertListItem(1, 7, 1, "1.000e-11", 1);
  rt.SetCtrlVal(1, 7, 1);
  EXPECT_EQ(rt.GetCtrlValS(1, 7), "1.000e-11");

  const float col[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  rt.SetTableCellRangeVals(1, 10, 2, 3, 8, 1, col);
  EXPECT_EQ(rt.GetTableCellVal(1, 10, 2, 3), 1);
  EXPECT_EQ(rt.GetTableCellVal(1, 10, 9, 3), 8);
  rt.SetTableCellRangeVals(1, 10, 5, 3, 9, 1, col);  // runs past the last row: clipped
  EXPECT_EQ(rt.GetTableCellVal(1, 10, 9, 3), 5);

  const uint16_t y[3] = {1, 2, 3};
  int h1 = rt.PlotY(1, 11, y, 3, 0xFF0000);
  int h2 = rt.PlotY(1, 11, y, 2, 0x00FF00);
  EXPECT_NE(h1, h2);
  EXPECT_EQ(rt.control(1, 11).plots.size(), 2u);
  rt.DeleteGraphPlot(1, 11, h1);
  ASSERT_EQ(rt.control(1, 11).plots.size(), 1u);
  EXPECT_EQ(rt.control(1, 11).plots[0].y.size(), 2u);
  rt.DeleteGraphPlot(1, 11, -1);
  EXPECT_TRUE(rt.control(1, 11).plots.empty());
}

TEST_F(Fixture, CommitAndKeyFireTheirCallbacks) {
  EXPECT_TRUE(rt.Commit(1, 5));
  EXPECT_FALSE(rt.Commit(1, 6));  // no callback
  EXPECT_TRUE(rt.KeyPress(1, 0x1800));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], "OnCommit 5 1 0");
  EXPECT_EQ(calls[1], "OnKey 0 7 6144");
}

TEST_F(Fixture, TimersTickAtTheirIntervalOnlyWhileEnabled) {
  rt.RunUntil(5.0);
  EXPECT_TRUE(calls.empty());
  rt.SetCtrlAttribute(1, 12, rt::ATTR_ENABLED, 1);
  rt.RunUntil(7.0);  // enabled at 5.0: ticks at 5.5, 6.0, 6.5, 7.0
  EXPECT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], "OnTick 12 15 0");
  rt.SetCtrlAttribute(1, 12, rt::ATTR_INTERVAL, 1.0);
  calls.clear();
  rt.RunUntil(10.0);  // 8, 9, 10
  EXPECT_EQ(calls.size(), 3u);
  rt.SetCtrlAttribute(1, 12, rt::ATTR_ENABLED, 0);
  calls.clear();
  rt.RunUntil(20.0);
  EXPECT_TRUE(calls.empty());
  EXPECT_DOUBLE_EQ(clock.now(), 20.0);
}

TEST_F(Fixture, LateTicksAreNotCaughtUp) {
  // A tick that takes 1.6 s on a 0.5 s timer: the ticks that fell into it are dropped.
  int ticks = 0;
  rt::Control &t = rt.control(1, 12);
  t.callback = [&](int, int, int, int, int) {
    ++ticks;
    clock.advance(1.6);
    return 0;
  };
  rt.SetCtrlAttribute(1, 12, rt::ATTR_ENABLED, 1);
  rt.RunUntil(10.0);
  // Ticks start at 0.5, 2.5, 4.5, 6.5, 8.5: each ends 1.6 s later, the next due slot after it.
  EXPECT_EQ(ticks, 5);
}

TEST_F(Fixture, TimersAlwaysMoveOnInTime) {
  // An interval below a millisecond ticks every millisecond: a virtual second ends.
  int ticks = 0;
  rt.control(1, 12).callback = [&](int, int, int, int, int) { return ++ticks, 0; };
  rt.SetCtrlAttribute(1, 12, rt::ATTR_INTERVAL, 1e-9);
  rt.SetCtrlAttribute(1, 12, rt::ATTR_ENABLED, 1);
  rt.RunUntil(1.0);
  EXPECT_GE(ticks, 999);
  EXPECT_LE(ticks, 1001);
  // Run from inside a callback, the loop dispatches nothing and only lets the time pass.
  rt.SetCtrlAttribute(1, 12, rt::ATTR_INTERVAL, 0.5);
  int slow = 0;
  rt.control(1, 13).callback = [&](int, int, int, int, int) { return ++slow, 0; };
  rt.SetCtrlAttribute(1, 13, rt::ATTR_ENABLED, 1);
  ticks = 0;
  rt.control(1, 12).callback = [&](int, int, int, int, int) {
    if (++ticks == 1) rt.RunUntil(clock.now() + 5.0);
    return 0;
  };
  rt.RunUntil(6.9);
  EXPECT_EQ(slow, 1);  // due at 3.0 while the first tick (1.5 to 6.5) ran: once, after it
  EXPECT_DOUBLE_EQ(clock.now(), 6.9);
}

TEST_F(Fixture, NoCallbackRunsWhileAnotherIsRunning) {
  // A modal pop-up inside a tick: the loop is not re-entered, other timers wait.
  struct Modal : rt::Operator {
    rt::Runtime *rt;
    int reentered = 0;
    void messagePopup(const std::string &, const std::string &) override {
      reentered += rt->Commit(1, 5) ? 1 : 0;
      rt->DispatchDue();
    }
    bool confirmPopup(const std::string &, const std::string &) override { return false; }
    rt::FileSelect fileSelectPopup(const rt::FileRequest &, std::string &) override {
      return rt::FileSelect::Cancelled;
    }
  } modal;
  modal.rt = &rt;
  rt.setOperator(&modal);
  int slow = 0;
  rt.control(1, 12).callback = [&](int, int, int, int, int) {
    clock.advance(3.0);  // the 2 s timer falls due meanwhile
    rt.MessagePopup("t", "m");
    return 0;
  };
  rt.control(1, 13).callback = [&](int, int, int, int, int) {
    EXPECT_FALSE(rt.busy() && slow > 0);
    ++slow;
    return 0;
  };
  rt.SetCtrlAttribute(1, 12, rt::ATTR_ENABLED, 1);
  rt.SetCtrlAttribute(1, 13, rt::ATTR_ENABLED, 1);
  rt.RunUntil(2.5);
  EXPECT_EQ(modal.reentered, 0);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(slow, 1);  // ran after the first tick returned, not inside it
}

TEST(RuntimeLoad, MissingAndMalformedFilesNameTheFileAndProblem) {
  rt::VirtualClock clock;
  rt::Runtime rt(clock);
  testenv::TempDir dir;
  try {
    rt.LoadPanel(dir.file("none.ui"));
    FAIL();
  } catch (const rt::LoadError &e) {
    EXPECT_NE(std::string(e.what()).find("none.ui"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("not found"), std::string::npos);
  }
  testenv::writeFile(dir.file("bad.ui"), "<ui><widget class=\"QWidget\" name=\"X\">");
  try {
    rt.LoadPanel(dir.file("bad.ui"));
    FAIL();
  } catch (const rt::LoadError &e) {
    EXPECT_NE(std::string(e.what()).find("bad.ui"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("malformed"), std::string::npos);
  }
  // An unknown callback name is refused, naming the control; nothing of the file is kept.
  testenv::writeFile(dir.file("cb.ui"), kPanel);
  try {
    rt.LoadPanel(dir.file("cb.ui"));
    FAIL();
  } catch (const rt::LoadError &e) {
    EXPECT_NE(std::string(e.what()).find("cb.ui"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("unknown callback 'OnKey'"), std::string::npos);
  }
  EXPECT_TRUE(rt.panelHandles().empty());
  // Two controls with one id.
  std::string twice = kPanel;
  twice.replace(twice.find("<number>6</number>"), 18, "<number>5</number>");
  for (const char *n : {"OnKey", "OnCommit", "OnTick", "OnSlow"})
    rt.RegisterCallback(n, [](int, int, int, int, int) { return 0; });
  testenv::writeFile(dir.file("twice.ui"), twice);
  EXPECT_THROW(rt.LoadPanel(dir.file("twice.ui")), rt::LoadError);
}

TEST(RuntimeLoad, PanelFileThatIsNoRegularFileIsRefusedUnread) {
  rt::VirtualClock clock;
  rt::Runtime rt(clock);
  testenv::TempDir dir;
  testenv::FifoGuard fifo(dir.file("pipe.ui"));
  std::filesystem::create_directory(dir.file("folder.ui"));
  // Beyond the limit: refused before the XML parser sees it.
  testenv::writeFile(dir.file("huge.ui"), std::string(rt::kPanelFileLimit + 1, ' '));
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {fifo.path(), "it is a named pipe (FIFO)"},
      {dir.file("folder.ui"), "it is a folder"},
      {"/dev/zero", "it is a character device"},
      {dir.file("huge.ui"), "it is larger than 16777216 bytes"},
  };
  for (const auto &c : cases) {
    try {
      rt.LoadPanel(c.path);
      ADD_FAILURE() << c.path << " loaded";
    } catch (const rt::LoadError &e) {
      EXPECT_EQ(std::string(e.what()), "panel file '" + c.path + "': " + c.reason);
    }
  }
  EXPECT_TRUE(rt.panelHandles().empty());
  EXPECT_FALSE(fifo.fired()) << "the loader waited on the pipe";
}

// Damaged panel files are refused with a message or loaded within bounds; none of them may
// crash the loader, exhaust the memory or overflow the stack.
TEST(RuntimeLoad, DamagedPanelTextIsRefusedOrBounded) {
  rt::VirtualClock clock;
  auto panel = [](const std::string &widgets) {
    return "<ui><widget class=\"QWidget\" name=\"P\">" + widgets + "</widget></ui>";
  };
  auto control = [](const char *cls, int id, const std::string &props) {
    return rt::format(
               "<widget class=\"%s\" name=\"C%d\"><property "
               "name=\"ctrlId\"><number>%d</number></property>",
               cls, id, id) +
           props + "</widget>";
  };
  auto prop = [](const char *name, const char *tag, const char *value) {
    return rt::format("<property name=\"%s\"><%s>%s</%s></property>", name, tag, value, tag);
  };
  auto refused = [&](const std::string &text, const char *problem) {
    rt::Runtime rt(clock);
    try {
      rt.LoadPanelFromString(text, "damaged.ui");
      ADD_FAILURE() << "loaded: " << problem;
    } catch (const rt::LoadError &e) {
      EXPECT_NE(std::string(e.what()).find("damaged.ui"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(problem), std::string::npos) << e.what();
    }
    EXPECT_TRUE(rt.panelHandles().empty());
  };
  refused(panel(control(
              "TsTable", 1,
              prop("rows", "number", "1000000000") + prop("columns", "number", "1000000000"))),
          "more rows or columns");
  refused(panel(control("TsTable", 1,
                        prop("rows", "number", "5000") + prop("columns", "number", "5000"))),
          "more rows or columns");
  refused(panel(control("QSpinBox", 1,
                        prop("minimum", "number", "10") + prop("maximum", "number", "5"))),
          "minimum above maximum");
  refused(panel(control("QSpinBox", 1,
                        prop("dataType", "string", "u16") + prop("minimum", "number", "70000"))),
          "minimum above maximum");
  refused(panel(control("QDoubleSpinBox", 1, prop("maximum", "string", "nan"))),
          "minimum above maximum");
  refused(panel(control("QSpinBox", 1, "") + control("QSpinBox", 1, "")), "used twice");
  refused(panel(control("QSpinBox", 0, "")), "bad ctrlId");
  refused(panel(control("QSpinBox", -5, "")), "bad ctrlId");
  refused(panel(control("QSpinBox", 2000000000, "")), "bad ctrlId");
  refused(panel(control("QWidget", 1, "")), "not a control kind");
  refused(panel("<widget class=\"QSpinBox\"><property "
                "name=\"ctrlId\"><number>1</number></property></widget>"),
          "has no name");
  refused("<ui><widget class=\"QWidget\"/></ui>", "no name");
  refused("<ui/>", "no <ui><widget> root");
  refused("", "malformed");
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<widget class=\"QFrame\">";
  for (int i = 0; i < 100000; ++i) deep += "</widget>";
  refused(panel(deep), "nested");

  // Out-of-range numbers that a panel may hold are brought within bounds.
  rt::Runtime rt(clock);
  rt.LoadPanelFromString(
      panel(control("QComboBox", 1,
                    prop("currentIndex", "number", "1e300") +
                        "<item><property name=\"text\"><string>a</string></property></item>"
                        "<item><property name=\"text\"><string>b</string></property></item>") +
            control("QLineEdit", 2, prop("maxLength", "number", "1e12")) +
            control("QDoubleSpinBox", 3,
                    prop("dataType", "string", "float") + prop("minimum", "double", "-1e300") +
                        prop("maximum", "double", "1e300") + prop("value", "double", "1e300")) +
            control("TsTable", 4, prop("rows", "number", "-3"))),
      "bounded.ui");
  EXPECT_EQ(rt.GetCtrlIndex(1, 1), 1);
  rt.SetCtrlVal(1, 2, std::string(5000, 'x'));
  EXPECT_EQ(rt.GetCtrlValS(1, 2).size(), 5000u);
  EXPECT_EQ(rt.GetCtrlValD(1, 3), double(FLT_MAX));
  rt.SetCtrlVal(1, 3, -1e300);
  EXPECT_EQ(rt.GetCtrlValD(1, 3), -double(FLT_MAX));
  EXPECT_EQ(rt.control(1, 4).rows, 0);
  rt.SetTableCellVal(1, 4, 1, 1, 5);  // outside the empty table: dropped
  EXPECT_EQ(rt.GetTableCellVal(1, 4, 1, 1), 0);
}

TEST(Format, PrintfFormatsExactly) {
  EXPECT_EQ(rt::format(" WORDWIDE :            0x%X", 0xF0u), " WORDWIDE :            0xF0");
  EXPECT_EQ(rt::format("%e", 1234.5), "1.234500e+03");
  std::string s;
  s.reserve(8);
  rt::appendFormat(s, "%d ", 7);
  rt::appendFormat(s, "%s", std::string(300, 'a').c_str());
  EXPECT_EQ(s.size(), 302u);
  EXPECT_EQ(s.substr(0, 3), "7 a");
  EXPECT_EQ(rt::ctimeText(0).back(), '\n');
  EXPECT_EQ(rt::ctimeText(0).size(), 25u);
}

}  // namespace
