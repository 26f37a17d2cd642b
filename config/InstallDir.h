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
// The commit's journal: what it replaces, finished at the next start; in a
// folder too long for that name, "~journal" with the suffix of a file in
// transfer (no list may name "~journal", whose file in transfer it would be).
constexpr char kJournalFileName[] = "Tovimar.journal";
constexpr char kShortJournalName[] = "~journal";
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
// Where the first folder below the path's root begins (n its length): after
// a drive's "X:\" or a share's "\\host\share\"; 0 for a path with neither,
// -1 for a share's root, which has nothing below it.
int32_t FirstBelowRoot(const char* path, int32_t n);
// True when path is folder (which ends with '\') or lies inside it, as
// Windows compares names.
bool StartsWithFolder(const char* path, const char* folder);
// The rest of path inside folder, or nullptr when the path lies outside it or
// names the folder itself.
const char* InsideFolder(const char* path, const char* folder);

// Who may change an existing folder, as its security information says. The
// rights are those allowed to anyone but SYSTEM, the administrators,
// TrustedInstaller and the running user.
struct TFolderAccess {
  bool Exists;
  bool OwnerTrusted;        // one of those four owns it
  uint32_t OrdinaryRights;  // on the folder itself
  uint32_t NewFileRights;   // only on what is made in it, from what it hands down
};
using TFolderAccessOf = TFolderAccess (*)(const char* folder);
// Rights of ordinary users that make a folder theirs: in the installation
// folder, to add or change what it holds (write data and append data are
// add file and add folder there); above it, to replace what lies on the path.
constexpr uint32_t kReplacesFolder = 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x10000000;  // delete child, delete,
                                                                                       // write DAC and owner, all
constexpr uint32_t kChangesFolder = kReplacesFolder | 0x2 | 0x4 | 0x40000000;          // add file or folder, write
enum TFolderVerdict {
  kFolderTrusted,
  kFolderForeignOwner,
  kFolderOpenToUsers,
};
// One folder; `granted` for the folder the cloud preset opens to the users.
TFolderVerdict JudgeFolder(const TFolderAccess& access, bool installFolder, bool granted);
// Every existing folder of the installation path (ending with '\') below its
// root, up to the first missing one; nothing inside profile (a folder with
// '\', empty for none), the user's own. The folder that fails goes to failed
// (kTextCapacity + 64 characters), empty when none does.
TFolderVerdict JudgeFolders(const char* path, const char* profile, bool granted, TFolderAccessOf accessOf,
                            char* failed);

// Win32 side.
// Resolves a leading %AppData% or %ProgramFiles%, makes a relative folder
// full against the current folder and ends it with '\'; an empty folder when
// that cannot be done whole.
void ExpandInstallDir();
// FoldersArePlain over the system's attributes.
bool PlainFolders(const char* path);
// JudgeFolders over the folders' owners and access lists, outside the
// running user's profile.
TFolderVerdict TrustedFolders(const char* path, bool granted, char* failed);
