#include <string>
#include <vector>

#include "app/tavriximp.h"
#include "os/text.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(os::utf16FromUtf8(argv[i]));
  tavriximp application;
  return application.run(argc, arguments.data());
}
