#pragma once

#include <string>
#include <vector>

// The texts a started program is given: its path, its arguments, its environment. Qt-free,
// every platform.

// Whether the text, or any of the texts after it, holds a NUL byte: exec and the command line
// would cut it there and run something other than was asked.
bool holdsNulByte(const std::string &text, const std::vector<std::string> &more = {});

// texts as execve's argv and envp and sd-bus's string arrays take them: pointers into the texts,
// after first when given (argv[0]), then a null. The texts must outlive the vector unchanged.
std::vector<char *> argumentVector(const std::vector<std::string> &texts,
                                   const std::string *first = nullptr);
