#pragma once
// What a run left on the machine, for tests that check that a run changed
// nothing: every file below some folders with its size and SHA-256, and every
// value below some registry keys with its type and data.
#include <windows.h>

#include <map>
#include <string>

namespace TestSupport {

using MachineState = std::map<std::string, std::string>;

// Adds "<path>" -> its size and SHA-256 for every file below folder (or the
// file itself), and "<path>\" -> "" for every folder, so that an empty folder
// that appears counts too.
void AddFiles(MachineState& state, const std::string& folder);
// Adds "<root>\<path>\<subkey>:<value name>" -> "<type>:<data bytes>" for every
// value below root\path, and "<root>\<path>\<subkey>\" -> "" for every key.
// Opens nothing for writing and creates nothing.
void AddRegistry(MachineState& state, HKEY root, const std::string& path);

// One line per entry that was added, removed or changed from before to after;
// "" when the two are the same.
std::string Differences(const MachineState& before, const MachineState& after);

} // namespace TestSupport
