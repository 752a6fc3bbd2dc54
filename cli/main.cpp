// karvik: the command line. Subcommands index, extract and info; see usage().
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.hpp"

namespace karvik_cli {

const char* usage(const std::string& command) {
  if (command == "index") {
    return "usage: karvik index INDEX PATH... [--layer NAME] [--update] [--chunks | --no-chunks]\n"
           "  Builds the GeoPackage tile index INDEX from LAS/LAZ files: each PATH is a file, or a folder\n"
           "  searched for .las and .laz files. --layer names the feature table (default: tiles);\n"
           "  --update brings an existing index up to date with the files. --chunks (the default) also\n"
           "  records the bounds of each tile's chunks, so that extractions read only the chunks they\n"
           "  need; --no-chunks records headers only (and an update drops the chunk bounds).\n";
  }
  if (command == "extract") {
    return "usage: karvik extract INDEX OUTPUT GEOMETRY [--verbose] [--quiet]\n"
           "  Writes the points of the indexed tiles inside GEOMETRY to OUTPUT (LAZ when it ends in .laz).\n"
           "  GEOMETRY is one of\n"
           "    --box MIN_X MAX_X MIN_Y MAX_Y [MIN_Z MAX_Z]\n"
           "    --cylinder CENTER_X CENTER_Y RADIUS\n"
           "    --frustum X Y Z PHI1 THETA1 PHI2 THETA2 MIN_DISTANCE MAX_DISTANCE\n"
           "      (angles in degrees: azimuth clockwise from north, elevation above the horizon)\n"
           "  --verbose logs the progress of each tile; --quiet shows errors only.\n";
  }
  if (command == "info") {
    return "usage: karvik info FILE... [--json]\n"
           "  Describes LAS/LAZ files: header, coordinate system, VLRs and EVLRs, compression.\n"
           "  --json prints one JSON object per line and file.\n";
  }
  return "usage: karvik COMMAND [ARGUMENTS]\n"
         "  karvik index INDEX PATH... [--layer NAME] [--update] [--chunks | --no-chunks]\n"
         "  karvik extract INDEX OUTPUT GEOMETRY [--verbose] [--quiet]\n"
         "  karvik info FILE... [--json]\n"
         "  karvik COMMAND --help    describes a command\n";
}

int usage_error(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "karvik: %s\n%s", message.c_str(), usage(command));
  return kUsage;
}

}  // namespace karvik_cli

int main(int argc, char** argv) {
  using namespace karvik_cli;
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) return usage_error("", "give a command");
  const std::string command = words.front();
  words.erase(words.begin());
  if (command == "--help" || command == "-h") {
    std::fputs(usage(""), stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("karvik %s\n", KARVIK_VERSION);
    return 0;
  }
  int (*run)(std::vector<std::string>) = command == "index"     ? run_index
                                         : command == "extract" ? run_extract
                                         : command == "info"    ? run_info
                                                                : nullptr;
  if (!run) return usage_error("", "unknown command " + command);
  for (const std::string& word : words) {
    if (word == "--") break;
    if (word == "--help" || word == "-h") {
      std::fputs(usage(command), stdout);
      return 0;
    }
  }
  return run(std::move(words));
}
