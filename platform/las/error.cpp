#include "las/error.hpp"

namespace las {

Error Error::from_errno(int err, const std::string& path) {
  std::error_code code(err, std::generic_category());
  return Error(code, code.message() + ": " + path);
}

}  // namespace las
