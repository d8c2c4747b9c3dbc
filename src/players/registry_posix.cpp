#include "players/registry.h"

#include "players/regfile.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

// The stand-in registry is a ".reg" export named by MIRVALE_REGISTRY, read afresh on every call
// so that a changed file is seen at the next refresh, as an installer's change would be.
RegistryString readRegistryString(const std::string &subKey, const std::string &valueName)
{
    const char *fileName = std::getenv("MIRVALE_REGISTRY");
    if (fileName == nullptr || *fileName == '\0')
        return {};
    std::ifstream file(fileName, std::ios::binary);
    if (!file)
        return {};
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (file.bad())
        return {};
    return findRegistryString(bytes, subKey, valueName);
}
