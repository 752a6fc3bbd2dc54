#pragma once

#include <string>
#include <vector>

#include "binding/convert.hpp"

// Parameters taking a str, and one taking a path or several.
namespace binding {

// A str parameter, held as UTF-8.
struct Text {
  std::string text;
};

// A path (str or os.PathLike) or an iterable of paths, held as UTF-8.
struct PathList {
  std::vector<std::string> paths;
};

template <>
struct From<Text> {
  static bool convert(PyObject* object, Text& out);
};

template <>
struct From<PathList> {
  static bool convert(PyObject* object, PathList& out);
};

}  // namespace binding
