#include "transfer/ManifestFetch.h"

#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "transfer/Mirror.h"
#include "transfer/Server.h"

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
  // ".ver" may replace a shorter extension, or none: keep room for it.
  if (TextLength(Settings.Args[0]) > kTextCapacity - 5) return 0;
  TextCopy(path, Settings.Args[0]);
  TextReplaceExtension(path, "ver");
  return ReadFileText(path, InflateBuffer);
}

void LoadManifest() {
  ResetManifestOutcome();
  TManifestOutcome& list = ManifestOutcome;
  int32_t n = Settings.ManifestUrl[0] ? ReadUrlManifest() : ReadLocalManifest();
  list.Source = Settings.ManifestUrl[0] ? Settings.ManifestUrl : "the file beside the program";
  // A text past the limit, or a full reply, may have lost its tail: what it
  // lists is installed, but the run is not complete.
  list.Cut = n > kManifestLimit;
  if (n > kManifestLimit) n = kManifestLimit;
  if (n == 0) {
    n = RequestChunk("files.ver", 0);
    list.Source = "the server";
    list.Cut = n >= ChunkSize;
  }
  if (n > ChunkSize) n = ChunkSize;  // the terminator must stay inside the buffer
  if (n < 0) n = 0;
  char* text = reinterpret_cast<char*>(ReplyData);
  list.Found = n > 0;
  if (!list.Found) {
    list.Source = nullptr;
    LogLine("no file list could be read");
  }
  list.Verdict = list.Found ? CheckManifest(text, &n, &list.Serial) : kManifestUnsigned;
  bool signedList = list.Verdict == kManifestSigned;
  // A signed list ends with its signature: it is whole. Any other cut text
  // ends at its last whole line, as a line cut short could name another file
  // or another site.
  if (signedList) list.Cut = false;
  if (list.Cut) {
    while (n > 0 && text[n - 1] != '\r' && text[n - 1] != '\n') --n;
    LogLine("the file list may be longer than can be read: its end is not used");
  }
  char number[24] = "none";
  if (signedList) SerialText(number, list.Serial);
  LogLine("file list from ", list.Source ? list.Source : "nowhere", signedList ? ", signed, serial " : ", serial ",
          number);
  if (VerdictRefuses(list.Verdict)) {
    ResetManifest();
    return;
  }
  ParseManifest(text, n, IsUpToDate, signedList);
}
