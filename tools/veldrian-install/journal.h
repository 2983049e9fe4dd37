// The journal of a run, kept in the Wine prefix itself: before the host makes or
// changes anything it records what it is about to make, with what stood there before
// (a value's type and bytes, a file's bytes). One removal path replays the journal
// in reverse: at the end of a run, on Ctrl+C, for --clean, and at the start of a run
// that finds the journal of a run that died. --keep only leaves the journal in place.
// One run at a time holds the prefix: a second one is refused.
#pragma once

#include "console.h"

#include <windows.h>

#include <string>
#include <vector>

namespace host {

// What the prefix's journal says of the run that wrote it.
struct JournalState {
    bool exists = false;
    bool kept = false;     // left by --keep
    DWORD process = 0;     // the run that wrote it
    std::wstring summary;  // the device and the queue it names, for a one-line message
};
JournalState ReadJournal();

// Starts this run's journal (there must be none). False, with *error, when it cannot be written.
bool StartJournal(std::wstring *error);
// --keep: undoes only what served the run alone (the staging folder, the class
// installer's registration) and marks the journal as kept: --clean, not the next
// run, removes what it names. Gives what it could not undo, as UndoJournal does.
std::vector<std::wstring> KeepJournal(Console &console);

// Entries, each written before the change it names. `what` is how the clean-up names
// the thing when it removes it or puts it back. False when the entry cannot be written:
// the change must not be made then.
bool JournalFolder(const std::wstring &path);  // a folder the run alone uses, removed with its contents
bool JournalFile(const std::wstring &path);    // a file the run may make or replace
bool JournalValue(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &what,
                  bool runAlone = false);  // runAlone: put back even when the run is kept
bool JournalKey(HKEY root, const std::wstring &path, const std::wstring &what);  // a key the run makes
bool JournalDevice(const std::wstring &instanceId);
bool JournalDriver(const std::wstring &name);  // a printer driver the run adds
bool JournalQueue(const std::wstring &name);   // a print queue the run makes

// Replays the journal in reverse, saying on the console each thing it really removed
// or put back. Entries undone leave the journal; the journal goes once it is empty.
// Returns what could not be undone (nothing: the prefix is as before the run).
std::vector<std::wstring> UndoJournal(Console &console);

}  // namespace host
