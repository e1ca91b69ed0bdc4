// Writes a synthetic video cart: a picture that changes a little from page
// to page, each pixel byte stored in a random polarity with its colour byte
// to match, so that matching has speckles to remove while the picture stays
// the same. Used for the demo, the tests and the benchmarks.
#include <array>
#include <bit>
#include <charconv>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>

#include "cart_layout.hpp"

namespace {

using frennick::CartPage;

// splitmix64: small, fast and the same on every platform and compiler.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::uint8_t byte() { return static_cast<std::uint8_t>(next() >> 56); }
  void fill(CartPage& page) {
    for (auto& b : page) b = byte();
  }
};

struct Options {
  const char* out = nullptr;
  std::uint64_t pages = 64;
  std::uint64_t seed = 1;
  std::uint64_t tail = 0;
  std::uint64_t changePerMille = 20;  // share of pixel bits that change
  bool randomPages = false;
  bool help = false;
};

constexpr const char* kUsage =
    "make_demo_cart <out.bin> [--pages N] [--seed S] [--tail BYTES]\n"
    "               [--change PER_MILLE] [--random]\n"
    "Writes a video cart of N pages (default 64) plus a tail shorter than\n"
    "a page. Each page's picture differs from the page before in PER_MILLE\n"
    "of its pixels (default 20); --random fills every page but the\n"
    "signature with noise instead. S (default 1) picks the carts.\n";

// The picture as shown: a pixel byte and its colour byte per position.
struct Picture {
  std::array<std::uint8_t, frennick::kPixelBytesPerPage> pixels{};
  std::array<std::uint8_t, frennick::kPixelBytesPerPage> colours{};
};

void storePicture(const Picture& picture, Random& random, CartPage& page) {
  for (std::size_t i = 0; i < picture.pixels.size(); ++i) {
    const std::size_t p = frennick::kPixelByteOffsets[i];
    const bool inverted = (random.next() & 1) != 0;
    page[p] = inverted ? static_cast<std::uint8_t>(~picture.pixels[i])
                       : picture.pixels[i];
    page[frennick::colourByteOffset(p)] =
        inverted ? std::rotl(picture.colours[i], 4) : picture.colours[i];
  }
}

void changeALittle(Picture& picture, Random& random, std::uint64_t perMille) {
  const std::uint64_t bits = 8 * picture.pixels.size();
  for (std::uint64_t n = bits * perMille / 1000; n > 0; --n) {
    const std::uint64_t bit = random.next() % bits;
    picture.pixels[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
  }
}

struct NumberOption {
  const char* name;
  std::uint64_t Options::*value;
  std::uint64_t max;
};

constexpr NumberOption kNumberOptions[] = {
    {"--pages", &Options::pages, std::uint64_t{1} << 24},  // 128 GiB
    {"--seed", &Options::seed, std::numeric_limits<std::uint64_t>::max()},
    {"--tail", &Options::tail, frennick::kPageSize - 1},
    {"--change", &Options::changePerMille, 1000},
};

// A whole number in decimal, 0 to `max`, with nothing before or after it.
bool parseNumber(const char* text, std::uint64_t max, std::uint64_t& value) {
  const char* end = text + std::strlen(text);
  const auto [stop, error] = std::from_chars(text, end, value);
  return error == std::errc() && stop == end && stop != text && value <= max;
}

// Returns false after saying on standard error what is wrong.
bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return true;
    }
    if (arg == "--random") {
      options.randomPages = true;
      continue;
    }
    const NumberOption* number = nullptr;
    for (const auto& option : kNumberOptions)
      if (arg == option.name) number = &option;
    if (number != nullptr) {
      if (i + 1 == argc) {
        std::fprintf(stderr,
                     "make_demo_cart: %s needs a whole number from 0 to "
                     "%" PRIu64 "\n",
                     number->name, number->max);
        return false;
      }
      const char* text = argv[++i];
      if (!parseNumber(text, number->max, options.*(number->value))) {
        std::fprintf(stderr,
                     "make_demo_cart: %s takes a whole number from 0 to "
                     "%" PRIu64 ", not '%s'\n",
                     number->name, number->max, text);
        return false;
      }
    } else if (!arg.empty() && arg[0] != '-' && options.out == nullptr) {
      options.out = argv[i];
    } else {
      std::fprintf(stderr, "make_demo_cart: %s '%s'\n",
                   arg.empty() || arg[0] != '-' ? "a second output file"
                                                : "no such option",
                   argv[i]);
      return false;
    }
  }
  if (options.out == nullptr) {
    std::fputs("make_demo_cart: no output file given\n", stderr);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  std::FILE* out = std::fopen(options.out, "wb");
  if (out == nullptr) {
    std::perror(options.out);
    return 1;
  }
  Random random{options.seed};
  Picture picture;
  for (auto& pixel : picture.pixels) pixel = random.byte();
  for (auto& colour : picture.colours) colour = random.byte();

  static CartPage page;
  bool ok = true;
  constexpr auto kSignaturePage =
      static_cast<std::uint64_t>(frennick::kSignaturePageNumber);
  for (std::uint64_t n = 0; n < options.pages && ok; ++n) {
    random.fill(page);  // the bytes matching never looks at
    if (n >= kSignaturePage && !options.randomPages) {
      if (n > kSignaturePage)
        changeALittle(picture, random, options.changePerMille);
      storePicture(picture, random, page);
    }
    if (n == kSignaturePage)
      std::memcpy(page.data(), frennick::kCartSignature.data(),
                  frennick::kCartSignature.size());
    ok = std::fwrite(page.data(), 1, page.size(), out) == page.size();
  }
  random.fill(page);
  const auto tail = static_cast<std::size_t>(options.tail);
  ok = ok && std::fwrite(page.data(), 1, tail, out) == tail;
  if (std::fclose(out) != 0 || !ok) {
    std::perror(options.out);
    return 1;
  }
  return 0;
}
