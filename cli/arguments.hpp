#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karvik_cli {

// The words of a command line after its subcommand. Options are taken out
// by name; what remains must be positional (words after "--" always are).
// Errors are usage errors, in words for the user.
class Arguments {
 public:
  explicit Arguments(std::vector<std::string> words);

  // Whether --name is present.
  bool flag(std::string_view name);
  // The word after --name, if the option is present.
  std::expected<std::optional<std::string>, std::string> value(std::string_view name);
  // The numbers after --name: at least `min`, taken while they are numbers, at most `max`.
  std::expected<std::optional<std::vector<double>>, std::string> numbers(std::string_view name, std::size_t min,
                                                                          std::size_t max);
  // The remaining words; an option not taken above is an error.
  std::expected<std::vector<std::string>, std::string> positionals() const;

 private:
  // The position of --name, removed from the words; several are an error.
  std::expected<std::optional<std::size_t>, std::string> take(std::string_view name);

  std::vector<std::string> words_;
  std::size_t options_end_;  // words from here on follow "--"
};

// The word as a number, when all of it is one ("12.5", "-3", "1e3", "nan").
std::optional<double> parse_number(const std::string& word);

}  // namespace karvik_cli
