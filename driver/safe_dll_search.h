// Windows looks for a DLL named without a folder in the working folder too,
// and a program started from a folder someone else filled (downloads, a
// network share) would load a DLL planted there. Both programs call this
// first thing, before any library is loaded, so that no later load searches
// the working folder: not theirs, not one Windows makes for them, and not the
// lookup of a dependency of FTD2XX.DLL loaded by full path.
#pragma once

// Takes the working folder out of this process's DLL search; where the loader
// has the safe search flags, a DLL named without a folder is then looked for
// only in the program's own folder and the system folders. Windows has no
// reason to refuse either step; should it, its usual search stays.
void TakeWorkingFolderOutOfDllSearch();
