// The deployment values, fixed when the program is built (Deployment.cpp is
// compiled once per variant of the program).
#pragma once

extern const char kSaasSuffix[];        // appended to a customer host without '.'
extern const char kCloudManifestUrl[];  // http://<cloud file host>/install/files.ver
extern const char kCloudServerHost[];
