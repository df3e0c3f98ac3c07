// This library's dense index through its C++ API, storing the vectors as f32, f16, bf16 or i8.
#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "bench/ann/engine.h"
#include "index/index_dense.h"
#include "index/index_dense_persistence.h"

namespace vemo {
namespace korvane {
namespace bench {

namespace {

scalar_kind_t scalar_from_name(std::string const& name) {
    if (name == "f32")
        return scalar_kind_t::f32;
    if (name == "f16")
        return scalar_kind_t::f16;
    if (name == "bf16")
        return scalar_kind_t::bf16;
    if (name == "i8")
        return scalar_kind_t::i8;
    throw std::runtime_error("unsupported storage " + name);
}

// The search expansion is fixed when an index is made, so each expansion gets its own index loaded from
// the file the build saved; all of them search the very same graph.
class korvane_engine_t final : public engine_t {
  public:
    korvane_engine_t(std::size_t dims, std::string scalar, std::string scratch_path)
        : dims_(dims), scalar_name_(std::move(scalar)), scalar_(scalar_from_name(scalar_name_)),
          scratch_path_(std::move(scratch_path)) {}

    ~korvane_engine_t() override {
        if (source_path_ == scratch_path_)
            std::remove(scratch_path_.c_str());
    }

    std::string name() const override { return "korvane " + scalar_name_; }

    void build(dataset_t const& base, std::size_t threads) override {
        index_ = std::make_unique<index_dense_t>(make_index(0));
        if (!index_->try_reserve(index_limits_t{base.rows, threads, threads}))
            throw std::runtime_error("cannot reserve " + std::to_string(base.rows) + " entries");
        std::atomic<std::size_t> next{0};
        std::atomic<char const*> failure{nullptr};
        auto work = [&] {
            for (std::size_t i = next++; i < base.rows && !failure; i = next++) {
                auto added = index_->add(i, base.float_row(i));
                if (added.error)
                    failure = added.error.release();
            }
        };
        std::vector<std::thread> pool;
        for (std::size_t t = 0; t != threads; ++t)
            pool.emplace_back(work);
        for (auto& thread : pool)
            thread.join();
        if (failure)
            throw std::runtime_error(std::string("add failed: ") + failure.load());
        rows_ = base.rows;
    }

    bool load(std::string const& path) override {
        source_path_ = path;
        set_search_expansion(0);
        rows_ = index_->size();
        return true;
    }

    void set_search_expansion(std::size_t expansion) override {
        if (source_path_.empty()) {
            save(scratch_path_);
            source_path_ = scratch_path_;
        }
        index_.reset();
        index_ = std::make_unique<index_dense_t>(make_index(expansion));
        input_file_t file(source_path_.c_str());
        index_->load(file).error.raise();
        // A loaded index keeps the thread contexts reserved before the load, and a fresh one has none.
        if (!index_->try_reserve(index_limits_t{index_->size(), 1, 1}))
            throw std::runtime_error("cannot reserve a search context");
    }

    void search(dataset_t const& queries, std::size_t first, std::size_t count, std::size_t k,
                std::int64_t* ids) override {
        for (std::size_t q = first; q != first + count; ++q) {
            auto found = index_->search(queries.float_row(q), k);
            found.error.raise();
            hops_ += found.hop_count;
            distances_ += found.distance_count;
            ++queries_;
            std::int64_t* row = ids + (q - first) * k;
            std::size_t j = 0;
            for (; j != found.count; ++j)
                row[j] = std::int64_t(found.key(j));
            for (; j != k; ++j)
                row[j] = -1;
        }
    }

    std::string take_search_counters() override {
        char text[96];
        std::snprintf(text, sizeof(text), "%.1f hops and %.1f distances per query", double(hops_) / double(queries_),
                      double(distances_) / double(queries_));
        hops_ = distances_ = queries_ = 0;
        return text;
    }

    double index_bytes() const override { return double(index_->memory_usage()); }
    double vector_bytes() const override { return double(rows_) * double(index_->bytes_per_vector()); }

    bool save(std::string const& path) const override {
        output_file_t file(path.c_str());
        index_->save(file).error.raise();
        return true;
    }

  private:
    index_dense_t make_index(std::size_t search_expansion) const {
        dense_config_t config;
        config.connectivity = shared_connectivity;
        config.add_expansion = shared_insertion_expansion;
        config.search_expansion = search_expansion;
        auto made = index_dense_t::make(metric_punned_t::builtin(dims_, metric_kind_t::l2sq, scalar_), config);
        made.error.raise();
        return std::move(made.index);
    }

    std::size_t dims_;
    std::string scalar_name_;
    scalar_kind_t scalar_;
    std::string scratch_path_;
    std::unique_ptr<index_dense_t> index_;
    std::size_t rows_ = 0;
    // Sums over the searches since the counters were last taken.
    std::size_t hops_ = 0, distances_ = 0, queries_ = 0;
    // The file each search index is loaded from: the scratch file the build saved, or a caller's file.
    std::string source_path_;
};

} // namespace

std::unique_ptr<engine_t> make_korvane_engine(std::size_t dims, std::string const& scalar,
                                              std::string const& scratch_path) {
    return std::make_unique<korvane_engine_t>(dims, scalar, scratch_path);
}

} // namespace bench
} // namespace korvane
} // namespace vemo
