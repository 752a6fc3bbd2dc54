#pragma once

#include <string>
#include <vector>

namespace karvik_cli {

// Exit statuses: 0 success, 1 a failed command, 2 a usage error, 128 + the
// signal for a command stopped by one (130 for Ctrl-C).
inline constexpr int kFailure = 1;
inline constexpr int kUsage = 2;

// Each subcommand takes the words after its name.
int run_extract(std::vector<std::string> words);
int run_index(std::vector<std::string> words);
int run_info(std::vector<std::string> words);

// The usage text of a subcommand, or of the program for "".
const char* usage(const std::string& command);
// Prints "karvik: MESSAGE" and the command's usage on stderr; returns kUsage.
int usage_error(const std::string& command, const std::string& message);

}  // namespace karvik_cli
