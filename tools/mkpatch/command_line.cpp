#include "tools/mkpatch/command_line.h"

#include <algorithm>
#include <cstdint>

namespace mkpatch {

const char* const kUsage =
    "usage: mkpatch [-c none|tuz|zlib|gzip|deflate|lzma|lzma2] [-l level] [-d dictSize[k|m]]\n"
    "               [--no-verify] [-q] [--manifest FILE [--force]] OLD NEW PATCH\n";

const char* const kHelp =
    "       mkpatch --help | --version\n"
    "\n"
    "Writes PATCH, an hpatch_lite patch that turns OLD into NEW, once it has been checked by\n"
    "applying it to OLD; a patch that fails the check is not written. OLD and NEW may each have\n"
    "up to 4 GiB - 1 bytes.\n"
    "\n"
    "  -c NAME      body compression: none, tuz, zlib, gzip, deflate (deflate with zlib, gzip\n"
    "               or no framing), lzma, or lzma2 (the default)\n"
    "  -l LEVEL     compression level, 0 to 9 (tuz 1 to 9); the default is 9, and for lzma and\n"
    "               lzma2 a preset tuned for patch bodies; none ignores it\n"
    "  -d SIZE      dictionary size in bytes, or in KiB, MiB or GiB with a k, m or g after the\n"
    "               number: tuz 1 to 1g, zlib, gzip and deflate 512 to 32k, lzma and lzma2 4k\n"
    "               to 1g; the default is 512k (deflate 32k); none ignores it. The memory that\n"
    "               hpatchi needs grows with it\n"
    "  --no-verify  write the patch without checking it\n"
    "  --manifest FILE\n"
    "               also write FILE, the update.json for the runner, once the patch is written:\n"
    "               the SHA-256 of OLD (base_sha256) and of NEW (sha256), and force\n"
    "  --force      the manifest's force is true: the runner restarts the application at once\n"
    "  -q           print nothing but errors\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "  --           the arguments that follow are paths, even those that start with -\n"
    "\n"
    "Exit code: 0 when PATCH was written, 1 when it could not be made or failed the check, 2 for\n"
    "a wrong command line.\n";

namespace {

// Decimal digits only; nothing when another character is there or the value exceeds 64 bits.
std::optional<uint64_t> parse_number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(ch - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

enum class SizeProblem {
  None,
  Malformed,
  TooLarge
};

// A whole number with an optional k, m or g suffix (powers of 1024) and nothing after it. A size
// that does not fit in 64 bits is refused, never wrapped.
SizeProblem parse_size(const std::string& text, uint64_t& size) {
  const size_t end = std::min(text.find_first_not_of("0123456789"), text.size());
  if (end == 0) return SizeProblem::Malformed;
  const std::string suffix = text.substr(end);
  unsigned shift = 0;
  if (suffix == "k" || suffix == "K")
    shift = 10;
  else if (suffix == "m" || suffix == "M")
    shift = 20;
  else if (suffix == "g" || suffix == "G")
    shift = 30;
  else if (!suffix.empty())
    return SizeProblem::Malformed;
  // Only digits are left, so only an overflow fails here.
  const std::optional<uint64_t> v = parse_number(text.substr(0, end));
  if (!v || *v > (UINT64_MAX >> shift)) return SizeProblem::TooLarge;
  size = *v << shift;
  return SizeProblem::None;
}

std::optional<int> level_from(const std::string& text, std::string& error) {
  std::optional<uint64_t> n = parse_number(text);
  if (!n || *n > 9) {
    error = "level must be a number from 0 to 9, not \"" + text + "\"";
    return std::nullopt;
  }
  return static_cast<int>(*n);
}

std::optional<uint64_t> dict_size_from(const std::string& text, std::string& error) {
  uint64_t size = 0;
  switch (parse_size(text, size)) {
    case SizeProblem::TooLarge:
      error = "dictionary size \"" + text + "\" is too large (more than 64 bits)";
      return std::nullopt;
    case SizeProblem::Malformed:
      error = "bad dictionary size \"" + text +
              "\": give a whole number, optionally followed by k, m or g";
      return std::nullopt;
    case SizeProblem::None:
      break;
  }
  if (size == 0) {
    error = "bad dictionary size \"" + text + "\"";
    return std::nullopt;
  }
  return size;
}

bool level_fits(hldiff::Compression c, int level) {
  switch (c) {
    case hldiff::Compression::None:
      return true;
    case hldiff::Compression::Tuz:
      return level >= 1 && level <= 9;
    default:
      return level >= 0 && level <= 9;
  }
}

bool dict_fits(hldiff::Compression c, uint64_t d) {
  switch (c) {
    case hldiff::Compression::None:
      return true;
    case hldiff::Compression::Tuz:
      return d >= 1 && d <= (uint64_t(1) << 30);
    case hldiff::Compression::Zlib:
    case hldiff::Compression::Gzip:
    case hldiff::Compression::Deflate:
      return d >= 512 && d <= 32768;
    default:
      return d >= 4096 && d <= (uint64_t(1) << 30);
  }
}

// What the arguments say, read one by one, before their combination is checked.
struct Reading {
  CommandLine cl;
  std::vector<std::string> paths;
  bool levelGiven = false;
  bool finished = false;  // --help or --version: the rest is not read
};

bool take_compression(const std::string& v, Reading& r, std::string& error) {
  auto c = hldiff::compression_from_name(v);
  if (!c) {
    error = "unknown compression \"" + v + "\"";
    return false;
  }
  r.cl.encode.compression = *c;
  return true;
}

bool take_level(const std::string& v, Reading& r, std::string& error) {
  std::optional<int> level = level_from(v, error);
  if (!level) return false;
  r.cl.encode.level = *level;
  r.levelGiven = true;
  return true;
}

bool take_dict_size(const std::string& v, Reading& r, std::string& error) {
  std::optional<uint64_t> size = dict_size_from(v, error);
  if (!size) return false;
  r.cl.encode.dictSize = *size;
  return true;
}

bool take_manifest(const std::string& v, Reading& r, std::string&) {
  r.cl.manifestPath = v;
  return true;
}

// The options that take the argument after them.
struct ValuedOption {
  const char* name;
  const char* what;  // for the error when the value is missing
  bool (*take)(const std::string& value, Reading& r, std::string& error);
};

constexpr ValuedOption kValuedOptions[] = {
    {"-c", "a compression name", take_compression},
    {"-l", "a level", take_level},
    {"-d", "a dictionary size", take_dict_size},
    {"--manifest", "a file name", take_manifest},
};

// The option args[i]; i moves on to its value, if it takes one.
bool read_option(const std::vector<std::string>& args, size_t& i, Reading& r, std::string& error) {
  const std::string& a = args[i];
  for (const ValuedOption& option : kValuedOptions) {
    if (a != option.name) continue;
    if (i + 1 >= args.size()) {
      error = std::string("option ") + a + " needs " + option.what;
      return false;
    }
    return option.take(args[++i], r, error);
  }
  if (a == "-h" || a == "--help") {
    r.cl.help = true;
    r.finished = true;
  } else if (a == "--version") {
    r.cl.version = true;
    r.finished = true;
  } else if (a == "--force") {
    r.cl.force = true;
  } else if (a == "--no-verify") {
    r.cl.verify = false;
  } else if (a == "-q") {
    r.cl.quiet = true;
  } else {
    error = "unknown option " + a;
    return false;
  }
  return true;
}

// Options and paths in the order given; everything after "--" is a path.
bool read_arguments(const std::vector<std::string>& args, Reading& r, std::string& error) {
  for (size_t i = 0; i < args.size() && !r.finished; ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      r.paths.insert(r.paths.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (a.size() > 1 && a[0] == '-') {
      if (!read_option(args, i, r, error)) return false;
    } else {
      r.paths.push_back(a);
    }
  }
  return true;
}

// The three paths, and options that fit the compression and each other.
bool check_combination(const Reading& r, std::string& error) {
  const CommandLine& cl = r.cl;
  if (r.paths.size() != 3) {
    error = "expected OLD NEW PATCH";
    return false;
  }
  if (r.levelGiven && !level_fits(cl.encode.compression, cl.encode.level)) {
    error = std::string("level ") + std::to_string(cl.encode.level) + " is not valid for " +
            hldiff::compression_name(cl.encode.compression);
    return false;
  }
  if (cl.encode.dictSize != 0 && !dict_fits(cl.encode.compression, cl.encode.dictSize)) {
    error = std::string("dictionary size ") + std::to_string(cl.encode.dictSize) +
            " is not valid for " + hldiff::compression_name(cl.encode.compression);
    return false;
  }
  if (cl.force && cl.manifestPath.empty()) {
    error = "--force needs --manifest";
    return false;
  }
  return true;
}

}  // namespace

std::optional<CommandLine> parse_command_line(const std::vector<std::string>& args,
                                              std::string& error) {
  Reading r;
  if (!read_arguments(args, r, error)) return std::nullopt;
  if (r.finished) return r.cl;
  if (!check_combination(r, error)) return std::nullopt;
  r.cl.oldPath = r.paths[0];
  r.cl.newPath = r.paths[1];
  r.cl.patchPath = r.paths[2];
  return r.cl;
}

}  // namespace mkpatch
