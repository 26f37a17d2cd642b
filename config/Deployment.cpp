// The deployment values; the build gives them (see TOVIMAR_* in the CMake cache).
#include "config/Deployment.h"

const char kSaasSuffix[] = TOVIMAR_SAAS_SUFFIX;
const char kCloudManifestUrl[] = "http://" TOVIMAR_CLOUD_FILE_HOST "/install/files.ver";
const char kCloudServerHost[] = TOVIMAR_CLOUD_SERVER_HOST;
