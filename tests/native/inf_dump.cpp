// inf_dump FILE...: each INF as the project's reader reads it (decoded with code page
// 1252 for a file without a Unicode mark, %dirid% kept as written), in the dump format
// of tools/inf/infdump.h, after a line "# FILE"; a refused file is "refused" and the
// reason. Package authors can see with it what the package check reads.
#include "cp1252.h"
#include "infdecode.h"
#include "infdump.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::cerr << "usage: inf_dump FILE...\n";
        return 2;
    }
    int status = 0;
    for (int index = 1; index < argc; ++index) {
        std::ifstream file(argv[index], std::ios::binary);
        if (!file) {
            std::cerr << "inf_dump: cannot read " << argv[index] << "\n";
            status = 1;
            continue;
        }
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const inf::DecodedInf decoded = inf::DecodeInf(bytes, Cp1252());
        const inf::Inf read = inf::ParseInf(decoded.text);
        const std::wstring refusal = decoded.refusal.empty() ? inf::Refusal(read) : decoded.refusal;
        std::cout << "# " << argv[index] << "\n";
        if (!refusal.empty()) {
            std::cout << inf::kRefusedDump << "# " << std::string(refusal.begin(), refusal.end()) << "\n";
        } else {
            std::cout << inf::Dump(inf::ReadingOf(read));
        }
    }
    return status;
}
