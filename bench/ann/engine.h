#pragma once
// The common face of every index the side-by-side benchmark measures, and the figures it reports for each.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/ann/dataset.h"

namespace vemo {
namespace korvane {
namespace bench {

// Connectivity and insertion expansion shared by every engine so that the graphs are comparable.
constexpr std::size_t shared_connectivity = 16;
constexpr std::size_t shared_insertion_expansion = 128;

class engine_t {
  public:
    virtual ~engine_t() = default;
    // Label in the table, for example "hnswlib f32".
    virtual std::string name() const = 0;
    // Inserts every base row under its row number as key, from `threads` threads.
    virtual void build(dataset_t const& base, std::size_t threads) = 0;
    virtual void set_search_expansion(std::size_t expansion) = 0;
    // Searches the given queries one after another on the calling thread; writes `k` ids per query, -1 where
    // fewer were found.
    virtual void search(dataset_t const& queries, std::size_t first, std::size_t count, std::size_t k,
                        std::int64_t* ids) = 0;
    // The index's own size in bytes (graph, vectors, lookup tables), computed from its structures.
    virtual double index_bytes() const = 0;
    // Bytes taken by the stored vectors alone.
    virtual double vector_bytes() const = 0;
    // Persists the index for the Java run; engines that cannot return false.
    virtual bool save(std::string const& /*path*/) const { return false; }
    // Work done by the searches since the last call, per query, as text for the log ("" if not counted).
    virtual std::string take_search_counters() { return {}; }
    // Takes a saved index instead of building one (for profiling searches alone); false if unsupported.
    virtual bool load(std::string const& /*path*/) { return false; }
};

std::unique_ptr<engine_t> make_hnswlib_engine(std::size_t dims);
std::unique_ptr<engine_t> make_faiss_engine(std::size_t dims);
// `scalar` is one of "f32", "f16", "bf16", "i8"; `scratch_path` is a file the engine may write and removes.
std::unique_ptr<engine_t> make_korvane_engine(std::size_t dims, std::string const& scalar,
                                              std::string const& scratch_path);

struct search_point_t {
    std::size_t expansion = 0;
    double recall = 0;
    double queries_per_second = 0;
};

// One line of the table: what an engine cost to build and how it searched at each expansion.
struct engine_report_t {
    std::string name;
    double build_seconds = 0;
    double rss_mib = 0;     // growth of the process's resident set across the build
    double index_mib = 0;   // engine_t::index_bytes
    double vectors_mib = 0; // engine_t::vector_bytes
    std::vector<search_point_t> points;
};

// Tab-separated form, one line per search point, shared with the Java benchmark:
// name, build seconds, rss MiB, index MiB, vectors MiB, expansion, recall, queries per second.
void append_report(std::string const& path, engine_report_t const& report);
std::vector<engine_report_t> read_reports(std::string const& path);

} // namespace bench
} // namespace korvane
} // namespace vemo
