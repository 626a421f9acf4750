#pragma once
// One run at a time per product and brand: every run that installs, updates
// or removes a brand holds the machine-wide lock of that name for as long as
// it runs (Utils::System::MachineLock): two copies would otherwise write the
// same temporary manifest, install folder, records and registry values at once.
#include <windows.h>

#include <string>

namespace InstallLock {

// How long an installer waits for another run of its product and brand
// before it gives up.
const DWORD kInstallerWaitMs = 60000;

// "Orvanta.Install.<product>.<brand>" in lower case (folder names do not
// distinguish letter case, mutex names do); "\" becomes "_".
std::string NameFor(const std::string& product, const std::string& brand);

} // namespace InstallLock
