// Loads manifest-sized INI files and looks up every key; prints load time,
// look-ups per second and peak memory. Sizes 2,000 / 20,000 / 200,000 keys show
// how a look-up grows with the section size (it should stay logarithmic).
#include <windows.h>
#include <psapi.h>
#include <cstdio>
#include <string>
#include <vector>

#include "utils/ini/IniFile.h"
#include "bench/BenchClock.h"

namespace {

double Seconds() { return BenchSeconds(); }

std::string KeyName(int i) {
    char name[64];
    std::snprintf(name, sizeof name, "data\\\\models\\\\set%03d\\\\mesh_%06d.pak", i % 500, i);
    return name;
}

void WriteManifest(const char* path, int keys) {
    FILE* file = std::fopen(path, "w");
    std::fprintf(file, "[GENERAL]\nBRAND_NAME=Orvanta\nDOWNLOAD_URL=http://dl.example/files/\nVERSION=1.2.3.4\n\n");
    std::fprintf(file, "[FILE]\n");
    for (int i = 0; i < keys; ++i)
        std::fprintf(file, "%s=%d.%d.%d.%d,%08X,lzma,%d\n", KeyName(i).c_str(), i % 7, i % 13, i % 97, i,
                     static_cast<unsigned>(i) * 2654435761u, 1000 + i * 37);
    std::fclose(file);
}

SIZE_T PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
}

void Run(int keys, bool bPrintMemory) {
    const char* path = "bench_manifest.ini";
    WriteManifest(path, keys);
    std::vector<std::string> names;
    names.reserve(keys);
    for (int i = 0; i < keys; ++i) names.push_back(KeyName(i));

    SIZE_T before = PeakWorkingSet();
    double bestLoad = 1e9;
    Utils::IniFile* kept = nullptr;
    for (int round = 0; round < 3; ++round) {
        double t0 = Seconds();
        Utils::IniFile* ini = new Utils::IniFile(path, 1);
        double t1 = Seconds();
        if (t1 - t0 < bestLoad) bestLoad = t1 - t0;
        delete kept;
        kept = ini;
    }
    SIZE_T afterLoad = PeakWorkingSet();

    // Every key once per pass, in a scattered order; the section stays cached.
    long long found = 0;
    int passes = keys >= 200000 ? 2 : 20;
    double t0 = Seconds();
    for (int pass = 0; pass < passes; ++pass)
        for (int i = 0; i < keys; ++i) found += !kept->GetString("FILE", names[(i * 7919LL) % keys]).empty();
    double sameSection = Seconds() - t0;

    // In key order, as the engine walks a section.
    t0 = Seconds();
    for (int pass = 0; pass < passes; ++pass)
        for (int i = 0; i < keys; ++i) found += !kept->GetString("FILE", names[i]).empty();
    double inOrder = Seconds() - t0;

    // Alternating sections: the section search runs every time.
    t0 = Seconds();
    for (int i = 0; i < keys; ++i) {
        found += !kept->GetString("FILE", names[(i * 7919LL) % keys]).empty();
        found += !kept->GetString("GENERAL", "VERSION").empty();
    }
    double alternating = Seconds() - t0;

    long long lookups = static_cast<long long>(passes) * keys;
    std::printf("%7d keys: load %7.1f ms (%5.0f ns/key) | look-ups: scattered %5.2f M/s (%5.0f ns), "
                "in key order %5.2f M/s (%4.0f ns), alternating sections %5.2f M/s%s\n",
                keys, bestLoad * 1e3, bestLoad * 1e9 / keys, lookups / sameSection / 1e6, sameSection * 1e9 / lookups,
                lookups / inOrder / 1e6, inOrder * 1e9 / lookups, 2.0 * keys / alternating / 1e6,
                found == 2 * lookups + 2LL * keys ? "" : "  (MISSING KEYS!)");
    if (bPrintMemory)
        std::printf("         peak working set: %.1f MiB before load, %.1f MiB after (manifest file %.1f MiB)\n",
                    before / 1048576.0, afterLoad / 1048576.0,
                    [&] {
                        WIN32_FILE_ATTRIBUTE_DATA data;
                        GetFileAttributesExA(path, GetFileExInfoStandard, &data);
                        return data.nFileSizeLow / 1048576.0;
                    }());
    delete kept;
    DeleteFileA(path);
}

} // namespace

int main() {
    // The INI reader prints warnings to standard output; none are expected here.
    Run(20000, true);
    Run(2000, false);
    Run(200000, false);
    return 0;
}
