#include <string>

#include "binding/call.hpp"
#include "karvik/classes.hpp"
#include "text/number.hpp"

namespace karvik_python {
namespace {

using karvik_core::render_two_decimals;
using PyExtractionStats = binding::Class<Statistics>;

std::string str(const Statistics& stats) {
  return "Extracted " + std::to_string(stats.points_written) + " points from " +
         std::to_string(stats.tiles_processed) + " tiles in " + render_two_decimals(stats.elapsed_time) + " seconds";
}

std::string repr(const Statistics& stats) {
  return "ExtractionStats(tiles_processed=" + std::to_string(stats.tiles_processed) +
         ", points_read=" + std::to_string(stats.points_read) +
         ", points_written=" + std::to_string(stats.points_written) +
         ", elapsed_time=" + render_two_decimals(stats.elapsed_time) + "s)";
}

}  // namespace

PyTypeObject* create_extraction_stats_class() {
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
      .methods = nullptr,
      .properties = properties,
  });
}

}  // namespace karvik_python
