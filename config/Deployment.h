// The deployment values, fixed when the program is built: the build writes
// their definitions once per variant of the program (CMakeLists.txt).
#pragma once
#include <cstdint>

extern const char kSaasSuffix[];        // appended to a customer host without '.'
extern const char kCloudManifestUrl[];  // http://<cloud file host>/install/files.ver
extern const char kCloudServerHost[];
// The public keys that sign file lists, "id=base64[;id=base64]"; empty: none.
extern const char kSigningKeys[];
// The lowest serial of a signed list the program takes, even for a fresh
// folder: by default the time the program was configured.
extern const uint64_t kLowestSerial;
// A server that sends nothing for this long loses the connection.
extern const uint32_t kServerSilenceMs;
// A mirror transfer that brings fewer than kMirrorStallBytes in any
// kMirrorStallMs is left at that site.
extern const uint32_t kMirrorStallMs;
extern const int32_t kMirrorStallBytes;
// The most a file of unknown size (0 in the list) may bring.
extern const int32_t kUnsizedLimit;
// The test variant's only: the environment variable that names the step of
// the commit after which the process ends, as a crash would end it; empty in
// the program that ships, which reads no such variable.
extern const char kFaultVariable[];
