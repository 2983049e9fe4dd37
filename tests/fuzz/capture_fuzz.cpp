// The capture reader on any text: splitting and decoding never fail, and the capture
// keeps the prefix property (captureproperty.h) at every cut of a short capture, and
// of a longer one at two cuts the input itself chooses (each cut decodes the capture
// again: over many runs, every cut is tried; the native tests take every cut of the
// seed captures).
#include "captureproperty.h"
#include "fuzztext.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::wstring capture = FuzzText(data, size);
    const captureproperty::Passes whole = captureproperty::Decoded(capture);
    for (const auto &[process, passes] : whole) {
        for (const tracedecoder::Pass &pass : passes) {
            tracedecoder::ToJson(pass);
            for (const tracedecoder::Profile &profile : pass.profiles) {
                tracedecoder::Reason(profile, pass.queue);
            }
        }
    }
    std::vector<std::size_t> cuts;
    if (capture.size() <= 64) {
        for (std::size_t cut = 0; cut <= capture.size(); ++cut) {
            cuts.push_back(cut);
        }
    } else {
        const std::size_t chosen = (static_cast<std::size_t>(data[0]) << 8 | data[size - 1]) * 2654435761U;
        cuts = {chosen % (capture.size() + 1), (chosen / 7919) % (capture.size() + 1)};
    }
    for (std::size_t cut : cuts) {
        const std::string broken = captureproperty::Broken(capture, whole, cut);
        if (!broken.empty()) {
            std::fprintf(stderr, "prefix property: %s\n", broken.c_str());
            std::abort();
        }
    }
    return 0;
}
