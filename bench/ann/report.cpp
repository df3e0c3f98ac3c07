#include "bench/ann/report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace vemo {
namespace korvane {
namespace bench {

namespace {

constexpr double recall_goal = 0.99;
// The C++ searches the Java benchmark runs in its own process, between the passes of the binding.
constexpr char const* in_jvm_name = "korvane f32 (C++ in the JVM)";

std::string format(char const* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), pattern, value);
    return text;
}

engine_report_t const* find(std::vector<engine_report_t> const& reports, std::string const& name) {
    for (auto const& report : reports)
        if (report.name == name)
            return &report;
    return nullptr;
}

// The point of the smallest expansion whose recall reaches the goal, or null.
search_point_t const* first_reaching_goal(engine_report_t const* report) {
    if (!report)
        return nullptr;
    search_point_t const* best = nullptr;
    for (auto const& point : report->points)
        if (point.recall >= recall_goal && (!best || point.expansion < best->expansion))
            best = &point;
    return best;
}

search_point_t const* at_expansion(engine_report_t const* report, std::size_t expansion) {
    if (report)
        for (auto const& point : report->points)
            if (point.expansion == expansion)
                return &point;
    return nullptr;
}

void print_target(std::ostream& out, std::string const& what, bool known, double ratio, double limit, bool at_least,
                  std::string const& detail) {
    out << "  " << what << ": ";
    if (!known) {
        out << "not measured (" << detail << ")\n";
        return;
    }
    bool met = at_least ? ratio >= limit : ratio <= limit;
    out << format("%.3f", ratio) << "x (target " << (at_least ? ">= " : "<= ") << format("%.1f", limit) << "x) "
        << (met ? "MET" : "MISSED") << "  [" << detail << "]\n";
}

} // namespace

void append_report(std::string const& path, engine_report_t const& report) {
    std::ofstream out(path, std::ios::app);
    // Full precision, so that ratios read back (half the vector bytes, say) come out exact.
    out.precision(std::numeric_limits<double>::max_digits10);
    for (auto const& point : report.points)
        out << report.name << '\t' << report.build_seconds << '\t' << report.rss_mib << '\t' << report.index_mib
            << '\t' << report.vectors_mib << '\t' << point.expansion << '\t' << point.recall << '\t'
            << point.queries_per_second << '\n';
    if (!out)
        throw std::runtime_error("cannot append to " + path);
}

std::vector<engine_report_t> read_reports(std::string const& path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    std::vector<engine_report_t> reports;
    // Queries per second of every run, by engine (position in `reports`) and expansion.
    std::map<std::pair<std::size_t, std::size_t>, std::vector<double>> speeds;
    // Build seconds of every run that built, by engine (one entry per row, so each run counts alike).
    std::map<std::size_t, std::vector<double>> builds;
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty())
            continue;
        std::istringstream fields(line);
        engine_report_t row;
        search_point_t point;
        if (!std::getline(fields, row.name, '\t') ||
            !(fields >> row.build_seconds >> row.rss_mib >> row.index_mib >> row.vectors_mib >> point.expansion >>
              point.recall >> point.queries_per_second))
            throw std::runtime_error(path + ":" + std::to_string(number) + ": malformed line");
        auto existing = std::find_if(reports.begin(), reports.end(),
                                     [&](engine_report_t const& report) { return report.name == row.name; });
        if (existing == reports.end()) {
            reports.push_back(row);
            existing = reports.end() - 1;
        }
        // Several runs of one engine: a run that built (build seconds above 0) replaces the memory figures of an
        // earlier one, a search-only run leaves them.
        if (row.build_seconds > 0 || existing->build_seconds <= 0) {
            existing->build_seconds = row.build_seconds;
            existing->rss_mib = row.rss_mib;
            existing->index_mib = row.index_mib;
            existing->vectors_mib = row.vectors_mib;
        }
        auto same = std::find_if(existing->points.begin(), existing->points.end(),
                                 [&](search_point_t const& p) { return p.expansion == point.expansion; });
        if (same == existing->points.end())
            existing->points.push_back(point);
        else
            same->recall = point.recall;
        speeds[{std::size_t(existing - reports.begin()), point.expansion}].push_back(point.queries_per_second);
        if (row.build_seconds > 0)
            builds[std::size_t(existing - reports.begin())].push_back(row.build_seconds);
    }
    // Each expansion's speed and each engine's build time are the medians of its runs: one process of an
    // engine can run faster or slower than the next as a whole (where its memory landed, what the machine's
    // neighbours did), so neither the fastest nor the slowest run stands for the engine.
    auto median = [](std::vector<double>& runs) {
        std::sort(runs.begin(), runs.end());
        std::size_t const middle = runs.size() / 2;
        return runs.size() % 2 ? runs[middle] : (runs[middle - 1] + runs[middle]) / 2;
    };
    for (auto& [where, runs] : speeds)
        for (auto& point : reports[where.first].points)
            if (point.expansion == where.second)
                point.queries_per_second = median(runs);
    for (auto& [engine, runs] : builds)
        reports[engine].build_seconds = median(runs);
    for (auto& report : reports)
        std::sort(report.points.begin(), report.points.end(),
                  [](search_point_t const& a, search_point_t const& b) { return a.expansion < b.expansion; });
    return reports;
}

void print_table(std::ostream& out, std::vector<engine_report_t> const& reports) {
    std::vector<std::size_t> expansions;
    std::size_t width = 6;
    for (auto const& report : reports) {
        width = std::max(width, report.name.size());
        for (auto const& point : report.points)
            if (std::find(expansions.begin(), expansions.end(), point.expansion) == expansions.end())
                expansions.push_back(point.expansion);
    }
    std::sort(expansions.begin(), expansions.end());
    auto name_cell = [&](std::string const& name) { return name + std::string(width + 2 - name.size(), ' '); };
    auto cell = [](std::string const& text, std::size_t w) {
        return std::string(text.size() < w ? w - text.size() : 0, ' ') + text;
    };

    out << "Build and memory (build on 2 threads; RSS = resident-set growth across the build; index = the\n"
           "library's structures: vectors, graph, tables; vectors = stored vectors alone)\n";
    out << name_cell("engine") << cell("build s", 9) << cell("RSS MiB", 10) << cell("index MiB", 11)
        << cell("vectors MiB", 13) << '\n';
    for (auto const& report : reports)
        // A search-only row ("-") neither built nor measured an index of its own.
        out << name_cell(report.name)
            << cell(report.build_seconds > 0 ? format("%.2f", report.build_seconds) : "-", 9)
            << cell(report.rss_mib < 0 ? "n/a" : format("%.1f", report.rss_mib), 10)
            << cell(report.index_mib > 0 ? format("%.1f", report.index_mib) : "-", 11)
            << cell(format("%.1f", report.vectors_mib), 13) << '\n';

    auto grid = [&](char const* title, auto value_of) {
        out << '\n' << title << '\n' << name_cell("engine");
        for (auto expansion : expansions)
            out << cell("ef=" + std::to_string(expansion), 10);
        out << '\n';
        for (auto const& report : reports) {
            out << name_cell(report.name);
            for (auto expansion : expansions) {
                search_point_t const* point = at_expansion(&report, expansion);
                out << cell(point ? value_of(*point) : "-", 10);
            }
            out << '\n';
        }
    };
    grid("Recall@10", [](search_point_t const& p) { return format("%.4f", p.recall); });
    grid("Queries per second (one thread; per second of that thread's processor time; fastest of a process's\n"
         "passes, median of an engine's processes)", [](search_point_t const& p) { return format("%.0f", p.queries_per_second); });

    out << "\nTargets (ratios within this run; \"@ef\" = smallest ef reaching recall@10 >= 0.99)\n";
    engine_report_t const* peer = find(reports, "hnswlib f32");
    engine_report_t const* ours = find(reports, "korvane f32");
    engine_report_t const* half = find(reports, "korvane f16");
    engine_report_t const* java = find(reports, "korvane f32 (Java)");
    search_point_t const* peer_goal = first_reaching_goal(peer);
    search_point_t const* ours_goal = first_reaching_goal(ours);
    search_point_t const* half_goal = first_reaching_goal(half);
    auto where = [](char const* who, engine_report_t const* report) {
        search_point_t const* point = first_reaching_goal(report);
        if (!report)
            return std::string(who) + " not run";
        return std::string(who) + (point ? " @" + std::to_string(point->expansion) + " " +
                                               format("%.0f", point->queries_per_second) + " q/s"
                                         : " never reaches 0.99");
    };

    print_target(out, "korvane f32 QPS / hnswlib QPS", peer_goal && ours_goal,
                 peer_goal && ours_goal ? ours_goal->queries_per_second / peer_goal->queries_per_second : 0, 1.0, true,
                 where("korvane", ours) + ", " + where("hnswlib", peer));
    print_target(out, "korvane f32 build / hnswlib build", peer && ours,
                 peer && ours && peer->build_seconds > 0 ? ours->build_seconds / peer->build_seconds : 0, 1.0, false,
                 peer && ours ? format("%.2f s", ours->build_seconds) + " vs " + format("%.2f s", peer->build_seconds)
                              : std::string("an engine is missing"));
    print_target(out, "korvane f16 QPS / hnswlib f32 QPS", peer_goal && half_goal,
                 peer_goal && half_goal ? half_goal->queries_per_second / peer_goal->queries_per_second : 0, 1.2, true,
                 where("korvane f16", half) + ", " + where("hnswlib", peer));
    print_target(out, "korvane f16 vectors / korvane f32 vectors", half && ours && ours->vectors_mib > 0,
                 half && ours && ours->vectors_mib > 0 ? half->vectors_mib / ours->vectors_mib : 0, 0.5, false,
                 half && ours ? format("%.1f MiB", half->vectors_mib) + " vs " + format("%.1f MiB", ours->vectors_mib)
                              : std::string("an engine is missing"));
    // The Java run searches the very graph the C++ run saved, so time per query is directly comparable. The
    // target compares it with the C++ searches its own process ran between its passes; the separate C++
    // process is shown beside, for information: two processes of the same search differ by more than the
    // binding costs.
    auto java_ratios = [&](engine_report_t const* native, double& worst) {
        std::string detail;
        worst = 0;
        if (java && native)
            for (auto const& point : java->points)
                if (search_point_t const* other = at_expansion(native, point.expansion))
                    if (point.queries_per_second > 0) {
                        double ratio = other->queries_per_second / point.queries_per_second;
                        detail += (detail.empty() ? "" : ", ") + std::string("ef=") +
                                  std::to_string(point.expansion) + " " + format("%.3f", ratio);
                        worst = std::max(worst, ratio);
                    }
        return detail;
    };
    double worst = 0;
    std::string detail = java_ratios(find(reports, in_jvm_name), worst);
    print_target(out, "Java search time / C++ search time in the same process (worst ef)", !detail.empty(), worst,
                 1.1, false, detail.empty() ? std::string("an engine is missing") : detail);
    double apart = 0;
    std::string apart_detail = java_ratios(ours, apart);
    if (!apart_detail.empty())
        out << "  (for information) Java search time / C++ search time of the separate C++ process (worst ef): "
            << format("%.3f", apart) << "x (" << apart_detail << ")\n";
}

void write_plot(std::string const& data_path, std::string const& script_path, std::string const& png_path,
                std::vector<engine_report_t> const& all_reports) {
    // The C++ searches in the JVM would lie on top of the C++ process's curve; the table shows them.
    std::vector<engine_report_t> reports;
    std::copy_if(all_reports.begin(), all_reports.end(), std::back_inserter(reports),
                 [](engine_report_t const& report) { return report.name != in_jvm_name; });
    {
        std::ofstream data(data_path, std::ios::trunc);
        for (auto const& report : reports) {
            data << "# " << report.name << '\n';
            for (auto const& point : report.points)
                data << point.recall << ' ' << point.queries_per_second << ' ' << point.expansion << '\n';
            data << "\n\n";
        }
        if (!data)
            throw std::runtime_error("cannot write " + data_path);
    }
    std::ofstream script(script_path, std::ios::trunc);
    script << "set terminal pngcairo size 1100,750 noenhanced font ',11'\n"
           << "set output '" << png_path << "'\n"
           << "set title 'Fashion-MNIST, l2sq, k = 10, M = 16, efConstruction = 128, one search thread'\n"
           // The axis is 1 - recall on a reversed log scale, so that the region above 0.9 where the engines
           // differ is spread out while a low-recall series (i8 under l2sq) still fits; a perfect recall sits
           // on the right edge.
           << "set xlabel 'recall@10 (log scale of 1 - recall, reversed)'\n"
           << "set ylabel 'queries per second (log scale)'\n"
           << "set logscale xy\nset xrange [1:0.0001]\nset grid\nset key top right\n"
           << "set xtics ('0' 1, '0.5' 0.5, '0.9' 0.1, '0.95' 0.05, '0.99' 0.01, '0.995' 0.005, '0.999' 0.001, "
              "'0.9999' 0.0001)\n";
    script << "plot ";
    for (std::size_t i = 0; i != reports.size(); ++i)
        script << (i ? ", \\\n     " : "") << "'" << data_path << "' index " << i
               << " using (1 - $1 < 0.0001 ? 0.0001 : 1 - $1):2 with linespoints lw 2 pt " << (i % 13) + 1 << " title '" << reports[i].name << "'";
    script << '\n';
    if (!script)
        throw std::runtime_error("cannot write " + script_path);
}

} // namespace bench
} // namespace korvane
} // namespace vemo
