// Runs the fuzz target on seed inputs written as hex text, so that the
// ordinary test suite replays the corpus without libFuzzer.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

int main(int argc, char** argv) {
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i]);
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    std::string digits;
    for (const char c : text)
      if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    if (!file || digits.size() % 2 != 0) {
      std::fprintf(stderr, "%s: not an even run of hex digits\n", argv[i]);
      return 1;
    }
    std::vector<std::uint8_t> input;
    for (std::size_t j = 0; j < digits.size(); j += 2)
      input.push_back(static_cast<std::uint8_t>(
          std::stoi(digits.substr(j, 2), nullptr, 16)));
    LLVMFuzzerTestOneInput(input.data(), input.size());
    ++replayed;
  }
  std::printf("%d seeds replayed\n", replayed);
  return replayed > 0 ? 0 : 1;
}
