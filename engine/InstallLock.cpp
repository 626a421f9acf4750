#include "engine/InstallLock.h"

#include <algorithm>

#include "utils/string/String.h"

namespace InstallLock {

std::string NameFor(const std::string& product, const std::string& brand) {
    std::string name = "Orvanta.Install." + product + "." + brand;
    Utils::String::ToLower(name);
    std::replace(name.begin(), name.end(), '\\', '_');
    return name;
}

} // namespace InstallLock
