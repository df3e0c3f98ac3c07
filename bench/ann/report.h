#pragma once
// The table and the plot built from the tab-separated figures of every engine's run.

#include <iosfwd>
#include <string>
#include <vector>

#include "bench/ann/engine.h"

namespace vemo {
namespace korvane {
namespace bench {

// Build and memory per engine, then recall@10 and queries per second per expansion, then the target ratios.
void print_table(std::ostream& out, std::vector<engine_report_t> const& reports);

// Writes `data_path` (one block per engine: recall, queries per second) and a gnuplot script that draws it
// into `png_path`.
void write_plot(std::string const& data_path, std::string const& script_path, std::string const& png_path,
                std::vector<engine_report_t> const& reports);

} // namespace bench
} // namespace korvane
} // namespace vemo
