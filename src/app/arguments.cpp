#include "app/arguments.h"

#include "shortcut/unicode_text.h"

namespace qen {

std::vector<std::string> argumentVector(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(unicode::toValidUtf8(argv[i]));
  return arguments;
}

}  // namespace qen
