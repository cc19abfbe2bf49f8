// The desktop binding on a probe panel of its own: values and attributes from the run-time to
// the widgets, the operator's actions back, the event pump's timing rules and the pop-ups.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "gui/dialogs.h"
#include "gui/panel_view.h"
#include "gui/pump.h"
#include "gui/widgets.h"
#include "monospace.h"
#include "support/test_env.h"

namespace {

const char *kProbeUi = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>Probe</class>
 <widget class="QWidget" name="Probe">
  <property name="geometry"><rect><x>0</x><y>0</y><width>640</width><height>480</height></rect></property>
  <property name="windowTitle"><string>Probe panel</string></property>
  <property name="callback" stdset="0"><string>OnKey</string></property>
  <layout class="QVBoxLayout" name="layout">
   <item><widget class="QLabel" name="countCaption">
     <property name="text"><string>Count</string></property>
     <property name="buddy"><cstring>Count</cstring></property></widget></item>
   <item><widget class="QSpinBox" name="Count">
     <property name="maximum"><number>100</number></property>
     <property name="ctrlId" stdset="0"><number>1</number></property>
     <property name="callback" stdset="0"><string>OnCommit</string></property></widget></item>
   <item><widget class="QDoubleSpinBox" name="Level">
     <property name="readOnly"><bool>true</bool></property>
     <property name="decimals"><number>3</number></property>
     <property name="maximum"><double>1000.0</double></property>
     <property name="ctrlId" stdset="0"><number>2</number></property></widget></item>
   <item><widget class="QDoubleSpinBox" name="Word">
     <property name="readOnly"><bool>true</bool></property>
     <property name="decimals"><number>0</number></property>
     <property name="maximum"><double>4294967295.0</double></property>
     <property name="prefix"><string>0x</string></property>
     <property name="displayIntegerBase" stdset="0"><number>16</number></property>
     <property name="ctrlId" stdset="0"><number>16</number></property></widget></item>
   <item><widget class="QComboBox" name="Choice">
     <item><property name="text"><string>zero</string></property></item>
     <item><property name="text"><string>ten</string></property></item>
     <property name="itemValues" stdset="0"><string>0;10</string></property>
     <property name="ctrlId" stdset="0"><number>3</number></property>
     <property name="callback" stdset="0"><string>OnCommit</string></property></widget></item>
   <item><widget class="QCheckBox" name="Flag">
     <property name="text"><string>Flag</string></property>
     <property name="ctrlId" stdset="0"><number>4</number></property>
     <property name="callback" stdset="0"><string>OnCommit</string></property></widget></item>
   <item><widget class="QLineEdit" name="Name">
     <property name="ctrlId" stdset="0"><number>5</number></property>
     <property name="callback" stdset="0"><string>OnCommit</string></property></widget></item>
   <item><widget class="QPlainTextEdit" name="Log">
     <property name="readOnly"><bool>true</bool></property>
     <property name="ctrlId" stdset="0"><number>6</number></property></widget></item>
   <item><widget class="QLabel" name="Caption">
     <property name="ctrlId" stdset="0"><number>7</number></property></widget></item>
   <item><widget class="TsLed" name="Lamp">
     <property name="ctrlId" stdset="0"><number>8</number></property></widget></item>
   <item><widget class="TsTable" name="Cells">
     <property name="rows" stdset="0"><number>2</number></property>
     <property name="columns" stdset="0"><number>3</number></property>
     <property name="blankCells" stdset="0"><string>1,3</string></property>
     <property name="ctrlId" stdset="0"><number>9</number></property></widget></item>
   <item><widget class="TsGraph" name="Plot">
     <property name="ctrlId" stdset="0"><number>10</number></property></widget></item>
   <item><widget class="TsTimer" name="Ticker">
     <property name="interval" stdset="0"><double>0.01</double></property>
     <property name="ctrlId" stdset="0"><number>11</number></property>
     <property name="callback" stdset="0"><string>OnTick</string></property></widget></item>
   <item><widget class="QPushButton" name="Go">
     <property name="text"><string>Go</string></property>
     <property name="ctrlId" stdset="0"><number>12</number></property>
     <property name="callback" stdset="0"><string>OnCommit</string></property></widget></item>
   <item><widget class="QPushButton" name="Popup">
     <property name="text"><string>Pop-up</string></property>
     <property name="ctrlId" stdset="0"><number>13</number></property>
     <property name="callback" stdset="0"><string>OnPopup</string></property></widget></item>
   <item><widget class="QPushButton" name="Close">
     <property name="text"><string>Close</string></property>
     <property name="ctrlId" stdset="0"><number>14</number></property>
     <property name="callback" stdset="0"><string>CloseProbe</string></property></widget></item>
   <item><widget class="QTabWidget" name="Tabs">
     <property name="ctrlId" stdset="0"><number>15</number></property>
     <widget class="QWidget" name="PageA">
      <attribute name="title"><string>A</string></attribute>
      <layout class="QVBoxLayout" name="la"><item><widget class="QLineEdit" name="Field">
        <property name="ctrlId" stdset="0"><number>1</number></property>
        <property name="callback" stdset="0"><string>OnCommit</string></property></widget></item>
       <item><widget class="QLineEdit" name="Other">
        <property name="ctrlId" stdset="0"><number>2</number></property></widget></item></layout>
     </widget>
     <widget class="QWidget" name="PageB">
      <attribute name="title"><string>B</string></attribute>
     </widget>
   </widget></item>
  </layout>
 </widget>
 <customwidgets>
  <customwidget><class>TsLed</class><extends>QWidget</extends><header>gui/widgets.h</header></customwidget>
  <customwidget><class>TsTable</class><extends>QTableWidget</extends><header>gui/widgets.h</header></customwidget>
  <customwidget><class>TsGraph</class><extends>QWidget</extends><header>gui/widgets.h</header></customwidget>
  <customwidget><class>TsTimer</class><extends>QWidget</extends><header>gui/widgets.h</header></customwidget>
 </customwidgets>
</ui>
)";

struct Call {
  int panel, control, event, data1;
  double value;  // the control's value as the callback saw it
};

class Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string file = dir.file("probe.ui");
    testenv::writeFile(file, kProbeUi);
    auto record = [this](int p, int c, int e, int d1, int) {
      double v = 0;
      const rt::Control &ctl = rt.control(p, c);
      if (ctl.kind == rt::Kind::Numeric || ctl.kind == rt::Kind::Ring ||
          ctl.kind == rt::Kind::Switch)
        v = rt.GetCtrlValD(p, c);
      calls.push_back({p, c, e, d1, v});
      if (onCommit) onCommit(p, c);
      return 0;
    };
    rt.RegisterCallback("OnCommit", record);
    rt.RegisterCallback("OnKey", [this](int p, int c, int e, int d1, int) {
      calls.push_back({p, c, e, d1, 0});
      return 0;
    });
    rt.RegisterCallback("OnTick", [this](int, int, int, int, int) {
      tickTimes.push_back(rt.Timer());
      return 0;
    });
    rt.RegisterCallback("OnPopup", [this](int, int, int, int, int) {
      rt.MessagePopup("Probe", "Look at this");
      popupReturned = rt.Timer();
      return 0;
    });
    rt.RegisterCallback("CloseProbe", [this](int p, int, int, int, int) {
      rt.HidePanel(p);
      return 0;
    });
    panel = rt.LoadPanel(file);
    rt.setOperator(&dialogs);
    view.loadNewPanels();
    rt.DisplayPanel(panel);
    view.flush();
    window = view.panelWidget(panel);
    ASSERT_NE(window, nullptr);
  }

  template <class W>
  W *widget(int control, int inPanel = 0) {
    auto *w = qobject_cast<W *>(view.controlWidget(inPanel ? inPanel : panel, control));
    EXPECT_NE(w, nullptr) << "control " << control;
    return w;
  }

  testenv::TempDir dir;
  rt::RealClock clock;
  rt::Runtime rt{clock};
  gui::EventPump pump{rt};
  gui::PanelView view{rt, pump};
  gui::DialogOperator dialogs{[this] { return window; }, [this] { view.flush(); }};
  int panel = 0;
  QWidget *window = nullptr;
  std::vector<Call> calls;
  std::vector<double> tickTimes;
  double popupReturned = -1;
  std::function<void(int, int)> onCommit;
};

TEST_F(Probe, RunTimeValuesAndAttributesReachTheWidgets) {
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "Probe panel");

  rt.SetCtrlVal(panel, 1, 42);
  rt.SetCtrlVal(panel, 2, 3.25);
  rt.SetCtrlVal(panel, 3, 10);
  rt.SetCtrlVal(panel, 4, 1);
  rt.SetCtrlVal(panel, 5, "serial 17");
  rt.SetCtrlVal(panel, 7, "caption");
  rt.SetCtrlVal(panel, 8, 1);
  rt.SetTableCellVal(panel, 9, 2, 3, 7.5);
  rt.SetTableCellVal(panel, 9, 1, 1, 12);
  // Nothing is drawn until the flush: changes are coalesced.
  EXPECT_EQ(widget<QSpinBox>(1)->value(), 0);
  view.flush();
  EXPECT_EQ(widget<QSpinBox>(1)->value(), 42);
  EXPECT_DOUBLE_EQ(widget<QDoubleSpinBox>(2)->value(), 3.25);
  EXPECT_EQ(widget<QComboBox>(3)->currentText(), "ten");
  EXPECT_TRUE(widget<QAbstractButton>(4)->isChecked());
  EXPECT_EQ(widget<QLineEdit>(5)->text(), "serial 17");
  EXPECT_EQ(widget<QLabel>(7)->text(), "caption");
  EXPECT_TRUE(widget<TsLed>(8)->isOn());
  EXPECT_EQ(widget<TsTable>(9)->cellText(1, 2), "7.5");
  EXPECT_EQ(widget<TsTable>(9)->cellText(0, 0), "12");
  rt.SetCtrlVal(panel, 2, std::numeric_limits<double>::infinity());
  view.flush();
  EXPECT_EQ(widget<QDoubleSpinBox>(2)->text(), "Inf");
  rt.SetCtrlVal(panel, 2, 12.5);
  view.flush();
  EXPECT_EQ(widget<QDoubleSpinBox>(2)->text(), "12.500");
  // A 32-bit word in hexadecimal, all its digits, up to the top of its range.
  rt.SetCtrlVal(panel, 16, 0x0A5E1093);
  view.flush();
  EXPECT_EQ(widget<QDoubleSpinBox>(16)->text(), "0x0A5E1093");
  rt.SetCtrlVal(panel, 16, 4294967295.0);
  view.flush();
  EXPECT_EQ(widget<QDoubleSpinBox>(16)->text(), "0xFFFFFFFF");
  // Setting a value from code fires no callback.
  EXPECT_TRUE(calls.empty());

  // Dimmed, visible (the buddy label goes with its control), font.
  auto *count = widget<QSpinBox>(1);
  auto *caption = window->findChild<QLabel *>("countCaption");
  rt.SetCtrlAttribute(panel, 1, rt::ATTR_DIMMED, 1);
  rt.SetCtrlAttribute(panel, 1, rt::ATTR_VISIBLE, 0);
  rt.SetCtrlAttribute(panel, 6, rt::ATTR_TEXT_FONT, std::string("NIEditorMetaFont"));
  view.flush();
  EXPECT_FALSE(count->isEnabled());
  EXPECT_FALSE(count->isVisible());
  EXPECT_FALSE(caption->isVisible());
  EXPECT_TRUE(guitest::equalAdvances(widget<QPlainTextEdit>(6)->font()));
  rt.SetCtrlAttribute(panel, 1, rt::ATTR_DIMMED, 0);
  rt.SetCtrlAttribute(panel, 1, rt::ATTR_VISIBLE, 1);
  view.flush();
  EXPECT_TRUE(count->isEnabled());
  EXPECT_TRUE(count->isVisible());
  EXPECT_TRUE(caption->isVisible());

  // Ring items replaced from code.
  rt.ClearListCtrl(panel, 3);
  rt.InsertListItem(panel, 3, -1, "1.000e-09", 0);
  rt.InsertListItem(panel, 3, -1, "2.000e-09", 1);
  rt.SetCtrlIndex(panel, 3, 1);
  view.flush();
  auto *choice = widget<QComboBox>(3);
  ASSERT_EQ(choice->count(), 2);
  EXPECT_EQ(choice->itemText(0), "1.000e-09");
  EXPECT_EQ(choice->currentIndex(), 1);

  // Hiding the panel hides its window.
  rt.HidePanel(panel);
  view.flush();
  EXPECT_FALSE(window->isVisible());
}

TEST_F(Probe, TableLeavesUnwrittenCellsBlankAndNeverCutsANumberShort) {
  auto *table = widget<TsTable>(9);
  rt.SetTableCellVal(panel, 9, 1, 3, 5);
  rt.SetTableCellVal(panel, 9, 2, 3, 6);
  view.flush();
  EXPECT_EQ(table->cellText(0, 2), "");  // a cell the program never writes
  EXPECT_EQ(table->cellText(1, 2), "6");

  // Counters of a day's run: ten digits and a sign. Squeezed to its smallest, the window
  // still shows every number whole.
  const double big[] = {-1019936746, 4294967295.0, -2147483648.0};
  for (int col = 1; col <= 3; ++col) rt.SetTableCellVal(panel, 9, 2, col, big[col - 1]);
  view.flush();
  window->resize(1, 1);
  window->layout()->activate();
  QApplication::processEvents();
  for (int col = 0; col < 3; ++col) {
    QString text = table->cellText(1, col);
    EXPECT_EQ(text.toDouble(), big[col]);
    EXPECT_GT(table->columnWidth(col), table->fontMetrics().horizontalAdvance(text) + 4)
        << text.toStdString();
  }
}

TEST_F(Probe, TextBoxAppendsAndReplacesLines) {
  auto *log = widget<QPlainTextEdit>(6);
  rt.InsertTextBoxLine(panel, 6, -1, "first");
  rt.InsertTextBoxLine(panel, 6, -1, "second");
  view.flush();
  EXPECT_EQ(log->toPlainText(), "first\nsecond");
  rt.InsertTextBoxLine(panel, 6, -1, "third");
  view.flush();
  EXPECT_EQ(log->toPlainText(), "first\nsecond\nthird");
  rt.InsertTextBoxLine(panel, 6, -1, "fourth");
  rt.InsertTextBoxLine(panel, 6, -1, "");
  view.flush();
  EXPECT_EQ(log->toPlainText(), "first\nsecond\nthird\nfourth\n");
  EXPECT_EQ(log->blockCount(), 5);
  // A line put in front is not an append.
  rt.InsertTextBoxLine(panel, 6, 0, "third");
  view.flush();
  EXPECT_EQ(log->toPlainText(), "third\nfirst\nsecond\nthird\nfourth\n");
  rt.ResetTextBox(panel, 6, " ");
  rt.InsertTextBoxLine(panel, 6, -1, "0A1B");
  view.flush();
  EXPECT_EQ(log->toPlainText(), " \n0A1B");
}

TEST_F(Probe, GraphReusesItsSeriesAndFollowsTheScaling) {
  auto *g = widget<TsGraph>(10);
  std::vector<double> y(200);
  for (int i = 0; i < 200; ++i) y[i] = 1000 + i;
  rt.PlotY(panel, 10, y.data(), y.size(), 0xFF0000);
  rt.PlotY(panel, 10, y.data(), 50, 0x00FF00);
  view.flush();
  EXPECT_EQ(g->shownPlots(), 2);
  auto series = g->chart()->series();
  ASSERT_EQ(series.size(), 2);
  auto *first = qobject_cast<QLineSeries *>(series[0]);
  EXPECT_EQ(first->count(), 200);
  EXPECT_EQ(first->color(), QColor(255, 0, 0));
  EXPECT_EQ(qobject_cast<QLineSeries *>(series[1])->count(), 50);
  auto *yAxis = qobject_cast<QValueAxis *>(g->chart()->axes(Qt::Vertical).first());
  auto *xAxis = qobject_cast<QValueAxis *>(g->chart()->axes(Qt::Horizontal).first());
  EXPECT_LE(yAxis->min(), 1000);
  EXPECT_GE(yAxis->max(), 1199);
  // The samples reach both edges of the plot area.
  EXPECT_DOUBLE_EQ(xAxis->min(), 0);
  EXPECT_DOUBLE_EQ(xAxis->max(), 199);

  // Data that ends on a round mark keeps off the frame, where a line would disappear.
  std::vector<double> flat(20, 200.0);
  flat[3] = 0;
  rt.DeleteGraphPlot(panel, 10, -1);
  rt.PlotY(panel, 10, flat.data(), flat.size(), 0xFFFFFF);
  view.flush();
  EXPECT_GT(yAxis->max(), 200);
  EXPECT_LT(yAxis->min(), 0);
  EXPECT_DOUBLE_EQ(xAxis->max(), 19);

  // The x range grows a billionfold, shrinks again, and then lies far from zero with samples
  // closer together than a round step can be counted: each time the axis spans the samples
  // (and drawing it ends).
  const double wide[3] = {0, 5e8, 1e9}, narrow[3] = {0, 5e-7, 1e-6};
  const double far[3] = {1e17, 1e17 + 16, 1e17 + 32};
  for (const double *x : {wide, narrow, far}) {
    rt.DeleteGraphPlot(panel, 10, -1);
    rt.PlotXY(panel, 10, x, y.data(), 3, 0xFFFFFF);
    view.flush();
    g->grab();
    EXPECT_DOUBLE_EQ(xAxis->min(), x[0]);
    EXPECT_DOUBLE_EQ(xAxis->max(), x[2]);
  }

  // Delete and plot again, many times: the chart keeps its series.
  for (int k = 0; k < 20; ++k) {
    rt.DeleteGraphPlot(panel, 10, -1);
    rt.PlotY(panel, 10, y.data(), y.size(), 0x0000FF);
    view.flush();
  }
  EXPECT_EQ(g->chart()->series().size(), 2);
  EXPECT_EQ(g->shownPlots(), 1);
  EXPECT_FALSE(g->chart()->series()[1]->isVisible());

  rt.SetAxisScalingMode(panel, 10, rt::VAL_LOCK, 0.0, 10.0);
  view.flush();
  EXPECT_DOUBLE_EQ(yAxis->min(), 0.0);
  EXPECT_DOUBLE_EQ(yAxis->max(), 10.0);

  rt.DeleteGraphPlot(panel, 10, -1);
  view.flush();
  EXPECT_EQ(g->shownPlots(), 0);
  EXPECT_FALSE(g->chart()->series()[0]->isVisible());
}

TEST_F(Probe, GraphNamesItsPlotsAndKeepsItsTickLabelsReadable) {
  auto *g = widget<TsGraph>(10);
  auto *legend = g->chart()->legend();
  std::vector<double> y = {0, 50, 120, 200, 250};
  // Unnamed plots: no legend at all.
  rt.PlotY(panel, 10, y.data(), y.size(), 0xFF0000);
  view.flush();
  EXPECT_FALSE(legend->isVisible());
  // Named plots have a marker each; a plot left unnamed has none.
  rt.DeleteGraphPlot(panel, 10, -1);
  const int a = rt.PlotY(panel, 10, y.data(), y.size(), 0xFF0000);
  const int b = rt.PlotY(panel, 10, y.data(), y.size(), 0x00FF00);
  rt.PlotY(panel, 10, y.data(), y.size(), 0x0000FF);
  rt.SetPlotLegend(panel, 10, a, "CH1");
  rt.SetPlotLegend(panel, 10, b, "CH2");
  view.flush();
  EXPECT_TRUE(legend->isVisible());
  g->resize(500, 300);
  g->grab();  // the legend lays out its markers
  QStringList shown;
  for (QLegendMarker *m : legend->markers())
    if (m->isVisible()) shown << m->label();
  EXPECT_EQ(shown, QStringList({"CH1", "CH2"}));
  // A plot drawn again without its name leaves the legend.
  rt.DeleteGraphPlot(panel, 10, -1);
  rt.PlotY(panel, 10, y.data(), y.size(), 0xFF0000);
  view.flush();
  EXPECT_FALSE(legend->isVisible());

  // However low the graph, its y tick labels keep a line and a half each, so that none is
  // elided.
  auto *yAxis = qobject_cast<QValueAxis *>(g->chart()->axes(Qt::Vertical).first());
  const double line = QFontMetricsF(yAxis->labelsFont()).height();
  for (int height : {90, 160, 400}) {
    g->resize(500, height);
    g->grab();
    const double plot = g->chart()->plotArea().height();
    ASSERT_GT(plot, 0) << height;
    EXPECT_GE(plot / (yAxis->tickCount() - 1), line * 1.2)
        << height << " px: " << yAxis->tickCount();
    EXPECT_GE(yAxis->tickCount(), 2);
  }
}

TEST_F(Probe, OperatorEditsSetTheValueThenCommit) {
  // Spin box: the callback already sees the new value.
  auto *count = widget<QSpinBox>(1);
  count->setValue(7);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].control, 1);
  EXPECT_EQ(calls[0].event, rt::EVENT_COMMIT);
  EXPECT_EQ(calls[0].value, 7);

  // Ring: chosen by index, the value of the item reaches the callback.
  auto *choice = widget<QComboBox>(3);
  choice->setCurrentIndex(1);
  QMetaObject::invokeMethod(choice, "activated", Q_ARG(int, 1));
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].value, 10);

  // Switch and button.
  widget<QAbstractButton>(4)->click();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].value, 1);
  EXPECT_EQ(rt.GetCtrlValI(panel, 4), 1);
  QTest::mouseClick(widget<QPushButton>(12), Qt::LeftButton);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[3].control, 12);

  // String: the run-time follows the typing, the commit comes with Return.
  auto *name = widget<QLineEdit>(5);
  name->setFocus();
  QTest::keyClicks(name, "AB12");
  EXPECT_EQ(rt.GetCtrlValS(panel, 5), "AB12");
  EXPECT_EQ(calls.size(), 4u);
  QTest::keyClick(name, Qt::Key_Return);
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[4].control, 5);

  // Tab page chosen by the operator.
  widget<QTabWidget>(15)->setCurrentIndex(1);
  EXPECT_EQ(rt.GetActiveTabPage(panel, 15), 1);
  rt.SetActiveTabPage(panel, 15, 0);
  view.flush();
  EXPECT_EQ(widget<QTabWidget>(15)->currentIndex(), 0);
}

TEST_F(Probe, FocusFollowsTheActiveControlBothWays) {
  window->activateWindow();
  int pageA = rt.PanelHandle("PageA");
  ASSERT_NE(pageA, 0);
  auto *field = widget<QLineEdit>(1, pageA);
  auto *other = widget<QLineEdit>(2, pageA);
  QApplication::setActiveWindow(window);
  field->setFocus();
  EXPECT_EQ(rt.GetActiveCtrl(pageA), 1);
  // A callback moves the focus (the bar-code routine does): the widget follows.
  onCommit = [&](int p, int) {
    if (p == pageA) rt.SetActiveCtrl(pageA, 2);
  };
  QTest::keyClicks(field, "123");
  QTest::keyClick(field, Qt::Key_Return);
  view.flush();
  EXPECT_EQ(rt.GetActiveCtrl(pageA), 2);
  EXPECT_TRUE(other->hasFocus());
}

TEST_F(Probe, FunctionKeysReachThePanelKeyCallback) {
  QTest::keyClick(window, Qt::Key_F10);
  QTest::keyClick(widget<QComboBox>(3), Qt::Key_F4);  // not the combo box's own F4
  QTest::keyClick(window, Qt::Key_F1);
  QTest::keyClick(window, Qt::Key_A);
  QTest::keyClick(window, Qt::Key_F3, Qt::ShiftModifier);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].event, rt::EVENT_KEYPRESS);
  EXPECT_EQ(calls[0].control, 0);
  EXPECT_EQ(calls[0].data1, 0x1800);
  EXPECT_EQ(calls[1].data1, 0x1200);
  EXPECT_EQ(calls[2].data1, 0x0F00);
  EXPECT_EQ(gui::virtualKeyCode(Qt::Key_F12, Qt::NoModifier), 0x1A00);
  EXPECT_EQ(gui::virtualKeyCode(Qt::Key_Escape, Qt::NoModifier), 0);
}

TEST_F(Probe, WindowCloseButtonDoesWhatThePanelsCloseButtonDoes) {
  window->close();
  view.flush();
  EXPECT_FALSE(rt.panel(panel).visible);
  EXPECT_FALSE(window->isVisible());
}

TEST_F(Probe, TimerTicksRunInRealTimeAndWaitForAModalPopup) {
  rt.SetCtrlAttribute(panel, 11, rt::ATTR_ENABLED, 1);
  QTest::qWait(200);
  EXPECT_GE(tickTimes.size(), 3u);  // 10 ms ticks

  // The pop-up's callback runs; while the message is up no tick is dispatched.
  double shown = -1;
  size_t ticksWhileUp = 0;
  QTimer::singleShot(50, [&] {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    shown = rt.Timer();
    ticksWhileUp = tickTimes.size();
    QTimer::singleShot(200, [&, box] {
      ticksWhileUp = tickTimes.size() - ticksWhileUp;
      if (box) box->accept();
    });
  });
  QTest::mouseClick(widget<QPushButton>(13), Qt::LeftButton);
  ASSERT_GT(shown, 0);
  EXPECT_EQ(ticksWhileUp, 0u);
  EXPECT_GT(popupReturned, shown + 0.15);
  // Afterwards the timer goes on, without catching up the 25 ticks it missed.
  QTest::qWait(200);
  size_t burst = 0, later = 0;
  for (double t : tickTimes) {
    if (t >= popupReturned && t < popupReturned + 0.03) ++burst;
    if (t >= popupReturned) ++later;
  }
  EXPECT_LE(burst, 4u);
  EXPECT_GE(later, 3u);
  rt.SetCtrlAttribute(panel, 11, rt::ATTR_ENABLED, 0);
}

TEST(Dialogs, FiltersAndStartFolders) {
  EXPECT_EQ(gui::nameFilters("*.txt; *.dat"),
            (QStringList{"Files (*.txt *.dat)", "All files (*)"}));
  EXPECT_EQ(gui::nameFilters("*.lin"), (QStringList{"Files (*.lin)", "All files (*)"}));
  EXPECT_EQ(gui::nameFilters(""), (QStringList{"All files (*)"}));
  EXPECT_EQ(gui::startDirectory("C:\\"), QDir::homePath());
  EXPECT_EQ(gui::startDirectory("c:\\NoSuchFolderHere"), QDir::homePath());
  EXPECT_EQ(gui::startDirectory("/tmp"), "/tmp");
  EXPECT_EQ(gui::startDirectory(""), QDir::currentPath());
}

TEST(Dialogs, StartFailureIsShownToTheOperator) {
  QString title, text;
  QTimer::singleShot(0, [&] {
    if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
      title = box->windowTitle();
      text = box->text() + "\n" + box->informativeText();
      box->accept();
    }
  });
  gui::showStartFailure("panel file '/opt/ui/Tessock_RawData_panel.ui': malformed XML");
  EXPECT_EQ(title, "Tessock cannot start");
  EXPECT_TRUE(text.contains("/opt/ui/Tessock_RawData_panel.ui': malformed XML"))
      << text.toStdString();
}

TEST(Dialogs, FileSelectionAnswersExistingOrNew) {
  testenv::TempDir dir;
  testenv::writeFile(dir.file("run.txt"), "x");
  gui::DialogOperator op([] { return nullptr; }, nullptr);
  auto choose = [&](const QString &name, bool save) {
    // The dialog is answered once it is up.
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&poll, name] {
      auto *dlg = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
      if (!dlg) return;
      poll.stop();
      // As typed by the operator into the file name field.
      if (auto *edit = dlg->findChild<QLineEdit *>("fileNameEdit")) edit->setText(name);
      QMetaObject::invokeMethod(dlg, "accept");
    });
    poll.start();
    rt::FileRequest r;
    r.defaultDirectory = dir.path().string();
    r.typeList = "*.txt";
    r.save = save;
    std::string path;
    rt::FileSelect s = op.fileSelectPopup(r, path);
    return std::make_pair(s, path);
  };
  auto [s1, p1] = choose(QString::fromStdString(dir.file("run.txt")), false);
  EXPECT_EQ(s1, rt::FileSelect::Existing);
  EXPECT_EQ(p1, dir.file("run.txt"));
  auto [s2, p2] = choose(QString::fromStdString(dir.file("new.txt")), true);
  EXPECT_EQ(s2, rt::FileSelect::New);
  EXPECT_EQ(p2, dir.file("new.txt"));
}

}  // namespace
