#include <string>

#include "binding/call.hpp"
#include "karvik/classes.hpp"

namespace karvik_python {
namespace {

using PyExtractionProgress = binding::Class<ProgressReport>;

std::string repr(const ProgressReport& progress) {
  return "ExtractionProgress(tiles_done=" + std::to_string(progress.tiles_done) +
         ", tiles_total=" + std::to_string(progress.tiles_total) +
         ", points_read=" + std::to_string(progress.points_read) +
         ", points_written=" + std::to_string(progress.points_written) + ")";
}

}  // namespace

PyTypeObject* create_extraction_progress_class() {
  static PyGetSetDef properties[] = {
      binding::property<&ProgressReport::tiles_done>("tiles_done", "Tiles read and written so far."),
      binding::property<&ProgressReport::tiles_total>("tiles_total",
                                                      "Tiles whose footprint meets the geometry; 0 until known."),
      binding::property<&ProgressReport::points_read>("points_read", "Points read so far."),
      binding::property<&ProgressReport::points_written>("points_written", "Points written so far."),
      {},
  };
  return PyExtractionProgress::create({
      .name = "karvik.ExtractionProgress",
      .doc = "How far an extraction has got: what a progress callback receives.",
      .constructor = nullptr,
      .repr = binding::text_slot<&repr>,
      .str = nullptr,
      .compare = nullptr,
      .hash = nullptr,
      .methods = nullptr,
      .properties = properties,
  });
}

}  // namespace karvik_python
