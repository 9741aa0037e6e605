// The program's command line as a list of arguments.
#pragma once
#include <string>
#include <vector>

// Splits a command line (without the program's name) into arguments:
// spaces separate, double quotes group and are dropped.
std::vector<std::string> ParseCommandLine(const char* text);
// Index of the first argument equal to `option` without regard to case, or -1.
int FindArgument(const std::vector<std::string>& args, const char* option);
// The arguments from index `from` on that are not options of the program
// (nor the file name after /LoadConfig), in order.
std::vector<std::string> PlainArguments(const std::vector<std::string>& args, size_t from);
// Argument i, or "" beyond the end.
const char* ArgumentAt(const std::vector<std::string>& args, size_t i);
