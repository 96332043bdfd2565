// tftpsim: a stand-in for the device, so uploads can be tried, tested and
// benchmarked without hardware.

#include "Sha256.h"
#include "SimOptions.h"
#include "Simulator.h"

#include <cstdio>
#include <vector>

namespace {

int PrintFileHash(const std::string &path)
{
    std::FILE *in = std::fopen(path.c_str(), "rb");
    if (!in) {
        std::perror(path.c_str());
        return 1;
    }
    Sha256 hash;
    std::vector<std::uint8_t> buffer(65536);
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0)
        hash.Update({buffer.data(), got});
    const bool failed = std::ferror(in);
    std::fclose(in);
    if (failed) {
        std::perror(path.c_str());
        return 1;
    }
    const auto digest = hash.Finish();
    for (const std::uint8_t byte : digest)
        std::printf("%02x", byte);
    std::printf("  %s\n", path.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const auto start = Simulator::Clock::now();
    SimOptions options;
    if (const auto error = ParseOptions(argc, argv, options)) {
        if (*error == "help") {
            std::fputs(UsageText, stdout);
            return 0;
        }
        std::fprintf(stderr, "tftpsim: %s\n%s", error->c_str(), UsageText);
        return 1;
    }
    if (!options.HashFile.empty())
        return PrintFileHash(options.HashFile);
    Simulator simulator(options, start);
    return simulator.Run();
}
