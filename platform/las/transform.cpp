#include "las/transform.hpp"

#include "las/number_text.hpp"

namespace las {

Error Transform::inverse_error(double value) const {
  return Error("the transform " + describe(*this) + " cannot be inversely applied to " + number_text(value));
}

std::string describe(const Transform& transform) {
  return "{scale: " + number_text(transform.scale) + ", offset: " + number_text(transform.offset) + "}";
}

}  // namespace las
