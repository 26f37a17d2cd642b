#include <cstring>

#include "config/BuiltIn.h"
#include "config/CommandLine.h"
#include "config/Deployment.h"
#include "config/Settings.h"
#include "config/ShellFolder.h"
#include "support/TextUtil.h"

void ApplyInstData(const char* data, int32_t size) {
  // The pieces must outlive the scan only, but Args keeps pointing at them.
  static char text[kInstDataLimit + 1];
  if (size > kInstDataLimit) {
    // The argument the limit cuts is dropped, not taken in half: "dir=C:\\Apps\\Velorin"
    // cut short would install elsewhere.
    int32_t whole = data[kInstDataLimit] == '&' ? kInstDataLimit : 0;
    for (int32_t i = kInstDataLimit - 1; i > 0 && whole == 0; --i)
      if (data[i] == '&') whole = i;
    size = whole;
  }
  if (size < 0) size = 0;
  memcpy(text, data, static_cast<size_t>(size));
  text[size] = 0;
  Settings.ResourceFound = 1;
  AddArg(text);
  for (int32_t i = 0; i < size; ++i) {
    if (text[i] == '&') {
      text[i] = 0;
      AddArg(text + i + 1);
    }
  }
  ApplyArguments();
}

void ApplyCloudPreset(const char* part) {
  Settings.CloudMode = kCloudPreset;
  // Every user may write the folder, and its client is opened at the end.
  Settings.VerifyFiles = true;
  TextCopyMax(Settings.Language, TextLength(part) > 5 ? part + 5 : "", kNameCapacity);
  char folder[kTextCapacity];
  Settings.InstallDir[0] = 0;
  if (SpecialFolderPath(folder, kCommonAppData) && TextFits(folder, "Velorin\\Azure\\", kTextCapacity))
    TextJoin(Settings.InstallDir, folder, "Velorin\\Azure\\", nullptr);
  TextCopy(Settings.LinkName, "Velorin on Azure");
  TextCopyMax(Settings.ManifestUrl, kCloudManifestUrl, kTextCapacity);
  TextCopyMax(Settings.Host, kCloudServerHost, kTextCapacity);
  TextCopy(Settings.RunAfter, "link");
}

void ApplyFileNameScheme() {
  Settings.ShortcutsEnabled = true;
  Settings.SaasArguments = true;
  char name[kTextCapacity];
  const char* slash = TextFindLast(Settings.Args[0], '\\');
  TextCopyMax(name, slash ? slash + 1 : Settings.Args[0], kTextCapacity);
  // Up to three '-' split the name, the first character never counting; what
  // lies after the third belongs to the ignored last part.
  char* parts[4] = {name, nullptr, nullptr, nullptr};
  int dashes = 0;
  for (char* p = name + (name[0] ? 1 : 0); *p; ++p) {
    if (*p == '_') {
      *p = ' ';
    } else if (*p == '-' && dashes < 3) {
      *p = 0;
      parts[++dashes] = p + 1;
    }
  }
  if (dashes == 0) return;
  const char* customer = parts[0];
  Settings.Port = 22000;
  Settings.InstallDir[0] = 0;
  // A customer that Windows takes for another folder ("..", "a/b", "con")
  // installs nowhere, as one too long does: "..-setup.exe" would otherwise
  // install into %AppData% itself, and its uninstall empty it.
  if (TextLength(customer) + TextLength("%AppData%\\Velorin\\\\") < kTextCapacity && PlainNameElement(customer))
    TextJoin(Settings.InstallDir, "%AppData%\\Velorin\\", customer, "\\");
  TextCopyMax(Settings.LinkName, customer, kNameCapacity);
  if (TextEqualsN(customer, "azure", 5)) {
    ApplyCloudPreset(customer);
    return;
  }
  if (!SetHost(customer)) TextAppendMax(Settings.Host, kSaasSuffix, kTextCapacity);
  if (dashes >= 2) {
    const char* second = parts[1];
    const char* shortcut = nullptr;
    if (second[0] >= '0' && second[0] <= '9') {
      Settings.Port = TextToInt(second);
      if (dashes == 3) shortcut = parts[2];
    } else {
      shortcut = second;
    }
    if (shortcut && PlainNameElement(shortcut)) TextCopyMax(Settings.LinkName, shortcut, kNameCapacity);
  }
}
