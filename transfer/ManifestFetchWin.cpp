#include "transfer/ManifestFetch.h"

#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "transfer/Mirror.h"
#include "transfer/Server.h"

TManifestVerdict ManifestVerdict;
bool ManifestFound;
bool ManifestCut;

// The read, the one byte that tells a longer text and the terminator fit.
static_assert(kManifestLimit + 2 <= kReceiveCapacity, "the manifest read outgrows the transfer buffer");

int32_t ReadUrlManifest() {
  ReplyData = InflateBuffer;
  TIStream stream(Settings.ManifestUrl);
  if (!stream.UrlHandle || stream.Status != 200) return 0;
  return stream.Read(InflateBuffer, kManifestLimit + 1);
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
  // A text past the limit, or a full reply, may have lost its tail: what it
  // lists is installed, but the run is not complete.
  ManifestCut = n > kManifestLimit;
  if (n > kManifestLimit) n = kManifestLimit;
  if (n == 0) {
    n = RequestChunk("files.ver", 0);
    source = "the server";
    ManifestCut = n >= ChunkSize;
  }
  if (n > ChunkSize) n = ChunkSize;  // the terminator must stay inside the buffer
  if (n < 0) n = 0;
  char* text = reinterpret_cast<char*>(ReplyData);
  ManifestFound = n > 0;
  if (!ManifestFound) LogLine("no file list could be read");
  uint64_t serial = 0;
  ManifestVerdict = ManifestFound ? CheckManifest(text, &n, &serial) : kManifestUnsigned;
  // A signed list ends with its signature: it is whole. Any other cut text
  // ends at its last whole line, as a line cut short could name another file
  // or another site.
  if (ManifestVerdict == kManifestSigned) ManifestCut = false;
  if (ManifestCut) {
    while (n > 0 && text[n - 1] != '\r' && text[n - 1] != '\n') --n;
    LogLine("the file list may be longer than can be read: its end is not used");
  }
  char number[24] = "none";
  if (ManifestVerdict == kManifestSigned) SerialText(number, serial);
  LogLine("file list from ", ManifestFound ? source : "nowhere",
          ManifestVerdict == kManifestSigned ? ", signed, serial " : ", serial ", number);
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
