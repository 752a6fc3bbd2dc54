#include "arguments.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace karvik_cli {

std::optional<double> parse_number(const std::string& word) {
  if (word.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(word.c_str(), &end);
  if (end != word.c_str() + word.size() || errno == ERANGE) return std::nullopt;
  return value;
}

Arguments::Arguments(std::vector<std::string> words) : words_(std::move(words)) {
  const auto separator = std::find(words_.begin(), words_.end(), "--");
  options_end_ = static_cast<std::size_t>(separator - words_.begin());
  if (separator != words_.end()) words_.erase(separator);
}

std::expected<std::optional<std::size_t>, std::string> Arguments::take(std::string_view name) {
  const std::string option = "--" + std::string(name);
  const auto end = words_.begin() + static_cast<std::ptrdiff_t>(options_end_);
  const auto found = std::find(words_.begin(), end, option);
  if (found == end) return std::nullopt;
  if (std::find(found + 1, end, option) != end) return std::unexpected(option + " is given more than once");
  const auto at = static_cast<std::size_t>(found - words_.begin());
  words_.erase(found);
  --options_end_;
  return at;
}

bool Arguments::flag(std::string_view name) {
  const auto at = take(name);
  return !at || at->has_value();  // a repeated flag is still the flag
}

std::expected<std::optional<std::string>, std::string> Arguments::value(std::string_view name) {
  const auto at = take(name);
  if (!at) return std::unexpected(at.error());
  if (!*at) return std::nullopt;
  if (**at >= options_end_) return std::unexpected("--" + std::string(name) + " needs a value");
  std::string word = std::move(words_[**at]);
  words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(**at));
  --options_end_;
  return word;
}

std::expected<std::optional<std::vector<double>>, std::string> Arguments::numbers(std::string_view name,
                                                                                   std::size_t min,
                                                                                   std::size_t max) {
  const auto at = take(name);
  if (!at) return std::unexpected(at.error());
  if (!*at) return std::nullopt;
  std::vector<double> values;
  while (values.size() < max && **at < options_end_) {
    const auto number = parse_number(words_[**at]);
    if (!number) break;
    values.push_back(*number);
    words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(**at));
    --options_end_;
  }
  if (values.size() < min || (min != max && values.size() != min && values.size() != max)) {
    const std::string count = min == max ? std::to_string(min) : std::to_string(min) + " or " + std::to_string(max);
    return std::unexpected("--" + std::string(name) + " takes " + count + " numbers, got " +
                           std::to_string(values.size()));
  }
  return values;
}

std::expected<std::vector<std::string>, std::string> Arguments::positionals() const {
  for (std::size_t i = 0; i < options_end_; ++i) {
    if (words_[i].size() > 1 && words_[i][0] == '-' && !parse_number(words_[i])) {
      return std::unexpected("unknown option " + words_[i]);
    }
  }
  return words_;
}

}  // namespace karvik_cli
