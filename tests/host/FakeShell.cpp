// The shell folder the host tests resolve: the common application data.
#include "config/ShellFolder.h"
#include "support/TextUtil.h"

char* SpecialFolderPath(char* buffer, int csidl) {
  if (csidl != kCommonAppData) {
    buffer[0] = 0;
    return nullptr;
  }
  TextCopy(buffer, "C:\\ProgramData\\");
  return buffer;
}
