// The session: the decisions on how a run begins and ends are platform-free
// (Session.cpp); the start, the install pass on the worker thread and the end
// of the run are Win32 (SessionWin.cpp).
#pragma once
#include <cstdint>

#include "config/ExitCodes.h"
#include "config/InstallDir.h"
#include "manifest/Signature.h"
#include "transfer/ManifestFetch.h"

// Where the settings came from, for the log: `count` arguments with the
// program's own path.
const char* SettingsSource(int32_t count, bool resourceFound);
// True when the command line gave nothing but silent, log= and timeout= (or
// nothing at all): the copy is then configured by its resource or its name.
bool TakesBuiltInSettings(int32_t count, bool silent, bool logGiven, bool timeoutGiven);
// The milliseconds a run may take before it ends with 1; 0 for no limit.
// Only a silent run has one: a window can be closed.
uint32_t RunLimitMs(bool silent, int32_t timeoutSeconds);
// What the user is told of a refused list.
const char* RefusalText(TManifestVerdict verdict);
// What the user is told of a folder on the installation's path that is not
// the administrators' (of kTextCapacity + 64 characters at the most). Returns
// out, which has room for the text and the folder.
char* FolderRefusalText(char* out, TFolderVerdict verdict, const char* folder);
// The exit code of a pass that ran to its end with `pending` files not
// fetched; `sourceNamed` when a manifest URL or a server was given.
int32_t PassExitCode(const TManifestOutcome& list, bool sourceNamed, int32_t pending);
// With keys built in, only an installation that a signed list named whole
// counts as verified.
bool InstallationVerified(bool keysBuiltIn, bool passCompleted, TManifestVerdict verdict, int32_t pending);
// The run-after command is started only once the workers have ended (they
// could still change it), and not as "link" that no shortcut replaced: that
// names no program of ours, and the shell would look for one beside the
// setup program and on the path. Nor by a program without keys in the cloud
// preset: its list, and so the client, could come from anyone.
bool StartsRunAfter(const char* runAfter, bool workersEnded, bool verified, bool keylessCloud);

// Win32 side.

void InitSession();
void RunSession();
// The end of the session, when the status window goes.
void OnDestroy();
// The exit code of the run: see config/ExitCodes.h.
int32_t SessionExitCode();
