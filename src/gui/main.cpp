// tessock: the desktop program. Runs start-up with the panels on screen and the user-interface
// loop until the quit control ends it; with --script FILE the script plays the operator.
#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "ctl/main_panel.h"
#include "ctl/test_panel.h"
#include "gui/desktop.h"
#include "rt/input_file.h"
#include "script/script.h"
#include "tessock_version.h"

namespace {

QtMessageHandler qtDefaultHandler = nullptr;

// The offscreen platform (screenshots, tests) says for every window that it cannot raise it or
// pass on its size hints; that is not worth a line each.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message) {
  if (type == QtWarningMsg && message.startsWith(QLatin1String("This plugin does not support")))
    return;
  if (qtDefaultHandler) qtDefaultHandler(type, context, message);
}

// Qt's own options that take a value, and those that do not. Qt reads them with one dash or
// two.
bool qtOption(const std::string &arg, bool &takesValue) {
  static const char *const withValue[] = {"platform",
                                          "platformpluginpath",
                                          "platformtheme",
                                          "plugin",
                                          "display",
                                          "style",
                                          "stylesheet",
                                          "session",
                                          "qwindowgeometry",
                                          "qwindowtitle",
                                          "qwindowicon",
                                          "geometry",
                                          "title",
                                          "name",
                                          "qmljsdebugger",
                                          "visual",
                                          "font",
                                          "bg",
                                          "fg",
                                          "btn",
                                          "background",
                                          "foreground",
                                          "button",
                                          "cmap",
                                          "im",
                                          "inputstyle"};
  static const char *const flags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
  std::string a = arg;
  if (a.rfind("--", 0) == 0) a.erase(0, 1);
  if (a.size() < 2 || a[0] != '-') return false;
  a.erase(0, 1);
  if (const size_t eq = a.find('='); eq != std::string::npos) {
    a.resize(eq);
    takesValue = false;
    for (const char *n : withValue)
      if (a == n) return true;
    return false;
  }
  for (const char *n : withValue)
    if (a == n) {
      takesValue = true;
      return true;
    }
  takesValue = false;
  for (const char *n : flags)
    if (a == n) return true;
  return false;
}

bool envSet(const char *name) {
  const char *v = std::getenv(name);
  return v && *v;
}

// Whether Qt has a window system to open: a platform named on the command line or in
// QT_QPA_PLATFORM, or an X11 or Wayland display. Without one, QApplication aborts the process.
bool displayAvailable(int argc, char **argv) {
  const char *env = std::getenv("QT_QPA_PLATFORM");
  std::string platform = env ? env : "";
  for (int i = 1; i + 1 < argc; ++i)
    if (!std::strcmp(argv[i], "-platform") || !std::strcmp(argv[i], "--platform"))
      platform = argv[i + 1];
  if (platform.rfind("xcb", 0) == 0) return envSet("DISPLAY");
  if (platform.rfind("wayland", 0) == 0) return envSet("WAYLAND_DISPLAY");
  if (!platform.empty()) return true;  // offscreen, vnc, eglfs, linuxfb ...
  return envSet("DISPLAY") || envSet("WAYLAND_DISPLAY");
}

// Without a display the options are still checked (the ones Qt would have taken left out), so
// that a wrong option is named before the missing display is.
int noDisplay(int argc, char **argv) {
  std::vector<char *> ours = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    bool takesValue = false;
    if (qtOption(argv[i], takesValue)) {
      if (takesValue) ++i;
      continue;
    }
    ours.push_back(argv[i]);
  }
  cli::Options options;
  std::string error;
  if (!cli::parseOptions(static_cast<int>(ours.size()), ours.data(), options, error, false)) {
    std::cerr << "tessock: " << error << "\n" << cli::usage("tessock", true);
    return cli::EXIT_USAGE;
  }
  std::cerr << "tessock: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set); "
               "tessock-cli runs the bench without one\n";
  return cli::EXIT_USAGE;
}

}  // namespace

int main(int argc, char **argv) {
  // Answered before Qt starts: neither needs a display.
  if (cli::InfoRequest info = cli::infoRequest(argc, argv); info != cli::InfoRequest::None) {
    std::cout << (info == cli::InfoRequest::Help
                      ? cli::helpText("tessock", true)
                      : cli::versionLine("tessock", TESSOCK_VERSION, TESSOCK_COMMIT));
    return cli::EXIT_OK;
  }
  if (!displayAvailable(argc, argv)) return noDisplay(argc, argv);
  qtDefaultHandler = qInstallMessageHandler(messageHandler);
  QApplication app(argc, argv);
  // QApplication has switched the C library to the operator's locale. Panel files, scripts,
  // linearity files, records and reports all write numbers with a decimal point, whatever the
  // desktop's language: the C functions keep the "C" numbers, and the widgets show numbers
  // the same way, so a value reads alike on screen and in the files.
  std::setlocale(LC_NUMERIC, "C");
  QLocale::setDefault(QLocale::c());
  QApplication::setApplicationName("tessock");
  QApplication::setApplicationDisplayName("Tessock");

  // Qt has taken its own options (-platform ...) out of argv.
  cli::Options options;
  std::string error;
  if (!cli::parseOptions(argc, argv, options, error, false)) {
    std::cerr << "tessock: " << error << "\n" << cli::usage("tessock", true);
    return cli::EXIT_USAGE;
  }

  std::vector<cli::ScriptLine> lines;
  if (!options.script.empty()) {
    const rt::InputFile script = rt::readInputFile(options.script, rt::kScriptFileLimit);
    if (!script.ok()) {
      std::cerr << "tessock: cannot read script " << options.script << ": " << script.problem
                << "\n";
      return cli::EXIT_USAGE;
    }
    if (!cli::parseScript(script.text, lines, error)) {
      std::cerr << "tessock: " << options.script << ": " << error << "\n";
      return cli::EXIT_USAGE;
    }
  }

  // The desktop program stores the runs that waited for the results store by itself.
  options.bench.autoSync = true;
  gui::Desktop desktop(options.bench);
  const bool scripted = !options.script.empty();
  // A scripted run never waits for a person: its pop-ups are answered by the script and
  // echoed, like the start-up lines and the test log.
  cli::ScriptOperator scriptOperator(std::cout);
  cli::LineEcho echo(desktop.rt(), std::cout,
                     {{"Main", ctl::Main::InfoBox.id}, {"Test", ctl::Test::LogBox.id}});
  if (scripted) {
    desktop.setOperator(&scriptOperator);
    desktop.rt().addObserver(&echo);
  }

  try {
    desktop.start();
  } catch (const rt::LoadError &e) {
    std::cerr << "tessock: " << e.what() << "\n";
    desktop.rt().removeObserver(&echo);
    // A person started the program: the reason must show on the screen too.
    if (!scripted) gui::showStartFailure(e.what());
    return 1;
  }

  // F10, as the operator would press it: the simulated bench shows live data at once.
  if (options.acquire) desktop.rt().KeyPress(desktop.bench().panels.MainPanel, 0x1800);
  if (options.historyWindow) desktop.openHistory();

  int status = 0;
  if (scripted) {
    gui::DesktopScriptHost host(desktop);
    cli::ScriptRunner runner(desktop.bench(), host, scriptOperator, std::cout, std::cerr);
    QTimer::singleShot(0, &app, [&] {
      status = runner.run(lines);
      QApplication::exit(status);
    });
    QApplication::exec();
  } else {
    QObject::connect(&desktop, &gui::Desktop::quit, &app, [] { QApplication::exit(0); });
    status = QApplication::exec();
  }
  desktop.shutDown();
  desktop.rt().removeObserver(&echo);
  return status;
}
