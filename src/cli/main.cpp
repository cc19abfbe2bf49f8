// tessock-cli: the headless front end. Runs start-up, then the script, then shutdown.
#include <iostream>

#include "app/bench.h"
#include "app/probe.h"
#include "ctl/main_panel.h"
#include "ctl/test_panel.h"
#include "functest/html_report.h"
#include "rt/input_file.h"
#include "script/script.h"
#include "tessock_version.h"

namespace {

class HeadlessHost : public cli::ScriptHost {
 public:
  explicit HeadlessHost(rt::Runtime &rt) : rt_(rt) {}
  bool runFor(double seconds, const std::function<bool()> &done) override {
    return rt_.RunUntil(rt_.Timer() + seconds, done);
  }
  bool screenshot(int, const std::string &, std::string &error) override {
    error = "screenshots need the desktop program (tessock)";
    return false;
  }

 private:
  rt::Runtime &rt_;
};

}  // namespace

int main(int argc, char **argv) {
  cli::Options options;
  std::string error;
  if (cli::parseOptions(argc, argv, options, error) && (options.help || options.version)) {
    std::cout << (options.help ? cli::helpText("tessock-cli", false)
                               : cli::versionLine("tessock-cli", TESSOCK_VERSION, TESSOCK_COMMIT));
    return cli::EXIT_OK;
  }
  if (error.empty() && !options.htmlReport.empty()) {
    if (!options.script.empty() || options.probe || options.history.any()) {
      error = "--html-report excludes --script, --probe and the history commands";
    } else {
      std::string page;
      if (const std::string why = functest::WriteHtmlReport(options.htmlReport, page);
          !why.empty()) {
        std::cerr << "tessock-cli: HTML report not written: " << why << "\n";
        return 1;
      }
      std::cout << page << "\n";
      return cli::EXIT_OK;
    }
  }
  if (error.empty() && options.history.any()) {
    if (options.script.empty())
      return cli::runHistoryCommands(options.history, options.bench.resultsDb, std::cout,
                                     std::cerr);
    error = "--script and the history commands exclude each other";
  }
  if (!error.empty() || (options.script.empty() && !options.probe)) {
    if (error.empty()) error = "--script FILE or --probe is required";
    std::cerr << "tessock-cli: " << error << "\n" << cli::usage("tessock-cli", false);
    return cli::EXIT_USAGE;
  }
  std::vector<cli::ScriptLine> lines;
  if (!options.script.empty()) {
    const rt::InputFile script = rt::readInputFile(options.script, rt::kScriptFileLimit);
    if (!script.ok()) {
      std::cerr << "tessock-cli: cannot read script " << options.script << ": " << script.problem
                << "\n";
      return cli::EXIT_USAGE;
    }
    if (!cli::parseScript(script.text, lines, error)) {
      std::cerr << "tessock-cli: " << options.script << ": " << error << "\n";
      return cli::EXIT_USAGE;
    }
  }

  rt::RealClock realClock;
  rt::VirtualClock virtualClock;
  rt::Clock &clock = options.virtualTime ? static_cast<rt::Clock &>(virtualClock) : realClock;
  app::Bench bench(clock, options.bench);
  cli::ScriptOperator op(std::cout);
  cli::LineEcho echo(bench.rt, std::cout,
                     {{"Main", ctl::Main::InfoBox.id}, {"Test", ctl::Test::LogBox.id}});
  bench.rt.setOperator(&op);
  bench.rt.addObserver(&echo);
  // The echo and the operator go before the bench: whatever the way out, the bench's own
  // shutdown (discarding the main panel) must not reach them any more.
  struct Detach {
    rt::Runtime &rt;
    rt::Observer *observer;
    ~Detach() {
      rt.removeObserver(observer);
      rt.setOperator(nullptr);
    }
  } detach{bench.rt, &echo};
  try {
    bench.StartUp();
  } catch (const std::exception &e) {
    std::cerr << "tessock-cli: " << e.what() << "\n";
    return 1;
  }
  // A line when each step of a test begins: where the run stands and the time left.
  bench.progress.onStep = [&bench] { std::cout << bench.progress.line() << std::endl; };
  HeadlessHost host(bench.rt);
  cli::ScriptRunner runner(bench, host, op, std::cout, std::cerr);
  int status = runner.run(lines);
  // --probe: the bench check, after the script when there is one (and it went through).
  if (options.probe && status == cli::EXIT_OK && !bench.rt.quitRequested()) {
    const app::ProbeResult r =
        app::RunProbe(bench, [](const std::string &l) { std::cout << l << std::endl; });
    if (!r.usable()) status = cli::EXIT_FAILED;
  }
  const bool stillRunning = bench.test.running();
  bench.ShutDown();
  // The verdicts of the runs the script started: a lost module first, then lost lines, then
  // lines that wait for the store, then a run that did not end, then a failed one.
  if (status == cli::EXIT_OK) {
    const int runs = cli::runsExitStatus(bench.test.outcomes(), stillRunning);
    if (runs == cli::EXIT_MODULE_LOST)
      status = runs;
    else if (bench.resultsLost())
      status = cli::EXIT_LOST;
    else if (bench.resultsWaiting())
      status = cli::EXIT_WAITING;
    else
      status = runs;
  }
  return status;
}
