// Calls matchPagePolarity on N pages whose pixel bytes all, half or none
// invert, for counting instructions per page under an emulator (see
// instructions_per_page.sh): the count of a long run minus that of a short
// one, over the pages between them, is what one page costs.
//
//   match_instructions none|half|all PAGES
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "page_polarity.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("match_instructions none|half|all PAGES\n", stderr);
    return 2;
  }
  const int share = std::strcmp(argv[1], "all") == 0    ? 2
                    : std::strcmp(argv[1], "half") == 0 ? 1
                                                        : 0;
  const long pages = std::strtol(argv[2], nullptr, 10);

  // Against the previous page and its inverse in turn, with no copy: a byte
  // that is the inverse of the previous one inverts on every call, one that
  // differs from it in exactly four bits never does (a tie stays).
  static frennick::CartPage previous;
  static frennick::CartPage inverse;
  static frennick::CartPage current;
  std::mt19937 random(1);
  for (std::size_t i = 0; i < previous.size(); ++i) {
    previous[i] = static_cast<std::uint8_t>(random());
    inverse[i] = static_cast<std::uint8_t>(~previous[i]);
    current[i] = static_cast<std::uint8_t>(previous[i] ^ 0x0F);
  }
  int n = 0;
  for (const std::size_t p : frennick::kPixelByteOffsets) {
    if (share == 2 || (share == 1 && n % 2 == 0)) current[p] = inverse[p];
    ++n;
  }
  frennick::RunTally tally;
  for (long i = 0; i < pages; ++i) {
    frennick::matchPagePolarity(i % 2 == 0 ? previous : inverse, current,
                                tally);
  }
  std::printf("%lld inversions\n", static_cast<long long>(tally.patches));
  return 0;
}
