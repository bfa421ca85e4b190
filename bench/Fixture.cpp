// Fills a new folder with the benchmark's fixture: a temp folder that has
// filled up. The same entry count and seed always give the same names, kinds,
// sizes and ages (ages relative to "now"), so every timed run starts from an
// identical copy.
//
// Besides the folder it writes two lists, one name per line:
//   PREFIX.matches    the names a sweep must delete, in creation order;
//   PREFIX.survivors  every other name, sorted bytewise (as `LC_ALL=C sort`).
// They are judged by a rule written here, independently of the tool, and the
// generator stops if any entry is not judged the way its category intends.
// The ages are relative to "now" with an hour's margin around the 7-day
// bound, so the lists hold for an hour after generation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

constexpr std::int64_t Day = 86'400;
constexpr std::int64_t NsPerSecond = 1'000'000'000;

enum class Kind { File, Directory, Symlink, Fifo };

// What an entry is there for; decides how the rule must judge it.
enum class Role { Match, Decoy };

struct Entry {
  std::string name;
  Kind kind = Kind::File;
  std::uint32_t size = 0;
  std::int64_t mtimeNs = 0;  // since 1970-01-01 UTC
  Role role = Role::Decoy;
};

// splitmix64: tiny, fast and identical on every platform, unlike the
// standard distributions.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
  }
  // In [0, bound); the modulo bias is far below anything a fixture shows.
  std::uint64_t Below(std::uint64_t bound) { return Next() % bound; }
  std::int64_t Between(std::int64_t low, std::int64_t high) {  // inclusive
    return low + static_cast<std::int64_t>(Below(static_cast<std::uint64_t>(high - low) + 1));
  }
  bool OneIn(std::uint64_t n) { return Below(n) == 0; }

 private:
  std::uint64_t state_;
};

constexpr std::string_view UpperHex = "0123456789ABCDEF";
constexpr std::string_view LowerHex = "0123456789abcdef";

// The 1 + 16 + 256 + 4096 + 65536 names of zero to four uppercase hex digits.
constexpr std::uint32_t DigitNameCount = 69'905;

std::string DigitName(std::uint32_t index) {
  std::uint32_t length = 0;
  std::uint32_t first = 0;
  for (std::uint32_t span = 1; index >= first + span; span *= 16) {
    first += span;
    ++length;
  }
  std::uint32_t value = index - first;
  std::string digits(length, '0');
  for (std::uint32_t i = length; i-- > 0; value /= 16) digits[i] = UpperHex[value % 16];
  return digits;
}

// Each of the 2^n case spellings of `word`, by the bits of `spelling`.
std::string Spell(std::string_view word, std::uint64_t spelling) {
  std::string out(word);
  for (std::size_t i = 0, bit = 0; i < out.size(); ++i) {
    if (out[i] >= 'a' && out[i] <= 'z') {
      if (((spelling >> bit) & 1U) != 0) out[i] = static_cast<char>(out[i] - 'a' + 'A');
      ++bit;
    }
  }
  return out;
}

// Mostly ".tmp", as GetTempFileName writes it, with every other spelling too.
std::string Extension(Random& random) {
  return Spell(".tmp", random.OneIn(4) ? random.Below(8) : 0);
}
std::string DspPrefix(Random& random) {
  return Spell("dsp", random.OneIn(2) ? 7 : random.Below(8));
}

std::string RandomDigits(Random& random, std::string_view set, std::size_t count) {
  std::string out(count, '0');
  for (char& c : out) c = set[random.Below(set.size())];
  return out;
}

// ---- The rule, as the tool's users understand it -------------------------

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

// Zero to four uppercase hex digits, then ".tmp" in any case.
bool HexTmpName(std::string_view name) {
  if (name.size() < 4 || name.size() > 8) return false;
  const std::string_view digits = name.substr(0, name.size() - 4);
  return digits.find_first_not_of(UpperHex) == std::string_view::npos &&
         EqualsIgnoringCase(name.substr(digits.size()), ".tmp");
}

bool DspName(std::string_view name) {
  return name.size() >= 3 && EqualsIgnoringCase(name.substr(0, 3), "DSP") &&
         HexTmpName(name.substr(3));
}

struct Window {
  std::int64_t floorNs;  // 2011-02-01 00:00 local
  std::int64_t upperNs;  // now - 7 days
};

// Times are compared in the 100-ns units the tool works in.
bool MustDelete(const Entry& e, const Window& w) {
  const bool fileOrLink = e.kind == Kind::File || e.kind == Kind::Symlink;
  if (fileOrLink && DspName(e.name)) return true;
  return e.kind == Kind::File && e.size == 0 && HexTmpName(e.name) &&
         w.floorNs / 100 <= e.mtimeNs / 100 && e.mtimeNs / 100 <= w.upperNs / 100;
}

// ---- Building the fixture -------------------------------------------------

class Builder {
 public:
  Builder(std::uint64_t seed, std::int64_t now, std::int64_t floor)
      : random_(seed), now_(now), floor_(floor) {}

  Random& random() { return random_; }
  std::vector<Entry>& entries() { return entries_; }

  std::int64_t DaysAgo(std::int64_t days) {
    return (now_ - days * Day - random_.Between(0, Day - 1)) * NsPerSecond +
           random_.Between(0, NsPerSecond - 1);
  }
  std::int64_t At(std::int64_t seconds, std::int64_t ns = 0) { return seconds * NsPerSecond + ns; }
  std::int64_t Now() const { return now_; }
  std::int64_t Floor() const { return floor_; }

  // @returns false when the name is taken already.
  bool Add(std::string name, Kind kind, std::uint32_t size, std::int64_t mtimeNs, Role role) {
    if (!taken_.insert(name).second) return false;
    entries_.push_back({std::move(name), kind, size, mtimeNs, role});
    return true;
  }

  // Adds `count` entries from `make`, which may propose a taken name.
  template <typename Make>
  void AddMany(std::size_t count, Make make) {
    for (std::size_t added = 0; added < count;) {
      Entry e = make();
      if (Add(std::move(e.name), e.kind, e.size, e.mtimeNs, e.role)) ++added;
    }
  }

 private:
  Random random_;
  std::int64_t now_;
  std::int64_t floor_;
  std::unordered_set<std::string> taken_;
  std::vector<Entry> entries_;
};

// Indices of `count` distinct names of zero to four hex digits.
std::vector<std::uint32_t> SampleDigitNames(Random& random, std::size_t count) {
  std::vector<std::uint32_t> all(DigitNameCount);
  for (std::uint32_t i = 0; i < DigitNameCount; ++i) all[i] = i;
  for (std::size_t i = 0; i < count; ++i) {
    std::swap(all[i], all[i + random.Below(DigitNameCount - i)]);
  }
  all.resize(count);
  return all;
}

void AddMatches(Builder& b, std::size_t hexCount, std::size_t dspCount) {
  Random& r = b.random();
  const std::vector<std::uint32_t> hex = SampleDigitNames(r, hexCount);
  for (std::size_t i = 0; i < hex.size(); ++i) {
    std::int64_t mtime = b.DaysAgo(10);
    // The inclusive edges of the age window.
    if (i == 0) mtime = b.At(b.Floor());
    if (i == 1) mtime = b.At(b.Floor(), 1);
    if (i == 2) mtime = b.At(b.Now() - 7 * Day - 3600);
    b.Add(DigitName(hex[i]) + Extension(r), Kind::File, 0, mtime, Role::Match);
  }
  const std::vector<std::uint32_t> dsp = SampleDigitNames(r, dspCount);
  for (std::size_t i = 0; i < dsp.size(); ++i) {
    std::string name = DspPrefix(r) + DigitName(dsp[i]) + Extension(r);
    if (i % 1000 == 999) {
      b.Add(std::move(name), Kind::Symlink, 0, b.DaysAgo(10), Role::Match);
      continue;
    }
    const std::uint32_t size = r.OneIn(5) ? static_cast<std::uint32_t>(r.Between(1, 4096)) : 0;
    std::int64_t mtime = b.DaysAgo(10);
    if (r.OneIn(5)) mtime = b.At(r.Between(631'152'000, b.Floor() - 1));  // 1990 to 2011
    if (r.OneIn(5)) mtime = b.DaysAgo(r.Between(0, 2));
    b.Add(std::move(name), Kind::File, size, mtime, Role::Match);
  }
}

std::string LowercaseHexName(Random& r) {
  std::string digits = RandomDigits(r, LowerHex, static_cast<std::size_t>(r.Between(1, 4)));
  if (digits.find_first_of("abcdef") == std::string::npos) {
    digits[r.Below(digits.size())] = static_cast<char>('a' + r.Below(6));
  }
  return (r.OneIn(2) ? DspPrefix(r) : std::string()) + digits + Extension(r);
}

std::string NearMissName(Random& r) {
  const std::string hex = RandomDigits(r, UpperHex, 4);
  switch (r.Below(12)) {
    case 0:
      return hex + ".tmp.bak";
    case 1:
      return hex + ".tmpx";
    case 2:
      return hex + ".tm";
    case 3:
      return hex + "tmp";
    case 4:
      return "~" + hex + ".tmp";
    case 5:
      return hex + ".tmp~";
    case 6:
      return "DSP" + hex;
    case 7:
      return "DSP" + RandomDigits(r, UpperHex, 5) + ".tmp";
    case 8:
      return "XDSP" + hex + ".tmp";
    case 9:
      return hex.substr(0, 3) + "G.tmp";
    case 10:
      return "DS" + hex + ".tmp";
    default:
      return hex + "_tmp";
  }
}

std::string FillerName(Random& r) {
  static constexpr std::string_view Chars =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-";
  const std::uint64_t pick = r.Below(100);
  const std::int64_t length = pick < 90   ? r.Between(8, 40)
                              : pick < 99 ? r.Between(41, 120)
                                          : r.Between(121, 255);
  return RandomDigits(r, Chars, static_cast<std::size_t>(length));
}

void AddDecoys(Builder& b, std::size_t each) {
  Random& r = b.random();
  const auto digitName = [&r] {
    return DigitName(static_cast<std::uint32_t>(r.Below(DigitNameCount))) + Extension(r);
  };

  b.AddMany(each, [&] {
    return Entry{LowercaseHexName(r), Kind::File, 0, b.DaysAgo(10), Role::Decoy};
  });
  b.AddMany(each, [&] {
    std::string name = (r.OneIn(2) ? std::string() : DspPrefix(r)) +
                       RandomDigits(r, UpperHex, static_cast<std::size_t>(r.Between(5, 8)));
    return Entry{name + Extension(r), Kind::File, 0, b.DaysAgo(10), Role::Decoy};
  });
  b.AddMany(each, [&] {
    return Entry{digitName(), Kind::File, static_cast<std::uint32_t>(r.Between(1, 4096)),
                 b.DaysAgo(10), Role::Decoy};
  });
  // Too recent: anywhere from now to an hour short of 7 days.
  b.AddMany(each, [&] {
    return Entry{digitName(), Kind::File, 0,
                 b.At(b.Now() - r.Between(0, 7 * Day - 3600), r.Between(0, NsPerSecond - 1)),
                 Role::Decoy};
  });
  // Before the floor: from 1995 to the second before it.
  b.AddMany(each, [&] {
    return Entry{digitName(), Kind::File, 0, b.At(r.Between(788'918'400, b.Floor() - 1)),
                 Role::Decoy};
  });
  b.AddMany(each * 2, [&] {
    return Entry{NearMissName(r), Kind::File, 0, b.DaysAgo(10), Role::Decoy};
  });
  b.AddMany(std::max<std::size_t>(2, each / 25), [&] {
    std::string name = r.OneIn(2) ? digitName() : "DSP" + digitName();
    return Entry{name, Kind::Directory, 0, b.DaysAgo(10), Role::Decoy};
  });

  // The edges, one of each; a taken name is simply skipped.
  const std::int64_t floor = b.Floor();
  b.Add("0A1B.tmp", Kind::File, 0, b.At(floor - 1), Role::Decoy);
  b.Add("0A1C.tmp", Kind::File, 0, b.At(floor - 1, NsPerSecond - 100), Role::Decoy);
  b.Add("0A1D.tmp", Kind::File, 0, b.At(floor - 1, NsPerSecond - 1), Role::Decoy);
  b.Add("0A1E.tmp", Kind::File, 0, b.At(b.Now() - 7 * Day + 3600), Role::Decoy);
  b.Add("0ABD.tmp", Kind::Symlink, 0, b.DaysAgo(10), Role::Decoy);  // a link is never empty
  b.Add("0F0F.tmp", Kind::Fifo, 0, b.DaysAgo(10), Role::Decoy);
  b.Add("DSP0F0F.tmp", Kind::Fifo, 0, b.DaysAgo(10), Role::Decoy);
  for (const char* name :
       {"1A2B.tmp.bak", "x.tmpx", "DSP12345.tmp", " 1A2B.tmp", "1A2B.tmp ", "1A2B .tmp",
        "1A2B..tmp", "DSP 1.tmp", "DSP.1.tmp",
        "\xC3\x84"
        "BCD.tmp",
        "\xEF\xBC\x91\xEF\xBC\x92.tmp", "\xC1\xC2.tmp", "DSP\xC1.tmp", ".tmp.tmp"}) {
    b.Add(name, Kind::File, 0, b.DaysAgo(10), Role::Decoy);
  }
}

void AddFiller(Builder& b, std::size_t total) {
  Random& r = b.random();
  while (b.entries().size() < total) {
    std::string name = FillerName(r);
    if (HexTmpName(name) || DspName(name)) continue;
    const std::uint32_t size = r.OneIn(20) ? static_cast<std::uint32_t>(r.Between(1, 512)) : 0;
    const std::int64_t mtime = b.At(r.Between(1'104'537'600, b.Now()));  // 2005 to now
    b.Add(std::move(name), Kind::File, size, mtime, Role::Decoy);
  }
}

bool Create(int folder, const Entry& e) {
  const timespec mtime{static_cast<time_t>(e.mtimeNs / NsPerSecond),
                       static_cast<long>(e.mtimeNs % NsPerSecond)};
  const timespec times[2] = {mtime, mtime};
  const char* name = e.name.c_str();
  switch (e.kind) {
    case Kind::File: {
      static const std::string Content(4096, 'x');
      const int fd = ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd < 0) return false;
      const bool ok =
          (e.size == 0 || ::write(fd, Content.data(), e.size) == static_cast<ssize_t>(e.size)) &&
          ::futimens(fd, times) == 0;
      return ::close(fd) == 0 && ok;
    }
    case Kind::Directory:
      return ::mkdirat(folder, name, 0755) == 0 && ::utimensat(folder, name, times, 0) == 0;
    case Kind::Symlink:
      return ::symlinkat("no-such-target", folder, name) == 0 &&
             ::utimensat(folder, name, times, AT_SYMLINK_NOFOLLOW) == 0;
    case Kind::Fifo:
      return ::mkfifoat(folder, name, 0644) == 0 && ::utimensat(folder, name, times, 0) == 0;
  }
  return false;
}

bool WriteLines(const std::string& path, const std::vector<const std::string*>& names) {
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return false;
  for (const std::string* name : names) {
    std::fwrite(name->data(), 1, name->size(), out);
    std::fputc('\n', out);
  }
  return std::fclose(out) == 0;
}

std::int64_t LocalFloor() {
  std::tm fields{};
  fields.tm_year = 2011 - 1900;
  fields.tm_mon = 1;
  fields.tm_mday = 1;
  fields.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&fields));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fputs(
        "usage: qor_bench_fixture NEW-FOLDER ENTRIES SEED LISTS-PREFIX [NOW]\n"
        "  NOW: seconds since 1970 (default: the current time)\n",
        stderr);
    return 2;
  }
  const std::string folderPath = argv[1];
  const auto total = static_cast<std::size_t>(std::strtoull(argv[2], nullptr, 10));
  const std::uint64_t seed = std::strtoull(argv[3], nullptr, 10);
  const std::string prefix = argv[4];
  const std::int64_t now = argc == 6 ? std::strtoll(argv[5], nullptr, 10)
                                     : static_cast<std::int64_t>(std::time(nullptr));
  if (total < 1000) {
    std::fputs("ENTRIES must be at least 1000\n", stderr);
    return 2;
  }

  // A folder that has filled up: all 65,536 four-digit names are taken at the
  // larger sizes; smaller fixtures keep the same proportions of decoys.
  const bool large = total >= 100'000;
  const std::size_t hexMatches = large ? 65'536 : total * 2 / 5;
  const std::size_t dspMatches = large ? 10'000 : total / 10;
  const std::size_t decoysEach = std::max<std::size_t>(4, total / 200);
  if (hexMatches + dspMatches + decoysEach * 7 + decoysEach / 25 + 30 > total) {
    std::fputs("ENTRIES too small for the fixed part of the fixture\n", stderr);
    return 2;
  }

  Builder builder(seed, now, LocalFloor());
  AddMatches(builder, hexMatches, dspMatches);
  AddDecoys(builder, decoysEach);
  AddFiller(builder, total);

  std::vector<Entry>& entries = builder.entries();
  const Window window{builder.Floor() * NsPerSecond, (now - 7 * Day) * NsPerSecond};
  std::vector<const std::string*> matches;
  std::vector<const std::string*> survivors;
  for (const Entry& e : entries) {
    const bool doomed = MustDelete(e, window);
    if (doomed != (e.role == Role::Match)) {
      std::fprintf(stderr, "fixture bug: %s would be %s\n", e.name.c_str(),
                   doomed ? "deleted" : "kept");
      return 1;
    }
  }

  // Creation order is shuffled so that matches and decoys share inode tables
  // and directory blocks, as they would in a folder filled over time.
  Random& r = builder.random();
  for (std::size_t i = entries.size(); i > 1; --i) std::swap(entries[i - 1], entries[r.Below(i)]);

  if (::mkdir(folderPath.c_str(), 0755) != 0) {
    std::perror(folderPath.c_str());
    return 1;
  }
  const int folder = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) {
    std::perror(folderPath.c_str());
    return 1;
  }
  for (const Entry& e : entries) {
    if (!Create(folder, e)) {
      std::fprintf(stderr, "cannot create %s: %s\n", e.name.c_str(), std::strerror(errno));
      return 1;
    }
    (e.role == Role::Match ? matches : survivors).push_back(&e.name);
  }
  ::close(folder);

  std::sort(survivors.begin(), survivors.end(),
            [](const std::string* a, const std::string* b) { return *a < *b; });
  if (!WriteLines(prefix + ".matches", matches) || !WriteLines(prefix + ".survivors", survivors)) {
    std::perror(prefix.c_str());
    return 1;
  }
  std::printf("%zu entries: %zu pass-1 and %zu DSP matches to delete, %zu to keep\n",
              entries.size(), hexMatches, dspMatches, survivors.size());
  return 0;
}
