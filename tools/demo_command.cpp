// tavrin demo: the shipped thermal-zone orchestration in closed loop against its simulated plant,
// compared with a baseline on the same seeds. Also what the tool runs without a subcommand.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "common/errors.hpp"
#include "examples/thermal/demo.hpp"
#include "tools/command_registry.hpp"

namespace {

namespace fs = std::filesystem;
using tavrin_inference::FileNotFoundError;
using tavrin_inference::RuntimeError;

constexpr const char* kExampleFile = "examples/thermal/orchestration.json";

struct DemoCommandOptions {
  std::string orchestration;
  int episodes = 5;
  std::uint64_t seed = 1;
  std::string baseline = "constant";
  std::string trace;
  std::string plot;
};

// The shipped example next to the program: in the source tree above a build tree
// (build/release/tools/tavrin) or in the share folder of an installation (bin/tavrin).
std::string find_shipped_orchestration() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) throw FileNotFoundError("cannot locate the tavrin program; pass --orchestration FILE");
  for (fs::path dir = exe.parent_path(); !dir.empty(); dir = dir.parent_path()) {
    for (const fs::path& candidate : {dir / kExampleFile, dir / "share" / "tavrin-inference" / kExampleFile}) {
      if (fs::is_regular_file(candidate, ec)) return candidate.lexically_normal().string();
    }
    if (dir == dir.root_path()) break;
  }
  throw FileNotFoundError("cannot find the shipped example orchestration (" + std::string(kExampleFile) +
                          ") in the folders above " + exe.parent_path().string() + "; pass --orchestration FILE");
}

std::optional<fs::path> find_on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::string_view rest(path);
  while (true) {
    const auto colon = rest.find(':');
    const fs::path dir(std::string(rest.substr(0, colon)));
    const fs::path candidate = (dir.empty() ? fs::path(".") : dir) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string gnuplot_text(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// Draws the first episode of the trace: temperatures, heater and ventilation, CO2.
void draw_plot(const fs::path& gnuplot, const std::string& trace, const std::string& png) {
  const fs::path script = fs::temp_directory_path() / ("tavrin-demo-" + std::to_string(::getpid()) + ".gp");
  {
    std::ofstream gp(script);
    const std::string data = "\"" + gnuplot_text(trace) + "\"";
    const auto sel = [](const char* run, const char* column) {
      return std::string("(strcol(1) eq \"") + run + "\" && $2 == 0 ? $" + column + " : 1/0)";
    };
    gp << "set terminal png size 1000,900\n"
       << "set output \"" << gnuplot_text(png) << "\"\n"
       << "set datafile separator \",\"\n"
       << "set key outside right\n"
       << "set lmargin 10\nset rmargin 34\n"
       << "set grid\n"
       << "set xrange [0:24]\nset xtics 0,3,24\n"
       << "set multiplot layout 3,1 title \"thermal zone, episode 1: shipped policy and baseline\"\n"
       << "set ylabel \"°C\"\n"
       << "plot " << data << " using 5:" << sel("policy", "6")
       << " skip 1 with lines lw 2 title \"zone (policy)\", \\\n"
       << "     " << data << " using 5:" << sel("baseline", "6") << " skip 1 with lines title \"zone (baseline)\", \\\n"
       << "     " << data << " using 5:" << sel("policy", "7") << " skip 1 with steps dt 2 title \"setpoint\", \\\n"
       << "     " << data << " using 5:" << sel("policy", "8") << " skip 1 with lines title \"outside\"\n"
       << "set ylabel \"command\"\nset yrange [-0.1:2.1]\n"
       << "plot " << data << " using 5:" << sel("policy", "12") << " skip 1 with steps title \"heater (policy)\", \\\n"
       << "     " << data << " using 5:" << sel("policy", "13")
       << " skip 1 with steps title \"ventilation level (policy)\"\n"
       << "set autoscale y\nset ylabel \"CO2 ppm\"\nset xlabel \"hour\"\n"
       << "plot " << data << " using 5:" << sel("policy", "9") << " skip 1 with lines lw 2 title \"CO2 (policy)\", \\\n"
       << "     " << data << " using 5:" << sel("baseline", "9") << " skip 1 with lines title \"CO2 (baseline)\"\n"
       << "unset multiplot\n";
    if (!gp) throw RuntimeError("cannot write the gnuplot script " + script.string());
  }
  const std::string command = quoted(gnuplot.string()) + " " + quoted(script.string());
  const int status = std::system(command.c_str());
  std::error_code ec;
  fs::remove(script, ec);
  if (status != 0)
    throw RuntimeError("gnuplot failed to draw " + png + " (exit status " + std::to_string(status) + ")");
}

void show_progress(int done, int total) {
  constexpr int kWidth = 30;
  const int filled = total > 0 ? done * kWidth / total : kWidth;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kWidth, '.');
  std::fprintf(stderr, "\r[%s] %d/%d runs", bar.c_str(), done, total);
  if (done == total) std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
}

int demo_command(const DemoCommandOptions& options) {
  thermal::DemoOptions demo;
  demo.orchestration = options.orchestration.empty() ? find_shipped_orchestration() : options.orchestration;
  demo.episodes = options.episodes;
  demo.seed = options.seed;
  demo.baseline = thermal::parse_baseline(options.baseline);

  // Check what the plot needs before spending time on the episodes.
  std::optional<fs::path> gnuplot;
  std::string trace = options.trace;
  bool temporary_trace = false;
  if (!options.plot.empty()) {
    gnuplot = find_on_path("gnuplot");
    if (!gnuplot) {
      throw RuntimeError(
          "--plot needs gnuplot, which is not installed (Debian package gnuplot-nox; "
          "scripts/setup.sh installs it)");
    }
    if (trace.empty()) {
      trace = (fs::temp_directory_path() / ("tavrin-demo-" + std::to_string(::getpid()) + ".csv")).string();
      temporary_trace = true;
    }
  }
  demo.trace_path = trace;
  if (::isatty(STDERR_FILENO)) demo.progress = show_progress;

  thermal::DemoReport report;
  try {
    report = thermal::run_demo(demo);
    if (gnuplot) draw_plot(*gnuplot, trace, options.plot);
  } catch (...) {
    std::error_code ec;
    if (temporary_trace) fs::remove(trace, ec);
    throw;
  }
  if (temporary_trace) {
    std::error_code ec;
    fs::remove(trace, ec);
  }
  thermal::print_report(report, std::cout);
  if (!options.trace.empty()) std::cout << "trajectory written to " << options.trace << '\n';
  if (!options.plot.empty()) std::cout << "plot written to " << options.plot << '\n';
  return 0;
}

const tavrin_tool::CommandRegistration registration{
    "demo", "Run the shipped thermal-zone example in closed loop against its simulated plant (the default)", 5,
    [](CLI::App& command) {
      auto opts = std::make_shared<DemoCommandOptions>();
      command.add_option("--orchestration", opts->orchestration,
                         "orchestration file (default: the shipped examples/thermal/orchestration.json)");
      command.add_option("--episodes", opts->episodes, "number of episodes (one simulated day each)")
          ->capture_default_str()
          ->check(CLI::PositiveNumber);
      command.add_option("--seed", opts->seed, "seed of the first episode; episode i uses seed + i")
          ->capture_default_str();
      command.add_option("--baseline", opts->baseline, "baseline policy: constant, random or thermostat")
          ->capture_default_str()
          ->check(CLI::IsMember({"constant", "random", "thermostat"}));
      command.add_option("--trace", opts->trace, "write the trajectory of every step to this CSV file");
      command.add_option("--plot", opts->plot, "draw the first episode into this PNG file (needs gnuplot)");
      return [opts] { return demo_command(*opts); };
    }};

}  // namespace
