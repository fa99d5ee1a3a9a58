// Windows command lines: the one quoting rule, and the splitting rule that reads it back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The text ready to stand as one argument on a command line: unchanged when it is not empty and
// holds no white space and none of the characters " & < > ( ) [ ] { } ^ = ; ! ' + , ` ~ |;
// otherwise enclosed in double quotes, with a backslash before every embedded double quote and
// runs of backslashes doubled where they precede a quote.
std::u16string quoteArgument(std::u16string_view text);

// Splits a command line into arguments by the rules of the system's command-line parser (the
// first argument is a program name: quotes delimit it, backslashes are literal). An empty text
// gives no arguments.
std::vector<std::u16string> splitCommandLine(std::u16string_view commandLine);

// The arguments joined into one command line, each quoted with quoteArgument.
std::u16string joinCommandLine(const std::vector<std::u16string>& arguments);
