// Verification time of signed manifests of 1 KiB, 64 KiB and 1 MiB (made by
// make_manifests.py into the folder given as the argument), and SHA-512
// throughput: the cost a signed release adds to every update check.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchClock.h"
#include "engine/ManifestSignature.h"
#include "utils/crypto/Sha512.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Milliseconds per call: the best and the median of `rounds` calls.
template <typename Call>
void Time(const char* what, int rounds, Call call) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        double t0 = BenchSeconds();
        call();
        times.push_back((BenchSeconds() - t0) * 1000.0);
    }
    std::sort(times.begin(), times.end());
    std::printf("  %-34s best %7.3f ms   median %7.3f ms   (%d runs)\n", what, times.front(),
                times[times.size() / 2], rounds);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: crypto_bench <folder with key.txt and manifest_*.ini>\n");
        return 2;
    }
    std::string folder = argv[1];
    ManifestSignature::KeyList keys;
    if (ManifestSignature::ParseKeyList(ReadFile(folder + "/key.txt"), &keys) != ManifestSignature::KeyListError::None ||
        keys.size() != 1) {
        std::fprintf(stderr, "crypto_bench: no key in %s/key.txt\n", folder.c_str());
        return 1;
    }

    std::printf("signed manifest verification (Ed25519, one key):\n");
    const struct {
        const char* name;
        int rounds;
    } sizes[] = {{"1k", 300}, {"64k", 200}, {"1m", 40}};
    for (const auto& size : sizes) {
        std::string manifest = ReadFile(folder + "/manifest_" + size.name + ".ini");
        auto verdict = ManifestSignature::Verify(manifest, keys);
        if (verdict.status != ManifestSignature::Status::Ok) {
            std::fprintf(stderr, "crypto_bench: manifest_%s.ini: %s\n", size.name,
                         ManifestSignature::StatusText(verdict.status));
            return 1;
        }
        char what[64];
        std::snprintf(what, sizeof what, "%7zu bytes", manifest.size());
        Time(what, size.rounds, [&] { ManifestSignature::Verify(manifest, keys); });
    }

    std::vector<unsigned char> data(16 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 131 + 7);
    unsigned char digest[Utils::Crypto::Sha512::kDigestSize];
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        double t0 = BenchSeconds();
        Utils::Crypto::Sha512::Digest(data.data(), data.size(), digest);
        best = std::min(best, BenchSeconds() - t0);
    }
    std::printf("SHA-512 throughput: %.0f MB/s (best of 5 over 16 MiB)\n", data.size() / best / 1e6);
    return 0;
}
