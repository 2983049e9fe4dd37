// Printer-shaped INF files with corner features switched on at random, for the
// differential test of the INF reader against SetupAPI: the same seed gives the same
// files, natively and under Wine. Each file is a small printer package ([Version],
// [Manufacturer], models, DDInstall, .CoInstallers, copy and AddReg sections,
// DestinationDirs, SourceDisks sections, [Strings]) with up to four features of the
// INF syntax's corners: continued lines, quoting, %strings% and %dirids%, tokens and
// section names at and past their limits, blanks of every kind, empty keys, a Ctrl+Z,
// comments, line ends, a signature written otherwise, and the encodings (ANSI,
// UTF-16 with and without its mark, UTF-8 with its mark). Header-only, plain C++.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace infgen {

enum class Encoding { Ansi, Utf16, Utf16WithoutMark, Utf8WithMark };

struct GeneratedInf {
    std::string name;  // "seed-N", with its features
    std::string bytes;
    std::vector<std::string> features;  // the corners switched on
};

namespace detail {

// A feature changes the package's text, kept as characters below U+0100 (every one of
// them the same in code page 1252 and Latin-1, outside 0x80-0x9F).
struct Text {
    std::wstring version = L"Signature=\"$Windows NT$\"\nClass=Printer\nProvider=%Maker%\n";
    std::wstring body;
    std::wstring strings = L"Maker=\"Generated Maker\"\nDisk=\"Disk 1\"\n";
    std::wstring before;  // ahead of [Version]
    std::wstring eol = L"\r\n";
    Encoding encoding = Encoding::Ansi;
};

inline std::wstring Repeated(wchar_t c, std::size_t count)
{
    return std::wstring(count, c);
}

inline const std::vector<std::pair<const char *, void (*)(Text &, std::mt19937 &)>> &Features()
{
    static const std::vector<std::pair<const char *, void (*)(Text &, std::mt19937 &)>> features = {
        {"continued lines",
         [](Text &t, std::mt19937 &r) {
             const wchar_t *joins[] = {L"a \\\n  b", L"a\\\\\nb", L"a,\\\nb", L"\\\n\nx=1",
                                       L"a \\ ; note\n c"};
             t.body += L"[Continued]\nx=" + std::wstring(joins[r() % 5]) + L"\n";
         }},
        {"quoting",
         [](Text &t, std::mt19937 &r) {
             const wchar_t *fields[] = {L"\"a,b\"",      L"\"semi;colon\"", L"\"dou\"\"ble\"",
                                        L"\" spaced \"", L"x\"y\"z",        L"\"open"};
             t.body += L"[Quoted]\nq=" + std::wstring(fields[r() % 6]) + L"," + fields[r() % 6] + L"\n";
         }},
        {"%strings%",
         [](Text &t, std::mt19937 &r) {
             t.strings += L"Empty=\"\"\n123=\"numbered\"\nSpaced=\"  inner  \"\n";
             const wchar_t *uses[] = {L"%Empty%",  L"%Unknown%",      L"%%", L"%123%",
                                      L"%Spaced%", L"%Maker%x%Disk%", L"50%"};
             t.body += L"[Strung]\n" + std::wstring(uses[r() % 7]) + L"=" + uses[r() % 7] + L"\n";
         }},
        {"%dirids%",
         [](Text &t, std::mt19937 &r) {
             const wchar_t *uses[] = {L"%11%\\unidrv.dll", L"%10%", L"%1%", L"%11", L"%011%"};
             t.body += L"[Dirids]\nd=" + std::wstring(uses[r() % 5]) + L"\n";
         }},
        {"long tokens",
         [](Text &t, std::mt19937 &r) {
             const std::size_t lengths[] = {510, 511, 512, 600};
             const std::size_t length = lengths[r() % 4];
             t.body += L"[Long]\n" + Repeated(L'k', length) + L"=" + Repeated(L'v', length) + L",\"" +
                       Repeated(L'q', length) + L"\"\nl=%Long%\n";
             t.strings += L"Long=\"" + Repeated(L's', length) + L"\"\n";
         }},
        {"section names",
         [](Text &t, std::mt19937 &r) {
             const std::wstring names[] = {
                 Repeated(L'n', 255), Repeated(L'n', 256), L"A ", L" A", L"A;B", L"a.B"};
             t.body += L"[" + names[r() % 6] + L"]\nx=1\n";
         }},
        {"a section header without its bracket", [](Text &t, std::mt19937 &) { t.body += L"[Open\nx=1\n"; }},
        {"blanks",
         [](Text &t, std::mt19937 &r) {
             const wchar_t *blanks[] = {L"\t", L"\v", L"\f", L"\u00A0", L" "};
             const std::wstring blank = blanks[r() % 5];
             t.body +=
                 L"[Blanks]\n" + blank + L"k" + blank + L"=" + blank + L"v" + blank + L"," + blank + L"\n";
         }},
        {"empty keys",
         [](Text &t, std::mt19937 &r) {
             const wchar_t *lines[] = {L"=v", L"=a=b", L"k==v", L" = ", L"%Empty%=w"};
             t.strings += L"Empty=\"\"\n";
             t.body += L"[Keys]\n" + std::wstring(lines[r() % 5]) + L"\n";
         }},
        {"a Ctrl+Z",
         [](Text &t, std::mt19937 &r) {
             t.body += (r() % 2 == 0) ? L"[Stop]\nx=1\x1Ay=2\n" : L"[Stop]\n\x1A\n[After]\nz=3\n";
         }},
        {"comments",
         [](Text &t, std::mt19937 &) {
             t.body += L"; a comment\n[Commented] ; after the header\nx=1 ; after a line\n;\n";
         }},
        {"line ends",
         [](Text &t, std::mt19937 &r) {
             const wchar_t *ends[] = {L"\n", L"\r\n", L"\r\r\n"};
             t.eol = ends[r() % 3];
         }},
        {"the signature",
         [](Text &t, std::mt19937 &r) {
             const wchar_t *signatures[] = {L"Signature=$Chicago$", L"Signature=%Sig%",
                                            L"signature=\"$WINDOWS NT$\"", L"Signature=\"$Windows 95$\"",
                                            L"Signature = \"$Windows NT$\" ; note"};
             t.version = std::wstring(signatures[r() % 5]) + L"\nClass=Printer\n";
             t.strings += L"Sig=\"$Windows NT$\"\n";
         }},
        {"text before the first section",
         [](Text &t, std::mt19937 &r) { t.before = (r() % 2 == 0) ? L"; only a comment\n\n" : L"stray\n"; }},
        {"non-ASCII text",
         [](Text &t, std::mt19937 &) { t.strings += L"Model=\"Dr\u00FCcker \u00E9t\u00E9\"\n"; }},
        {"an encoding",
         [](Text &t, std::mt19937 &r) {
             t.encoding = static_cast<Encoding>(1 + r() % 3);
             t.strings += L"Model=\"Dr\u00FCcker\"\n";
         }},
    };
    return features;
}

inline std::wstring Package()
{
    return L"[Manufacturer]\n%Maker%=Models,NTamd64\n"
           L"[Models.NTamd64]\n%Model%=Install,GEN\\MODEL\n\"Second Model\" = Install , GEN\\SECOND , "
           L"GEN\\COMPAT\n"
           L"[Install]\nCopyFiles=Files\nDataFile=model.gpd\n"
           L"[Install.CoInstallers]\nCopyFiles=CoInstaller\nAddReg=CoInstaller.AddReg\n"
           L"[Files]\nmodel.gpd\n[CoInstaller]\nVELDRIAN.dll\n"
           L"[CoInstaller.AddReg]\nHKR,,CoInstallers32,0x00010000,\"VELDRIAN.dll,CoInstallerE\"\n"
           L"[DestinationDirs]\nDefaultDestDir=66000\nCoInstaller=11\n"
           L"[SourceDisksNames]\n1=%Disk%,,,\n[SourceDisksFiles]\nmodel.gpd=1\nVELDRIAN.dll=1,amd64\n";
}

inline std::wstring Joined(const Text &t)
{
    std::wstring text = t.before + L"[Version]\n" + t.version + Package() + t.body +
                        L"[Strings]\nModel=\"Model\"\n" + t.strings;
    std::wstring ended;
    for (wchar_t c : text) {
        ended += c == L'\n' ? t.eol : std::wstring(1, c);
    }
    return ended;
}

inline std::string Encoded(const std::wstring &text, Encoding encoding)
{
    std::string bytes;
    if (encoding == Encoding::Ansi) {
        for (wchar_t c : text) {
            bytes += static_cast<char>(c);
        }
    } else if (encoding == Encoding::Utf8WithMark) {
        bytes = "\xEF\xBB\xBF";
        for (wchar_t c : text) {
            if (c < 0x80) {
                bytes += static_cast<char>(c);
            } else {
                bytes += static_cast<char>(0xC0 | (c >> 6));
                bytes += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
    } else {
        bytes = encoding == Encoding::Utf16 ? "\xFF\xFE" : "";
        for (wchar_t c : text) {
            bytes += static_cast<char>(c & 0xFF);
            bytes += static_cast<char>((c >> 8) & 0xFF);
        }
    }
    return bytes;
}

}  // namespace detail

// File `index` of the run started from `seed`.
inline GeneratedInf Generate(std::uint32_t seed, std::uint32_t index)
{
    std::mt19937 random(seed * 1000003U + index);
    detail::Text text;
    GeneratedInf generated;
    const auto &features = detail::Features();
    const unsigned count = random() % 5;  // 0 to 4 corners
    for (unsigned n = 0; n < count; ++n) {
        const auto &[name, apply] = features[random() % features.size()];
        apply(text, random);
        generated.features.emplace_back(name);
    }
    generated.bytes = detail::Encoded(detail::Joined(text), text.encoding);
    generated.name = "seed " + std::to_string(seed) + " file " + std::to_string(index);
    return generated;
}

}  // namespace infgen
