// Window probe for the end-to-end tests.
//   winprobe find  <class|-> <title|-> <timeout ms>   prints one line:
//        found|<title>|<class>|<width>|<height>|<visible>|<child texts joined by ';'>|<left>|<top>
//   winprobe close <class|-> <title|-> <timeout ms>   finds, then sends WM_CLOSE
//   winprobe shown <class|-> <title|-> <timeout ms>   waits until it is visible
//   winprobe press <class|-> <title|-> <timeout ms>   finds a dialog, presses OK
// Exit code 0 when found, 1 when the timeout passed first.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Query {
  const char* cls;
  const char* title;
  bool visibleOnly;
  HWND found;
};

BOOL CALLBACK Match(HWND window, LPARAM lParam) {
  Query* q = reinterpret_cast<Query*>(lParam);
  char cls[256] = {}, title[256] = {};
  GetClassNameA(window, cls, sizeof cls);
  GetWindowTextA(window, title, sizeof title);
  if (q->cls && strcmp(cls, q->cls) != 0) return TRUE;
  if (q->title && strcmp(title, q->title) != 0) return TRUE;
  if (q->visibleOnly && !IsWindowVisible(window)) return TRUE;
  q->found = window;
  return FALSE;
}

BOOL CALLBACK ChildText(HWND window, LPARAM lParam) {
  std::string* out = reinterpret_cast<std::string*>(lParam);
  char text[512] = {};
  GetWindowTextA(window, text, sizeof text);
  if (text[0]) {
    if (!out->empty()) *out += ";";
    *out += text;
  }
  return TRUE;
}

HWND Find(const char* cls, const char* title, bool visibleOnly, DWORD timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    Query q = {cls, title, visibleOnly, nullptr};
    EnumWindows(Match, reinterpret_cast<LPARAM>(&q));
    if (q.found) return q.found;
    if (GetTickCount() - start > timeoutMs) return nullptr;
    Sleep(50);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: winprobe find|close|press <class|-> <title|-> <timeout ms>\n");
    return 2;
  }
  const char* cls = strcmp(argv[2], "-") ? argv[2] : nullptr;
  const char* title = strcmp(argv[3], "-") ? argv[3] : nullptr;
  // Every action but "find" waits for a visible window.
  HWND window = Find(cls, title, strcmp(argv[1], "find") != 0, static_cast<DWORD>(atoi(argv[4])));
  if (!window) {
    printf("missing\n");
    return 1;
  }
  char foundClass[256] = {}, foundTitle[256] = {};
  GetClassNameA(window, foundClass, sizeof foundClass);
  GetWindowTextA(window, foundTitle, sizeof foundTitle);
  RECT r;
  GetWindowRect(window, &r);
  std::string children;
  EnumChildWindows(window, ChildText, reinterpret_cast<LPARAM>(&children));
  printf("found|%s|%s|%ld|%ld|%d|%s|%ld|%ld\n", foundTitle, foundClass, r.right - r.left, r.bottom - r.top,
         IsWindowVisible(window) ? 1 : 0, children.c_str(), r.left, r.top);
  fflush(stdout);
  if (strcmp(argv[1], "close") == 0) PostMessageA(window, WM_CLOSE, 0, 0);
  if (strcmp(argv[1], "press") == 0) PostMessageA(window, WM_COMMAND, IDOK, 0);
  return 0;
}
