#include "transfer/ManifestFetch.h"

#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "transfer/Mirror.h"
#include "transfer/Server.h"

TManifestVerdict ManifestVerdict;
bool ManifestFound;

int32_t ReadUrlManifest() {
  ReplyData = InflateBuffer;
  TIStream stream(Settings.ManifestUrl);
  if (!stream.UrlHandle || stream.Status != 200) return 0;
  return stream.Read(InflateBuffer, kManifestLimit);
}

int32_t ReadLocalManifest() {
  ReplyData = InflateBuffer;
  char path[kTextCapacity];
  // "ver" may replace a shorter extension: keep room for it.
  if (TextLength(Settings.Args[0]) > kTextCapacity - 4) return 0;
  TextCopy(path, Settings.Args[0]);
  TextReplaceExtension(path, "ver");
  return ReadFileText(path, InflateBuffer);
}

void LoadManifest() {
  int32_t n = Settings.ManifestUrl[0] ? ReadUrlManifest() : ReadLocalManifest();
  const char* source = Settings.ManifestUrl[0] ? Settings.ManifestUrl : "the file beside the program";
  if (n == 0) {
    n = RequestChunk("files.ver", 0);
    source = "the server";
  }
  if (n > ChunkSize) n = ChunkSize;  // the terminator must stay inside the buffer
  if (n < 0) n = 0;
  char* text = reinterpret_cast<char*>(ReplyData);
  ManifestFound = n > 0;
  if (!ManifestFound) LogLine("no file list could be read");
  uint64_t serial = 0;
  ManifestVerdict = ManifestFound ? CheckManifest(text, &n, &serial) : kManifestUnsigned;
  char number[24] = "none";
  if (ManifestVerdict == kManifestSigned) SerialText(number, serial);
  LogLine("file list from ", ManifestFound ? source : "nowhere", ManifestVerdict == kManifestSigned ? ", signed, serial "
                                                                                                 : ", serial ",
          number);
  if (ManifestRefused()) {
    ResetManifest();
    return;
  }
  if (ManifestVerdict == kManifestSigned) KeepSerial(serial);
  ParseManifest(text, n, IsUpToDate, ManifestVerdict == kManifestSigned);
}

bool ManifestRefused() {
  return ManifestVerdict == kManifestNotSigned || ManifestVerdict == kManifestOlder ||
         ManifestVerdict == kManifestNoSerial;
}
