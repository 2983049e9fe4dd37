// A reading of an INF in SetupAPI's terms, and the dump of it that the differential
// test compares with SetupAPI's own reading and that tests/native's inf_dump prints.
//
// The dump format, one item a line (line feeds only):
//   refused                  the file is refused (nothing else follows)
//   [name]                   a section, by its name folded to lower case; the sections
//                            come in the order of those names
//   field0|field1|...        a line of that section: field 0 is the key, or for a line
//                            without one its only field ("" when it has several)
// Every character outside printable ASCII is written \uXXXX (one UTF-16 unit), and a
// backslash and a bar are written \\ and \|.
#pragma once

#include "inf.h"

#include <map>
#include <string>
#include <vector>

namespace inf {

// Each section by folded name, each of its lines as fields from 0.
using Reading = std::map<std::wstring, std::vector<std::vector<std::wstring>>>;

Reading ReadingOf(const Inf &inf);
std::string Dump(const Reading &reading);
inline constexpr char kRefusedDump[] = "refused\n";

}  // namespace inf
