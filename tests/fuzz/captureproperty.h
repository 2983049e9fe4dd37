// The property a capture reader must keep for a capture cut anywhere: every prefix of a
// capture decodes, for each profile, either to the outcome the whole capture gives it or
// to "trace incomplete"; a profile the prefix shows is one the whole shows too (named as
// far as the prefix goes), so that no profile disappears from a longer prefix than the
// one that named it. Header-only: the capture fuzz target and the native tests use it.
#pragma once

#include "tracedecoder.h"

#include <map>
#include <string>
#include <vector>

namespace captureproperty {

using Passes = std::map<unsigned long, std::vector<tracedecoder::Pass>>;  // by process

inline Passes Decoded(const std::wstring &capture)
{
    std::map<unsigned long, tracedecoder::Decoder> decoders;
    for (const tracedecoder::CapturedMessage &message : tracedecoder::SplitCapture(capture)) {
        decoders[message.processId].add(message.text, message.cut);
    }
    Passes passes;
    for (const auto &[process, decoder] : decoders) {
        passes[process] = decoder.passes();
    }
    return passes;
}

// Whether a capture reads a prefix of it in the same way as a whole: with or without
// the prefix before each message. Captures the reader takes in the other way are not
// compared (their first message with the prefix decides for the whole).
inline bool ReadAlike(const std::wstring &whole, std::size_t cut)
{
    const auto prefixed = [](const std::wstring &text) {
        return text.find(tracedecoder::kPrefix) != std::wstring::npos ||
               text.find(L"VELDRIAN :") != std::wstring::npos;
    };
    return prefixed(whole) == prefixed(whole.substr(0, cut));
}

// "" when the prefix of `whole` that `cut` leaves keeps the property, else what breaks it.
inline std::string Broken(const std::wstring &whole, const Passes &wholePasses, std::size_t cut)
{
    if (!ReadAlike(whole, cut)) {
        return "";
    }
    for (const auto &[process, passes] : Decoded(whole.substr(0, cut))) {
        const auto found = wholePasses.find(process);
        for (std::size_t pass = 0; pass < passes.size(); ++pass) {
            const std::vector<tracedecoder::Profile> &profiles = passes[pass].profiles;
            if (profiles.empty()) {
                continue;
            }
            if (found == wholePasses.end() || pass >= found->second.size() ||
                found->second[pass].profiles.size() < profiles.size()) {
                return "cut at " + std::to_string(cut) + ": pass " + std::to_string(pass + 1) +
                       " shows a profile the whole capture does not";
            }
            for (std::size_t index = 0; index < profiles.size(); ++index) {
                const tracedecoder::Profile &cutProfile = profiles[index];
                const tracedecoder::Profile &wholeProfile = found->second[pass].profiles[index];
                if (cutProfile.outcome != tracedecoder::Outcome::Incomplete &&
                    cutProfile.outcome != wholeProfile.outcome) {
                    return "cut at " + std::to_string(cut) + ": profile " + std::to_string(index + 1) +
                           " of pass " + std::to_string(pass + 1) + " is " +
                           tracedecoder::OutcomeName(cutProfile.outcome) + ", the whole capture says " +
                           tracedecoder::OutcomeName(wholeProfile.outcome);
                }
                if (wholeProfile.name.rfind(cutProfile.name, 0) != 0) {
                    return "cut at " + std::to_string(cut) + ": profile " + std::to_string(index + 1) +
                           " of pass " + std::to_string(pass + 1) + " is named otherwise than in the whole";
                }
            }
        }
    }
    return "";
}

}  // namespace captureproperty
