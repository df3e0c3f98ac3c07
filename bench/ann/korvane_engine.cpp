#include "bench/ann/engine.h"

namespace vemo {
namespace korvane {
namespace bench {

std::unique_ptr<engine_t> make_korvane_engine(std::size_t, std::string const&) { return nullptr; }

} // namespace bench
} // namespace korvane
} // namespace vemo
