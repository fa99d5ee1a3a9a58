// The tool: its commands, their parameters and the usage text.
#pragma once

#include "app/console_app.h"

class tavriximp : public vconsoleapp {
public:
  tavriximp();

  int go(int argc, const std::u16string* argv) override;
  void usage() override;
};
