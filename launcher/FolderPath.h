// FolderPath: the rules a folder text read from the user's registry must meet before the
// elevated launcher starts anything from it.
//
// A folder text is sound when it is an absolute path on a local drive that a sound
// installation could have recorded:
//  - it starts with a drive letter, a colon and a backslash, which leaves out relative and
//    drive-relative paths, UNC paths (\\server\share\) and device paths (\\?\, \\.\);
//  - no name in it is empty (a doubled backslash), ends with a dot or a space (which covers
//    "." and "..", and names Windows would silently trim), or is a device name;
//  - no unit after the drive is one Windows forbids in a name (the colon of a stream, the
//    slash that Windows would take as a separator, wildcards, control characters).
// The text may end with or without a backslash: without one, its last name is glued to the
// program's name, as it always was. The device rule covers that glued name too: Windows
// reads "nul.x" + "Pellarsetup.exe" as NUL, and "nul.x" is refused; a last name without a
// dot gives a glued stem longer than any device name.
//
// Threading: pure functions of their argument; callable from any thread.
#pragma once

class FolderPath {
  public:
    // Whether the null-terminated folder text is sound, as described above. Reads the text
    // up to its null and no further.
    static bool IsLocalAbsolute(const char16_t* folder);
};
