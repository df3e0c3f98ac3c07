// Side-by-side benchmark on Fashion-MNIST: builds each engine, searches every query at each expansion on one
// thread, and reports build time, memory, recall@10 and queries per second. One engine per process, so that the
// resident-set figures of one do not include the leftovers of another.
//
//   ann_bench truth  --data DIR [--base N] [--queries N] [--threads T]
//   ann_bench run    --data DIR --engine NAME --out FILE [--base N] [--queries N] [--threads T] [--ef LIST]
//                    [--passes N] [--save PATH | --load PATH]
//   ann_bench report --in FILE --txt FILE [--plot-data FILE --plot-script FILE --png FILE]
//
// NAME: hnswlib, faiss, korvane-f32, korvane-f16, korvane-bf16, korvane-i8. DIR holds the uncompressed
// train-images-idx3-ubyte and t10k-images-idx3-ubyte; the ground truth is cached there. --load takes a saved
// korvane index instead of building one, so that a profiler sees the searches alone.

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "bench/ann/dataset.h"
#include "bench/ann/engine.h"
#include "bench/ann/report.h"

namespace bench = vemo::korvane::bench;

namespace {

constexpr std::size_t wanted = 10;

struct options_t {
    std::map<std::string, std::string> values;

    std::string text(std::string const& key, std::string const& fallback = {}) const {
        auto found = values.find(key);
        if (found != values.end())
            return found->second;
        if (fallback.empty())
            throw std::runtime_error("missing --" + key);
        return fallback;
    }
    std::size_t number(std::string const& key, std::size_t fallback) const {
        auto found = values.find(key);
        return found == values.end() ? fallback : std::size_t(std::stoull(found->second));
    }
    bool has(std::string const& key) const { return values.count(key) != 0; }
};

options_t parse(int argc, char** argv) {
    options_t options;
    for (int i = 2; i < argc; i += 2) {
        std::string key = argv[i];
        if (key.rfind("--", 0) != 0 || i + 1 >= argc)
            throw std::runtime_error("expected --name value pairs, got '" + key + "'");
        options.values[key.substr(2)] = argv[i + 1];
    }
    return options;
}

double resident_mib() {
    std::ifstream statm("/proc/self/statm");
    double total = 0, resident = 0;
    statm >> total >> resident;
    return resident * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct inputs_t {
    bench::dataset_t base;
    bench::dataset_t queries;
    bench::ground_truth_t truth;
};

inputs_t load_inputs(options_t const& options) {
    std::string dir = options.text("data");
    std::size_t threads = options.number("threads", 2);
    inputs_t inputs;
    inputs.base = bench::load_idx_images(dir + "/train-images-idx3-ubyte", options.number("base", 0));
    inputs.queries = bench::load_idx_images(dir + "/t10k-images-idx3-ubyte", options.number("queries", 0));
    std::string cache = dir + "/truth-" + std::to_string(inputs.base.rows) + "x" +
                        std::to_string(inputs.queries.rows) + "-k" + std::to_string(wanted) + ".bin";
    inputs.truth = bench::cached_ground_truth(cache, inputs.base, inputs.queries, wanted, threads);
    return inputs;
}

std::vector<std::size_t> parse_expansions(std::string const& list) {
    std::vector<std::size_t> expansions;
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty())
            expansions.push_back(std::size_t(std::stoull(item)));
    if (expansions.empty())
        throw std::runtime_error("empty --ef list");
    return expansions;
}

std::unique_ptr<bench::engine_t> make_engine(std::string const& name, std::size_t dims,
                                             std::string const& scratch_dir) {
    if (name == "hnswlib")
        return bench::make_hnswlib_engine(dims);
    if (name == "faiss")
        return bench::make_faiss_engine(dims);
    if (name.rfind("korvane-", 0) == 0)
        return bench::make_korvane_engine(dims, name.substr(8), scratch_dir + "/" + name + ".scratch");
    throw std::runtime_error("unknown engine " + name);
}

int run(options_t const& options) {
    inputs_t inputs = load_inputs(options);
    std::size_t threads = options.number("threads", 2);
    std::size_t passes = std::max<std::size_t>(1, options.number("passes", 2));
    std::vector<std::size_t> expansions = parse_expansions(options.text("ef", "10,16,32,64,128,256"));
    auto engine = make_engine(options.text("engine"), inputs.base.dims, options.text("data"));

    bench::engine_report_t report;
    report.name = engine->name();
    malloc_trim(0);
    double resident_before = resident_mib();
    auto start = std::chrono::steady_clock::now();
    if (options.has("load")) {
        if (!engine->load(options.text("load")))
            throw std::runtime_error(report.name + " cannot load a saved index");
    } else {
        engine->build(inputs.base, threads);
    }
    double const seconds = seconds_since(start);
    // A loaded index reports no build: the report then keeps the build figures of the run that built it.
    report.build_seconds = options.has("load") ? 0 : seconds;
    report.rss_mib = resident_mib() - resident_before;
    report.index_mib = engine->index_bytes() / (1024.0 * 1024.0);
    report.vectors_mib = engine->vector_bytes() / (1024.0 * 1024.0);
    std::fprintf(stderr, "%s: %s %zu vectors in %.2f s\n", report.name.c_str(),
                 options.has("load") ? "loaded" : "built", inputs.base.rows, seconds);

    std::size_t count = inputs.queries.rows;
    std::vector<std::int64_t> ids(count * wanted);
    for (std::size_t expansion : expansions) {
        engine->set_search_expansion(expansion);
        // A short untimed pass warms the caches and the per-thread buffers. Searches run on this thread alone, so
        // they are timed by this thread's processor time: on a shared machine the wall clock also counts the time
        // slices other processes take. The fastest of several passes is kept, as contention only slows one down.
        engine->search(inputs.queries, 0, std::min<std::size_t>(count, 200), wanted, ids.data());
        double seconds = 0, wall_seconds = 0;
        for (std::size_t pass = 0; pass != passes; ++pass) {
            double cpu_start = thread_cpu_seconds();
            start = std::chrono::steady_clock::now();
            engine->search(inputs.queries, 0, count, wanted, ids.data());
            double elapsed = thread_cpu_seconds() - cpu_start;
            double wall = seconds_since(start);
            seconds = pass == 0 ? elapsed : std::min(seconds, elapsed);
            wall_seconds = pass == 0 ? wall : std::min(wall_seconds, wall);
        }
        bench::search_point_t point;
        point.expansion = expansion;
        point.queries_per_second = double(count) / seconds;
        point.recall = bench::recall_at_k(inputs.base, inputs.queries, inputs.truth, ids, wanted);
        report.points.push_back(point);
        std::string counters = engine->take_search_counters();
        if (!counters.empty())
            std::fprintf(stderr, "%s: ef=%zu %s\n", report.name.c_str(), expansion, counters.c_str());
        std::fprintf(stderr, "%s: ef=%zu recall@10=%.4f %.0f q/s (%.0f by the wall clock)\n", report.name.c_str(),
                     expansion, point.recall, point.queries_per_second, double(count) / wall_seconds);
    }
    bench::append_report(options.text("out"), report);
    if (options.has("save") && !engine->save(options.text("save")))
        throw std::runtime_error(report.name + " cannot save to " + options.text("save"));
    return 0;
}

int make_report(options_t const& options) {
    auto reports = bench::read_reports(options.text("in"));
    std::ofstream txt(options.text("txt"), std::ios::trunc);
    bench::print_table(txt, reports);
    bench::print_table(std::cout, reports);
    if (!txt)
        throw std::runtime_error("cannot write " + options.text("txt"));
    if (options.has("png"))
        bench::write_plot(options.text("plot-data"), options.text("plot-script"), options.text("png"), reports);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        std::string command = argc > 1 ? argv[1] : "";
        options_t options = parse(argc, argv);
        if (command == "truth") {
            inputs_t inputs = load_inputs(options);
            std::fprintf(stderr, "ground truth of %zu queries over %zu base vectors ready\n", inputs.truth.queries,
                         inputs.base.rows);
            return 0;
        }
        if (command == "run")
            return run(options);
        if (command == "report")
            return make_report(options);
        std::cerr << "usage: ann_bench truth|run|report --name value ... (see the head of ann_bench.cpp)\n";
        return 2;
    } catch (std::exception const& e) {
        std::cerr << "ann_bench: " << e.what() << '\n';
        return 1;
    }
}
