#include "binding/call.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/ref.hpp"

namespace binding {
namespace {

std::string display(CallableName callable) {
  std::string text;
  if (!callable.owner.empty()) {
    text.append(callable.owner);
    text.push_back('.');
  }
  text.append(callable.name);
  text.append("()");
  return text;
}

std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text.append(names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ");
    text.append("'").append(names[i]).append("'");
  }
  return text;
}

bool too_many_positional(const Header& header, CallableName callable, std::size_t given) {
  std::string text = display(callable) + " takes ";
  if (header.required == header.count) {
    text += std::to_string(header.count);
  } else {
    text += "from " + std::to_string(header.required) + " to " + std::to_string(header.count);
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  return type_error(text);
}

// The parameter a keyword names, or header.count when none; a keyword
// that cannot be encoded names none.
std::size_t parameter_index(const Header& header, PyObject* keyword) {
  const std::optional<std::string_view> name = utf8_of(keyword);
  for (std::size_t i = 0; name && i < header.count; ++i) {
    if (header.parameters[i] == *name) return i;
  }
  return header.count;
}

}  // namespace

bool bind_arguments(const Header& header, CallableName callable, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(PyTuple_Size(args));
  if (given > header.count) return too_many_positional(header, callable, given);
  for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
      const std::size_t index = parameter_index(header, keyword);
      if (index == header.count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display(callable).c_str(),
                     keyword);
        return false;
      }
      if (slots[index] != nullptr) {
        return type_error(display(callable) + " got multiple values for argument '" +
                          std::string(header.parameters[index]) + "'");
      }
      slots[index] = value;
    }
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < header.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(header.parameters[i]);
  }
  if (missing.empty()) return true;
  return type_error(display(callable) + " missing " + std::to_string(missing.size()) + " required positional " +
                    (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing));
}

void name_conversion_error(std::string_view name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref cause = fetch_exception();
  Ref parameter(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!parameter) return;
  Ref message(PyUnicode_FromFormat("argument '%U': %S", parameter.get(), cause.get()));
  raise_from(PyExc_TypeError, message.get(), std::move(cause));
}

}  // namespace binding
