// Writes a synthetic video cart: a picture that changes a little from page
// to page, each pixel byte stored in a random polarity with its colour byte
// to match, so that matching has speckles to remove while the picture stays
// the same. Used for the demo, the tests and the benchmarks.
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
  long long pages = 64;
  unsigned long long seed = 1;
  long long tail = 0;
  unsigned changePerMille = 20;  // share of pixel bits that change per page
  bool randomPages = false;
};

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

void changeALittle(Picture& picture, Random& random, unsigned perMille) {
  const std::uint64_t bits = 8 * picture.pixels.size();
  for (std::uint64_t n = bits * perMille / 1000; n > 0; --n) {
    const std::uint64_t bit = random.next() % bits;
    picture.pixels[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
  }
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--random") {
      options.randomPages = true;
    } else if (arg == "--pages" && hasValue) {
      options.pages = std::atoll(argv[++i]);
    } else if (arg == "--seed" && hasValue) {
      options.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--tail" && hasValue) {
      options.tail = std::atoll(argv[++i]);
    } else if (arg == "--change" && hasValue) {
      options.changePerMille = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (arg[0] != '-' && options.out == nullptr) {
      options.out = argv[i];
    } else {
      return false;
    }
  }
  return options.out != nullptr && options.pages >= 0 && options.tail >= 0 &&
         options.tail < static_cast<long long>(frennick::kPageSize);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fputs(
        "make_demo_cart <out.bin> [--pages N] [--seed S] [--tail BYTES]\n"
        "               [--change PER_MILLE] [--random]\n"
        "Writes a video cart of N pages (default 64) plus a tail shorter than\n"
        "a page. --random fills every page but the signature with noise.\n",
        stderr);
    return 2;
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
  for (long long n = 0; n < options.pages && ok; ++n) {
    random.fill(page);  // the bytes matching never looks at
    if (n >= frennick::kSignaturePageNumber && !options.randomPages) {
      if (n > frennick::kSignaturePageNumber)
        changeALittle(picture, random, options.changePerMille);
      storePicture(picture, random, page);
    }
    if (n == frennick::kSignaturePageNumber)
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
