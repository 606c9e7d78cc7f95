// Writes one benchmark payload under DIR/opt/bench, the same bytes on every run: half of
// its bytes random (incompressible), half log-like text that deflate shrinks about fourfold.
//   small  2,000 files of 4 KiB
//   mixed  50 MiB in 200 files of sizes spread from 4 KiB to about 1.5 MiB
//   large  one 100 MiB file, its first half random
// --scale F multiplies file counts (small), the total (mixed) or the size (large), for the
// quick run. Usage: bench_payload small|mixed|large DIR [--scale F]
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t KIB = 1024;
constexpr uint64_t MIB = 1024 * KIB;

// splitmix64: a fixed seed gives the same payload everywhere.
struct Random {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

const char* const WORDS[] = {
    "kernel",  "route", "added", "interface", "ether1",   "bridge", "dhcp",   "lease",  "renewed",
    "address", "link",  "up",    "down",      "firewall", "drop",   "accept", "input",  "forward",
    "packet",  "from",  "to",    "port",      "proto",    "tcp",    "udp",    "system", "info",
    "warning", "user",  "admin", "logged",    "in",       "via",    "ssh",    "web",    "config"};
constexpr size_t WORD_COUNT = sizeof WORDS / sizeof WORDS[0];

void fill_random(Random& random, std::string& out, uint64_t size) {
  out.resize(size);
  for (uint64_t i = 0; i < size; i += 8) {
    const uint64_t word = random.next();
    std::memcpy(&out[i], &word, std::min<uint64_t>(8, size - i));
  }
}

void fill_text(Random& random, std::string& out, uint64_t size) {
  out.clear();
  char line[160];
  while (out.size() < size) {
    const uint64_t pick = random.next();
    int length = std::snprintf(
        line, sizeof line, "%02u:%02u:%02u %s %s %s %u.%u.%u.%u %s:", unsigned(pick % 24),
        unsigned(pick >> 8 & 63) % 60, unsigned(pick >> 16 & 63) % 60,
        WORDS[(pick >> 24) % WORD_COUNT], WORDS[(pick >> 30) % WORD_COUNT],
        WORDS[(pick >> 36) % WORD_COUNT], 10u, unsigned(pick >> 42 & 3), unsigned(pick >> 44 & 255),
        unsigned(pick >> 52 & 255), WORDS[(pick >> 56) % WORD_COUNT]);
    for (int words = int(random.next() % 6); words >= 0; --words) {
      length += std::snprintf(line + length, sizeof line - size_t(length), " %s",
                              WORDS[random.next() % WORD_COUNT]);
    }
    line[length++] = '\n';
    out.append(line, size_t(length));
  }
  out.resize(size);
}

void make_dirs(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0755);
  }
  ::mkdir(path.c_str(), 0755);
}

bool write_file(const std::string& path, const std::string& contents) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
  return std::fclose(file) == 0 && written;
}

// File `index` of a payload under `top`: in one of 20 folders, random when `random_bytes`.
bool write_payload_file(const std::string& top, Random& random, size_t index, uint64_t size,
                        bool random_bytes) {
  char name[64];
  std::snprintf(name, sizeof name, "/d%02zu/f%04zu%s", index % 20, index,
                random_bytes ? ".bin" : ".txt");
  const std::string path = top + name;
  make_dirs(path.substr(0, path.rfind('/')));
  std::string contents;
  if (random_bytes) {
    fill_random(random, contents, size);
  } else {
    fill_text(random, contents, size);
  }
  return write_file(path, contents);
}

// 100 sizes spread evenly on a log scale from 4 KiB, scaled to `half` bytes; each is
// written twice, random and text, so that exactly half the bytes are random.
std::vector<uint64_t> mixed_sizes(uint64_t half) {
  std::vector<double> weights;
  double sum = 0;
  for (int i = 0; i < 100; ++i) {
    weights.push_back(std::pow(400.0, i / 99.0));
    sum += weights.back();
  }
  std::vector<uint64_t> sizes;
  uint64_t total = 0;
  for (double weight : weights) {
    sizes.push_back(std::max<uint64_t>(1, uint64_t(double(half) * weight / sum)));
    total += sizes.back();
  }
  sizes.back() += half - total;
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 5 && std::strcmp(argv[3], "--scale") == 0)) {
    std::fprintf(stderr, "usage: bench_payload small|mixed|large DIR [--scale F]\n");
    return 2;
  }
  const std::string kind = argv[1];
  const std::string top = std::string(argv[2]) + "/opt/bench";
  const double scale = argc == 5 ? std::atof(argv[4]) : 1.0;
  Random random{0x5EED5EEDu};
  bool written = true;
  if (kind == "small") {
    const size_t count = size_t(2000 * scale);
    for (size_t i = 0; i < count; ++i) {
      written = written && write_payload_file(top, random, i, 4 * KIB, i % 2 == 0);
    }
  } else if (kind == "mixed") {
    const std::vector<uint64_t> sizes = mixed_sizes(uint64_t(25 * MIB * scale));
    for (size_t i = 0; i < sizes.size() * 2; ++i) {
      written = written && write_payload_file(top, random, i, sizes[i / 2], i % 2 == 0);
    }
  } else if (kind == "large") {
    const uint64_t half = uint64_t(50 * MIB * scale);
    std::string contents, text;
    fill_random(random, contents, half);
    fill_text(random, text, half);
    contents += text;
    make_dirs(top);
    written = write_file(top + "/large.bin", contents);
  } else {
    std::fprintf(stderr, "unknown payload %s\n", kind.c_str());
    return 2;
  }
  if (!written) {
    std::perror("bench_payload: write");
    return 1;
  }
  return 0;
}
