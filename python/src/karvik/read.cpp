#include "karvik/read.hpp"

#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "binding/call.hpp"
#include "binding/ref.hpp"
#include "binding/value.hpp"
#include "karvik/growing_buffer.hpp"
#include "karvik/run.hpp"
#include "las/point_fields.hpp"

namespace karvik_python {
namespace {

using binding::Ref;
using binding::Result;
using binding::Shared;
using karvik_core::TileIndexError;
using karvik_core::pipeline::ExtractionPipeline;

constexpr char kDoc[] =
    "read(index_path, geometry, progress=None)\n--\n\n"
    "Read the points inside a geometry from LAS/LAZ files using a GeoPackage tile index.\n\n"
    "The same selection as extract(), kept in memory instead of written to a file.\n\n"
    "Args:\n"
    "    index_path: Path to the GeoPackage tile index file\n"
    "    geometry: Extraction geometry (BoundingBox, Cylinder or Frustum)\n"
    "    progress: Called about ten times a second and at the end with an ExtractionProgress (default: None)\n\n"
    "Returns:\n"
    "    ExtractedPoints: The points as a NumPy structured array of the point format's fields,\n"
    "    with the scale and offset of their coordinates\n\n"
    "Raises:\n"
    "    ImportError: If NumPy cannot be imported\n"
    "    ValueError: If the geometry is not valid or the extraction fails";

// What an ExtractedPoints instance holds.
struct ExtractedPoints {
  Shared points;  // the structured array
  Shared scale;   // (x, y, z) tuples of floats
  Shared offset;
  unsigned point_format;
};

// Unpacks the kept records, in the output's layout, into rows of the point
// format's fields, in memory that the array takes over.
class ArraySink : public karvik_core::pipeline::RecordSink {
 public:
  std::expected<void, TileIndexError> start(const las::Header& header) override {
    header_ = header;
    fields_ = las::point_fields(header.point_format(), header.vlrs());
    unpacker_.emplace(fields_, header.point_format().record_length());
    return {};
  }

  std::expected<void, TileIndexError> append(std::span<const std::uint8_t> records) override {
    const std::size_t rows = records.size() / header_.point_format().record_length();
    std::uint8_t* at = rows > 0 ? memory_.extend(rows * unpacker_->row_size()) : nullptr;
    if (rows > 0 && at == nullptr) {
      exhausted_ = true;
      return std::unexpected(TileIndexError::output_error("no memory for the points"));
    }
    unpacker_->unpack(records, at);
    return {};
  }

  const las::Header& header() const { return header_; }
  const std::vector<las::PointField>& fields() const { return fields_; }
  std::size_t row_size() const { return unpacker_->row_size(); }
  bool exhausted() const { return exhausted_; }
  GrowingBuffer take_memory() { return std::move(memory_); }

 private:
  las::Header header_;
  std::vector<las::PointField> fields_;
  std::optional<las::FieldUnpacker> unpacker_;
  GrowingBuffer memory_;
  bool exhausted_ = false;
};

// The memory of an array of points: exported through the buffer protocol,
// freed when the last array over it goes.
int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  const GrowingBuffer& memory = binding::Class<GrowingBuffer>::value(self);
  return PyBuffer_FillInfo(view, self, memory.data(), static_cast<Py_ssize_t>(memory.size()), 0, flags);
}

PyTypeObject* point_memory_class() {
  return binding::Class<GrowingBuffer>::create({
      .name = "karvik._PointMemory",
      .doc = "The memory of the array that read() returns.",
      .constructor = nullptr,
      .repr = nullptr,
      .str = nullptr,
      .compare = nullptr,
      .hash = nullptr,
      .buffer = &get_buffer,
      .methods = nullptr,
      .properties = nullptr,
  });
}

// NumPy, imported on the first read(); ImportError saying what needs it.
Ref import_numpy() {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (numpy || !PyErr_ExceptionMatches(PyExc_ImportError)) return numpy;
  Ref cause = binding::fetch_exception();
  Ref message(PyUnicode_FromString("karvik.read() needs NumPy, which cannot be imported"));
  binding::raise_from(PyExc_ImportError, message.get(), std::move(cause));
  return Ref();
}

// "<i4", "<u2", "<f8", "?"; an array field as (format, count).
Ref field_format(const las::PointField& field) {
  std::string text;
  switch (field.type) {
    case las::FieldType::Signed: text = "<i"; break;
    case las::FieldType::Unsigned: text = "<u"; break;
    case las::FieldType::Float: text = "<f"; break;
    case las::FieldType::Flag: text = "?"; break;
  }
  if (field.type != las::FieldType::Flag) text += std::to_string(field.size);
  if (field.count == 1) return Ref(PyUnicode_FromString(text.c_str()));
  return Ref(Py_BuildValue("(sI)", text.c_str(), static_cast<unsigned>(field.count)));
}

// numpy.dtype({"names": ..., "formats": ..., "offsets": ..., "itemsize": ...}) of the rows.
Ref row_dtype(PyObject* numpy, const std::vector<las::PointField>& fields, std::size_t row_size) {
  Ref names(PyList_New(0)), formats(PyList_New(0)), offsets(PyList_New(0));
  if (!names || !formats || !offsets) return Ref();
  std::size_t offset = 0;
  for (const las::PointField& field : fields) {
    Ref name(PyUnicode_FromStringAndSize(field.name.data(), static_cast<Py_ssize_t>(field.name.size())));
    Ref format = field_format(field);
    Ref at(PyLong_FromSize_t(offset));
    if (!name || !format || !at || PyList_Append(names.get(), name.get()) < 0 ||
        PyList_Append(formats.get(), format.get()) < 0 || PyList_Append(offsets.get(), at.get()) < 0) {
      return Ref();
    }
    offset += field.unpacked_size();
  }
  Ref spec(Py_BuildValue("{sOsOsOsn}", "names", names.get(), "formats", formats.get(), "offsets", offsets.get(),
                         "itemsize", static_cast<Py_ssize_t>(row_size)));
  if (!spec) return Ref();
  return Ref(PyObject_CallMethod(numpy, "dtype", "O", spec.get()));
}

// The array over the sink's memory, which it takes over: numpy.frombuffer.
Ref points_array(PyObject* numpy, ArraySink& sink) {
  Ref dtype = row_dtype(numpy, sink.fields(), sink.row_size());
  if (!dtype) return Ref();
  if (point_memory_class() == nullptr) return Ref();
  Ref memory(binding::Class<GrowingBuffer>::wrap(sink.take_memory()));
  if (!memory) return Ref();
  return Ref(PyObject_CallMethod(numpy, "frombuffer", "OO", memory.get(), dtype.get()));
}

Ref triple(double x, double y, double z) { return Ref(Py_BuildValue("(ddd)", x, y, z)); }

Result<ExtractedPoints> read(binding::Path index_path, PyObject* geometry_object,
                             binding::OrNone<binding::Callable> progress) {
  const Result<Geometry> geometry = geometry_of(geometry_object);
  if (!geometry) return std::unexpected(geometry.error());
  const Ref numpy = import_numpy();
  if (!numpy) return binding::already_raised();
  const ExtractionPipeline pipeline(std::move(index_path.text), std::string(), false);
  ArraySink sink;
  auto stats = run_watched(*geometry, progress ? progress->object : nullptr,
                           [&](const auto& value, std::stop_token stop, auto* counters) {
                             return pipeline.execute_into(sink, value, stop, counters);
                           });
  if (!stats && sink.exhausted() && stats.error().type != nullptr) {
    return std::unexpected(binding::Raise{PyExc_MemoryError, "no memory for the points"});
  }
  if (!stats) return std::unexpected(std::move(stats.error()));

  Ref points = points_array(numpy.get(), sink);
  const las::Transforms& t = sink.header().transforms();
  Ref scale = triple(t.x.scale, t.y.scale, t.z.scale);
  Ref offset = triple(t.x.offset, t.y.offset, t.z.offset);
  if (!points || !scale || !offset) return binding::already_raised();
  return ExtractedPoints{Shared(std::move(points)), Shared(std::move(scale)), Shared(std::move(offset)),
                         sink.header().point_format().id};
}

constexpr char kName[] = "ExtractedPoints";

// The class has no constructor: only read() makes results, and pickle through this.
constexpr char kUnpickleDoc[] =
    "_unpickle(points, scale, offset, point_format)\n--\n\n"
    "A result with these values; what unpickling calls.";

Result<ExtractedPoints> unpickle(PyObject* points, PyObject* scale, PyObject* offset, unsigned point_format) {
  for (PyObject* triple : {scale, offset}) {
    if (!PyTuple_Check(triple) || PyTuple_Size(triple) != 3) {
      return std::unexpected(binding::Raise{PyExc_TypeError, "scale and offset must be 3-tuples"});
    }
  }
  return ExtractedPoints{Shared(Ref(Py_NewRef(points))), Shared(Ref(Py_NewRef(scale))), Shared(Ref(Py_NewRef(offset))),
                         point_format};
}

binding::Reduction<Shared, Shared, Shared, unsigned> reduction(const ExtractedPoints& result) {
  return {"_unpickle", {result.points, result.scale, result.offset, result.point_format}};
}

Shared points(const ExtractedPoints& result) { return result.points; }
Shared scale(const ExtractedPoints& result) { return result.scale; }
Shared offset(const ExtractedPoints& result) { return result.offset; }
unsigned point_format(const ExtractedPoints& result) { return result.point_format; }

// Scaled coordinates, computed on each access: raw * scale + offset in float64.
template <int Axis>
Result<Shared> coordinate(const ExtractedPoints& result) {
  static constexpr const char* kField[] = {"X", "Y", "Z"};
  Ref raw(PyMapping_GetItemString(result.points.get(), kField[Axis]));
  if (!raw) return binding::already_raised();
  Ref scaled(PyNumber_Multiply(raw.get(), PyTuple_GetItem(result.scale.get(), Axis)));
  if (!scaled) return binding::already_raised();
  Ref shifted(PyNumber_Add(scaled.get(), PyTuple_GetItem(result.offset.get(), Axis)));
  if (!shifted) return binding::already_raised();
  return Shared(std::move(shifted));
}

std::string repr(const ExtractedPoints& result) {
  const Py_ssize_t count = PyObject_Length(result.points.get());
  if (count < 0) PyErr_Clear();
  return "ExtractedPoints(point_format=" + std::to_string(result.point_format) +
         ", points=" + std::to_string(count < 0 ? 0 : count) + ")";
}

}  // namespace

PyMethodDef* read_definition() {
  static PyMethodDef definition = binding::function<kDoc, &read>();
  return &definition;
}

PyTypeObject* create_extracted_points_class() {
  static PyMethodDef methods[] = {
      binding::static_method<kName, kUnpickleDoc, &unpickle>(),
      binding::reduce_method<&reduction>(),
      {},
  };
  static PyGetSetDef properties[] = {
      binding::property<&points>("points", "The points: a NumPy structured array of the point format's fields."),
      binding::property<&scale>("scale", "The scale of X, Y and Z, as the output's header would have it."),
      binding::property<&offset>("offset", "The offset of X, Y and Z, as the output's header would have it."),
      binding::property<&point_format>("point_format", "The LAS point format of the points."),
      binding::property<&coordinate<0>>("x", "The x coordinates, scaled: a new float64 array."),
      binding::property<&coordinate<1>>("y", "The y coordinates, scaled: a new float64 array."),
      binding::property<&coordinate<2>>("z", "The z coordinates, scaled: a new float64 array."),
      {},
  };
  return binding::Class<ExtractedPoints>::create({
      .name = "karvik.ExtractedPoints",
      .doc = "The points that read() kept, as a NumPy structured array, with the scale and offset of their "
             "coordinates.",
      .constructor = nullptr,
      .repr = binding::text_slot<&repr>,
      .str = nullptr,
      .compare = nullptr,
      .hash = nullptr,
      .methods = methods,
      .properties = properties,
  });
}

}  // namespace karvik_python
