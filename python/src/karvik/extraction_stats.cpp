#include <cstdint>
#include <cstddef>
#include <string>
#include <tuple>

#include "binding/call.hpp"
#include "binding/value.hpp"
#include "karvik/classes.hpp"
#include "pipeline/summary.hpp"
#include "text/number.hpp"

namespace karvik_python {
namespace {

using karvik_core::render_two_decimals;
using PyExtractionStats = binding::Class<Statistics>;

std::string str(const Statistics& stats) {
  return karvik_core::pipeline::summary(stats.points_written, stats.tiles_processed, stats.elapsed_time);
}

std::string repr(const Statistics& stats) {
  return "ExtractionStats(tiles_processed=" + std::to_string(stats.tiles_processed) +
         ", points_read=" + std::to_string(stats.points_read) +
         ", points_written=" + std::to_string(stats.points_written) +
         ", elapsed_time=" + render_two_decimals(stats.elapsed_time) + "s)";
}

constexpr char kName[] = "ExtractionStats";

// The class has no constructor: only extract() makes statistics, and pickle
// through this.
constexpr char kUnpickleDoc[] =
    "_unpickle(tiles_processed, points_read, points_written, elapsed_time)\n--\n\n"
    "Statistics with these values; what unpickling calls.";

Statistics unpickle(std::size_t tiles_processed, std::uint64_t points_read, std::uint64_t points_written,
                    double elapsed_time) {
  return {tiles_processed, points_read, points_written, elapsed_time};
}

std::tuple<std::size_t, std::uint64_t, std::uint64_t, double> fields(const Statistics& stats) {
  return {stats.tiles_processed, stats.points_read, stats.points_written, stats.elapsed_time};
}

binding::Reduction<std::size_t, std::uint64_t, std::uint64_t, double> reduction(const Statistics& stats) {
  return {"_unpickle", fields(stats)};
}

}  // namespace

PyTypeObject* create_extraction_stats_class() {
  static PyMethodDef methods[] = {
      binding::static_method<kName, kUnpickleDoc, &unpickle>(),
      binding::reduce_method<&reduction>(),
      {},
  };
  static PyGetSetDef properties[] = {
      binding::property<&Statistics::tiles_processed>("tiles_processed",
                                                      "Number of tiles that were successfully processed."),
      binding::property<&Statistics::points_read>("points_read", "Total number of points read from all tiles."),
      binding::property<&Statistics::points_written>("points_written",
                                                     "Number of points that passed the geometry filter."),
      binding::property<&Statistics::elapsed_time>("elapsed_time", "Total time taken for the extraction in seconds."),
      {},
  };
  return PyExtractionStats::create({
      .name = "karvik.ExtractionStats",
      .doc = "Python wrapper for extraction statistics.",
      .constructor = nullptr,
      .repr = binding::text_slot<&repr>,
      .str = binding::text_slot<&str>,
      .compare = binding::compare<&fields>,
      .hash = binding::hash<&fields>,
      .methods = methods,
      .properties = properties,
  });
}

}  // namespace karvik_python
