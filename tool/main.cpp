// Frennick <cart.bin>: flips pixel bytes of a video cart so that fewer
// pixels change from one page to the next.
#include <cerrno>
#include <cstdio>

#include "cart_file.hpp"
#include "command_line.hpp"
#include "console.hpp"
#include "page_walk.hpp"
#include "termination_hold.hpp"

namespace {

int run(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(
        "Frennick <cart.bin>\n"
        "Attempt to reduce video speckles in cart file.\n"
        "Don't run on non-video cart files, it will screw up your cart. ;)\n",
        stdout);
    return 1;
  }
  const char* path = argv[1];
  errno = 0;
  frennick::CartFile cart;
  switch (cart.open(path)) {
    case frennick::CartFile::Opened::InUse:
      // Two runs at once would each read pages the other is writing.
      std::printf("failed to lock '%s': it is in use by another program!\n",
                  path);
      return 1;
    case frennick::CartFile::Opened::Failed:
      std::printf("Failed to open '%s', code %d\n", path, errno);
      return 1;
    case frennick::CartFile::Opened::Yes:
      break;
  }
  frennick::prepareTerminationHold();
  return frennick::walkCart(cart, path, stdout);
}

}  // namespace

int main(int argc, char** argv) {
  frennick::ConsoleSession console;
  argc = frennick::utf8Arguments(argc, argv, argv);
  return console.finish(run(argc, argv));
}
