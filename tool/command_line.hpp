// The command line as UTF-8 on every platform.
#pragma once

namespace frennick {

// On Windows the arguments are taken from the wide-character command line
// and turned into UTF-8, so that any file name survives; elsewhere they are
// passed through as given. Returns the argument count and points `argv` at
// arguments that live until the program ends.
int utf8Arguments(int argc, char** argv, char**& utf8Argv);

}  // namespace frennick
