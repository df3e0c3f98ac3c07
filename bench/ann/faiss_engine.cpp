// FAISS IndexHNSWFlat as the Debian package ships it: built with OpenMP, which sets the thread counts.
#include <faiss/IndexFlatCodes.h>
#include <faiss/IndexHNSW.h>
#include <omp.h>

#include "bench/ann/engine.h"

namespace vemo {
namespace korvane {
namespace bench {

namespace {

class faiss_engine_t final : public engine_t {
  public:
    explicit faiss_engine_t(std::size_t dims) : index_(int(dims), int(shared_connectivity)), dims_(dims) {
        index_.hnsw.efConstruction = int(shared_insertion_expansion);
    }

    std::string name() const override { return "FAISS HNSWFlat f32"; }

    void build(dataset_t const& base, std::size_t threads) override {
        omp_set_num_threads(int(threads));
        index_.add(faiss::Index::idx_t(base.rows), base.floats.data());
        omp_set_num_threads(1);
    }

    void set_search_expansion(std::size_t expansion) override { index_.hnsw.efSearch = int(expansion); }

    // One batched call on one OpenMP thread, the way FAISS is meant to be searched: a call per query would pay
    // for a fresh visited table of every base row each time.
    void search(dataset_t const& queries, std::size_t first, std::size_t count, std::size_t k,
                std::int64_t* ids) override {
        distances_.resize(count * k);
        std::vector<faiss::Index::idx_t> labels(count * k);
        index_.search(faiss::Index::idx_t(count), queries.float_row(first), faiss::Index::idx_t(k), distances_.data(),
                      labels.data());
        for (std::size_t i = 0; i != labels.size(); ++i)
            ids[i] = std::int64_t(labels[i]);
    }

    double index_bytes() const override {
        auto const& graph = index_.hnsw;
        double bytes = double(graph.neighbors.size()) * sizeof(graph.neighbors[0]) +
                       double(graph.offsets.size()) * sizeof(graph.offsets[0]) +
                       double(graph.levels.size()) * sizeof(graph.levels[0]);
        if (auto const* flat = dynamic_cast<faiss::IndexFlatCodes const*>(index_.storage))
            bytes += double(flat->codes.size());
        return bytes;
    }

    double vector_bytes() const override { return double(index_.ntotal) * double(dims_) * sizeof(float); }

  private:
    faiss::IndexHNSWFlat index_;
    std::size_t dims_;
    std::vector<float> distances_;
};

} // namespace

std::unique_ptr<engine_t> make_faiss_engine(std::size_t dims) { return std::make_unique<faiss_engine_t>(dims); }

} // namespace bench
} // namespace korvane
} // namespace vemo
