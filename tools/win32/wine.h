// Whether the program runs under Wine. The installation host changes the machine it
// runs on as only a throwaway Wine prefix may be changed, so it refuses elsewhere.
#pragma once

namespace win32 {

// True under Wine: its ntdll exports wine_get_version, Windows' does not.
bool RunningUnderWine();

}  // namespace win32
