// Entry point of kelvo-check: shows what a script will do before kelvo does
// it, and never changes a file.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "check/script_check.h"
#include "platform/process.h"

#include "build_number.h"

namespace {

const char kUsage[] =
    "usage: kelvo-check [--dry-run [--seed N]] [SCRIPT]\n"
    "Reads SCRIPT (default: kelvo.txt beside kelvo-check) as kelvo reads its kelvo.txt,\n"
    "shows how each line is read, warns of what will likely go wrong, sums up the\n"
    "destinations and their chances, and changes no file. Findings go to standard\n"
    "error as SCRIPT:LINE: error|warning|note: ...\n"
    "  --dry-run       also show the first pass kelvo would make\n"
    "  --seed N        the second (since 1970) kelvo starts at; implies --dry-run\n"
    "                  (default: now)\n"
    "  -h, --help      show this text\n"
    "  -V, --version   show the version\n"
    "Exit status: 0 nothing wrong, 1 warnings, 2 errors (or a wrong option),\n"
    "3 kelvo would not start or would end at start.\n";

// Only decimal digits, and a number that fits.
bool ParseSeed(const char* text, uint64_t& seed) {
  const char* end = text + std::strlen(text);
  const std::from_chars_result read = std::from_chars(text, end, seed);
  return read.ec == std::errc() && read.ptr == end;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kelvo-check: %s\n%s", message.c_str(), kUsage);
  return kCheckErrors;
}

}  // namespace

int main(int argc, char** argv) {
  CheckOptions options;
  bool scriptGiven = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (!optionsEnded && (argument == "--help" || argument == "-h" || argument == "/?")) {
      std::fputs(kUsage, stdout);
      return kCheckClean;
    } else if (optionsEnded || argument[0] != '-' || argument[1] == '\0') {
      if (scriptGiven) return UsageError("only one script can be checked at a time");
      if (argument.empty()) return UsageError("the script's name is empty");
      options.scriptPath = argument;
      options.scriptPathInUtf8 = ArgumentInUtf8(i, argv[i]);
      scriptGiven = true;
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--version" || argument == "-V") {
      std::printf("kelvo-check %s (build %d)\n", KELVO_VERSION, GetBuildNumber());
      return kCheckClean;
    } else if (argument == "--dry-run") {
      options.dryRun = true;
    } else if (argument == "--seed") {
      if (i + 1 >= argc || !ParseSeed(argv[i + 1], options.seed))
        return UsageError("--seed needs a whole number of seconds");
      options.seedGiven = true;
      options.dryRun = true;
      ++i;
    } else {
      return UsageError("unknown option '" + argument + "'");
    }
  }
  int status = RunScriptCheck(options);
  // A report that could not be written whole is no report.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("kelvo-check: cannot write the report\n", stderr);
    return kCheckErrors;
  }
  return status;
}
