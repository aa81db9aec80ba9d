#include "tools/mkpatch/command_line.h"

#include <cstdint>
#include <cstdlib>

namespace mkpatch {

const char* const kUsage =
    "usage: mkpatch [-c none|tuz|zlib|gzip|deflate|lzma|lzma2] [-l level] [-d dictSize[k|m]]\n"
    "               [--no-verify] [-q] [--manifest FILE [--force]] OLD NEW PATCH\n"
    "  --manifest FILE  also writes FILE, the update.json for the runner, once the patch is\n"
    "                   written: the SHA-256 of OLD (base_sha256) and of NEW (sha256), and force\n"
    "  --force          the manifest's force is true: the runner restarts the application at once\n";

namespace {

// A whole number with an optional k, m or g suffix (powers of 1024).
std::optional<uint64_t> parse_size(const std::string& text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  std::string suffix(end);
  uint64_t scale = 1;
  if (suffix == "k" || suffix == "K") scale = 1024;
  else if (suffix == "m" || suffix == "M") scale = 1024 * 1024;
  else if (suffix == "g" || suffix == "G") scale = 1024 * 1024 * 1024;
  else if (!suffix.empty()) return std::nullopt;
  if (v > (uint64_t(1) << 40)) return std::nullopt;
  return uint64_t(v) * scale;
}

bool level_fits(hldiff::Compression c, int level) {
  switch (c) {
    case hldiff::Compression::None: return true;
    case hldiff::Compression::Tuz: return level >= 1 && level <= 9;
    default: return level >= 0 && level <= 9;
  }
}

bool dict_fits(hldiff::Compression c, uint64_t d) {
  switch (c) {
    case hldiff::Compression::None: return true;
    case hldiff::Compression::Tuz: return d >= 1 && d <= (uint64_t(1) << 30);
    case hldiff::Compression::Zlib:
    case hldiff::Compression::Gzip:
    case hldiff::Compression::Deflate: return d >= 512 && d <= 32768;
    default: return d >= 4096 && d <= (uint64_t(1) << 30);
  }
}

}  // namespace

std::optional<CommandLine> parse_command_line(const std::vector<std::string>& args,
                                              std::string& error) {
  CommandLine cl;
  std::vector<std::string> paths;
  bool levelGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* what) -> const std::string* {
      if (i + 1 >= args.size()) {
        error = std::string("option ") + a + " needs " + what;
        return nullptr;
      }
      return &args[++i];
    };
    if (a == "-c") {
      const std::string* v = value("a compression name");
      if (!v) return std::nullopt;
      auto c = hldiff::compression_from_name(*v);
      if (!c) {
        error = "unknown compression \"" + *v + "\"";
        return std::nullopt;
      }
      cl.encode.compression = *c;
    } else if (a == "-l") {
      const std::string* v = value("a level");
      if (!v) return std::nullopt;
      auto n = parse_size(*v);
      if (!n || *n > 9) {
        error = "level must be a number from 0 to 9";
        return std::nullopt;
      }
      cl.encode.level = static_cast<int>(*n);
      levelGiven = true;
    } else if (a == "-d") {
      const std::string* v = value("a dictionary size");
      if (!v) return std::nullopt;
      auto n = parse_size(*v);
      if (!n || *n == 0) {
        error = "bad dictionary size \"" + *v + "\"";
        return std::nullopt;
      }
      cl.encode.dictSize = *n;
    } else if (a == "-h" || a == "--help") {
      cl.help = true;
      return cl;
    } else if (a == "--manifest") {
      const std::string* v = value("a file name");
      if (!v) return std::nullopt;
      cl.manifestPath = *v;
    } else if (a == "--force") {
      cl.force = true;
    } else if (a == "--no-verify") {
      cl.verify = false;
    } else if (a == "-q") {
      cl.quiet = true;
    } else if (a == "--") {
      paths.insert(paths.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (a.size() > 1 && a[0] == '-') {
      error = "unknown option " + a;
      return std::nullopt;
    } else {
      paths.push_back(a);
    }
  }
  if (paths.size() != 3) {
    error = "expected OLD NEW PATCH";
    return std::nullopt;
  }
  if (levelGiven && !level_fits(cl.encode.compression, cl.encode.level)) {
    error = std::string("level ") + std::to_string(cl.encode.level) + " is not valid for " +
            hldiff::compression_name(cl.encode.compression);
    return std::nullopt;
  }
  if (cl.encode.dictSize != 0 && !dict_fits(cl.encode.compression, cl.encode.dictSize)) {
    error = std::string("dictionary size ") + std::to_string(cl.encode.dictSize) +
            " is not valid for " + hldiff::compression_name(cl.encode.compression);
    return std::nullopt;
  }
  if (cl.force && cl.manifestPath.empty()) {
    error = "--force needs --manifest";
    return std::nullopt;
  }
  cl.oldPath = paths[0];
  cl.newPath = paths[1];
  cl.patchPath = paths[2];
  return cl;
}

}  // namespace mkpatch
