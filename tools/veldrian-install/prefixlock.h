// One run at a time on a Wine prefix: the run holds the prefix until its process ends.
#pragma once

#include <string>

namespace host {

// The prefix is held by this process until it ends. False, with one line in *error
// naming the process that holds it, when another run holds it.
bool HoldPrefix(std::wstring *error);

}  // namespace host
