// hnswlib as its users build it: header-only, compiled for the host processor (see CMakeLists.txt).
#include <atomic>
#include <queue>
#include <thread>

#include <hnswlib/hnswlib.h>

#include "bench/ann/engine.h"

namespace vemo {
namespace korvane {
namespace bench {

namespace {

class hnswlib_engine_t final : public engine_t {
  public:
    explicit hnswlib_engine_t(std::size_t dims) : space_(dims), dims_(dims) {}

    std::string name() const override { return "hnswlib f32"; }

    void build(dataset_t const& base, std::size_t threads) override {
        index_ = std::make_unique<hnswlib::HierarchicalNSW<float>>(&space_, base.rows, shared_connectivity,
                                                                    shared_insertion_expansion);
        std::atomic<std::size_t> next{0};
        auto work = [&] {
            for (std::size_t i = next++; i < base.rows; i = next++)
                index_->addPoint(base.float_row(i), hnswlib::labeltype(i));
        };
        std::vector<std::thread> pool;
        for (std::size_t t = 0; t != threads; ++t)
            pool.emplace_back(work);
        for (auto& thread : pool)
            thread.join();
    }

    void set_search_expansion(std::size_t expansion) override { index_->setEf(expansion); }

    void search(dataset_t const& queries, std::size_t first, std::size_t count, std::size_t k,
                std::int64_t* ids) override {
        for (std::size_t q = first; q != first + count; ++q) {
            auto found = index_->searchKnn(queries.float_row(q), k);
            std::int64_t* row = ids + (q - first) * k;
            std::fill(row, row + k, std::int64_t(-1));
            // The queue pops the farthest first.
            for (std::size_t j = found.size(); j-- != 0; found.pop())
                row[j] = std::int64_t(found.top().second);
        }
    }

    double index_bytes() const override {
        double bytes = double(index_->max_elements_) * double(index_->size_data_per_element_);
        for (std::size_t i = 0; i != index_->cur_element_count; ++i)
            bytes += double(index_->element_levels_[i]) * double(index_->size_links_per_element_);
        bytes += double(index_->link_list_locks_.size() + index_->link_list_update_locks_.size()) * sizeof(std::mutex);
        return bytes;
    }

    double vector_bytes() const override { return double(index_->cur_element_count) * double(dims_) * sizeof(float); }

  private:
    hnswlib::L2Space space_;
    std::size_t dims_;
    std::unique_ptr<hnswlib::HierarchicalNSW<float>> index_;
};

} // namespace

std::unique_ptr<engine_t> make_hnswlib_engine(std::size_t dims) { return std::make_unique<hnswlib_engine_t>(dims); }

} // namespace bench
} // namespace korvane
} // namespace vemo
