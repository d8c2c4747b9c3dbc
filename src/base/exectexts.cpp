#include "base/exectexts.h"

#include <algorithm>

bool holdsNulByte(const std::string &text, const std::vector<std::string> &more)
{
    const auto holds = [](const std::string &one) { return one.find('\0') != std::string::npos; };
    return holds(text) || std::any_of(more.begin(), more.end(), holds);
}

std::vector<char *> argumentVector(const std::vector<std::string> &texts, const std::string *first)
{
    std::vector<char *> vector;
    vector.reserve(texts.size() + 2);
    if (first)
        vector.push_back(const_cast<char *>(first->c_str()));
    for (const std::string &text : texts)
        vector.push_back(const_cast<char *>(text.c_str()));
    vector.push_back(nullptr);
    return vector;
}
