// The tool's --version command, answered before the console frame starts: it reads no
// configuration, takes no lock and writes nothing but its line.
#pragma once

#include <string>

// True when the command (the first argument after the program name) is "--version" or "-V";
// what follows it is ignored.
bool asksForVersion(int argc, const std::u16string* argv);

// "tavrix <package version> (<short commit>)\n"; the commit is "unknown" for a build from a
// tree that is not a git checkout.
std::string versionLine();
