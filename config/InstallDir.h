// The installation folder: the names the program keeps in it, the paths made
// inside it and the check of its folders (InstallDir.cpp); its expansion
// (InstallDirWin.cpp).
#pragma once
#include <cstdint>

// The names the program keeps in the installation folder; no manifest line
// may name them.
// The list of the shortcuts made, which the uninstall reads.
constexpr char kLinkListName[] = "linkfiles";
// The program's own copy, the uninstaller.
constexpr char kProgramFileName[] = "Tovimar.exe";
// Keeps the highest serial of a signed file list taken for the folder.
constexpr char kSerialFileName[] = "Tovimar.serial";
// Appended to a target's name for the file in transfer.
constexpr char kPartSuffix[] = ".~tv";
constexpr int kPartSuffixLength = sizeof(kPartSuffix) - 1;

// The client program the shortcuts start, in the installation folder.
constexpr char kClientFileName[] = "Corvane.exe";
// Not in the installation folder: the common Start menu's folder that holds
// the shortcuts, with its '\'. The uninstall removes shortcuts only there and
// on the common desktop.
constexpr char kStartMenuFolder[] = "Velorin\\";

// InstallDir followed by the relative name. Returns dest.
char* MakeInstallPath(char* dest, const char* name);

// The attributes of a file-system object as the system reports them;
// kMissing when there is none.
using TAttributesOf = uint32_t (*)(const char* path);
constexpr uint32_t kMissing = 0xFFFFFFFFu;
constexpr uint32_t kDirectoryAttribute = 0x10;
constexpr uint32_t kReparseAttribute = 0x400;
// True when every folder of the path below its root (a drive's or a share's)
// that exists is a plain folder: not a junction, a symbolic link or another
// reparse point, and not a file. Folders still to be made count as plain.
// The last element is a folder only when a '\' ends the path.
bool FoldersArePlain(const char* path, TAttributesOf attributesOf);
// A full path on a drive: a letter, ':' and '\'.
bool IsDrivePath(const char* path);

// Win32 side.
// Resolves a leading %AppData% or %ProgramFiles%, makes a relative folder
// full against the current folder and ends it with '\'; an empty folder when
// that cannot be done whole.
void ExpandInstallDir();
// FoldersArePlain over the system's attributes.
bool PlainFolders(const char* path);
